// The health figures' loss side: copies, continuity gaps judged over the
// re-sequencing window, and the loss they book into the seconds.
#include "pipeline/StreamHealth.h"

#include "stream/TsPacket.h"

#include <algorithm>

namespace {

constexpr unsigned kTsPacket = pelorin::kTsPacketSize;
constexpr std::uint8_t kSync = pelorin::kTsSync;
// A tag for a gap: the period in the high bits, the second in the low ones.
constexpr int kTagShift = 40;
// How many datagrams may come between a copy and its original for it to be
// told by its counters going back (a patterned stream repeats further apart).
constexpr int kCopyAge = 2;
constexpr std::int64_t kSecondNs = 1000000000;
constexpr std::int64_t kHostMatchNs = 3 * kSecondNs;

}  // namespace

bool StreamHealth::CopyOfRecent(const std::uint8_t* payload, std::uint32_t size)
{
    // A copy by content whose counters say so too. Just after its
    // original, its last packet under continuity is where its PID stands.
    // A few datagrams later, its first one does not go on from there and
    // fills no gap of its PID. Null packets repeat by nature, and a
    // patterned stream repeats its payload every 16 counter values, so a
    // match from further back is only taken on the first rule.
    const int age = duplicateWindow.Match(payload, size);
    const std::uint8_t* first = nullptr;
    const std::uint8_t* last = nullptr;
    for (std::uint32_t pos = 0; age >= 0 && pos + kTsPacket <= size && payload[pos] == kSync; pos += kTsPacket) {
        const std::uint8_t* p = payload + pos;
        if (pelorin::TsPid(p) == pelorin::kNullPid || !pelorin::TsHasPayload(p)) continue;
        if (first == nullptr) first = p;
        last = p;
    }
    return last != nullptr &&
           (lossWindow.StandsAt(last) ||
            (age <= kCopyAge && !lossWindow.Continues(first) && !lossWindow.WouldFill(first)));
}

void StreamHealth::TakeReordered()
{
    // Runs are confirmed late by a packet, by their gap's window passing or
    // at the end: whichever it was, the count follows here.
    const std::uint64_t now = lossWindow.Reordered();
    if (!rtp) reordered += now - lossReordered;
    lossReordered = now;
}

void StreamHealth::CountLoss(std::int64_t packets)
{
    // A late datagram takes back its own loss, never one from before the period.
    netLost = std::max<std::int64_t>(netLost + packets, 0);
    seenSincePcr += packets;
    if (packets > 0) pairDirty = true;  // the bytes between two PCRs are no longer all here
    if (packets > 0) CountedLoss(static_cast<std::uint64_t>(packets));
}

void StreamHealth::JudgedLoss(std::int64_t tag, int packets)
{
    if (rtp) return;  // the sequence numbers count the loss
    const std::int64_t second = tag & ((std::int64_t{1} << kTagShift) - 1);
    netLost += packets;
    if ((tag >> kTagShift) == period && second < open.t && !intervals.empty() && second >= intervals.front().t) {
        // Judged after its second closed: it belongs there all the same.
        HealthInterval& closed = intervals[static_cast<std::size_t>(second - intervals.front().t)];
        closed.mlr += static_cast<std::uint64_t>(packets);
        closed.lostEstimated += static_cast<std::uint64_t>(packets);
        worstMlr = std::max(worstMlr, closed.mlr);
        netLostAtOpen += packets;
    }
    CountedLoss(static_cast<std::uint64_t>(packets));
}

void StreamHealth::CountedLoss(std::uint64_t packets)
{
    if (rtp) return;  // host drops are in the sequence numbers' count already
    // Host drops booked as estimate before these packets were found: the
    // same packets, so the estimate gives way where it was booked.
    for (LossShare& share : hostShares) {
        const std::uint64_t same = std::min(share.packets, packets);
        share.packets -= same;
        packets -= same;
        estimatedLost -= same;
        intervals[static_cast<std::size_t>(share.second - intervals.front().t)].lostEstimated -= same;
    }
    hostShares.erase(std::remove_if(hostShares.begin(), hostShares.end(),
                                    [](const LossShare& share) { return share.packets == 0; }),
                     hostShares.end());
    if (packets == 0) return;
    if (!countedShares.empty() && countedShares.back().atNs == startNs + open.t * kSecondNs)
        countedShares.back().packets += packets;
    else
        countedShares.push_back(LossShare{startNs + open.t * kSecondNs, open.t, packets});
}

void StreamHealth::PriceHostDrops()
{
    // Drops are read once a second, and a burst's gap is found when the
    // datagram after it has been through the queue and the window: loss on
    // either side further apart than this is not the same.
    const std::int64_t secondNs = startNs + open.t * kSecondNs;
    const auto old = [secondNs](const LossShare& share) { return share.atNs < secondNs - kHostMatchNs; };
    countedShares.erase(std::remove_if(countedShares.begin(), countedShares.end(), old), countedShares.end());
    hostShares.erase(std::remove_if(hostShares.begin(), hostShares.end(), old), hostShares.end());
    if (rtp) dropsToPrice = 0;
    // Before the first datagram of TS the drops wait to be priced.
    if (dropsToPrice == 0 || tsDatagrams == 0) return;
    const std::uint64_t perDatagram = (tsPackets + tsDatagrams / 2) / tsDatagrams;
    std::uint64_t packets = dropsToPrice * perDatagram;
    dropsToPrice = 0;
    for (LossShare& share : countedShares) {
        const std::uint64_t same = std::min(share.packets, packets);
        share.packets -= same;
        packets -= same;
    }
    countedShares.erase(std::remove_if(countedShares.begin(), countedShares.end(),
                                       [](const LossShare& share) { return share.packets == 0; }),
                        countedShares.end());
    if (packets == 0) return;
    estimatedLost += packets;
    openEstimated += packets;
    hostShares.push_back(LossShare{secondNs, open.t, packets});
}

void StreamHealth::WalkPackets(const std::uint8_t* ts, std::uint32_t size, std::int64_t arrivalNs)
{
    using Packet = pelorin::TsLossWindow::Packet;
    const std::int64_t tag = (period << kTagShift) | open.t;
    for (std::uint32_t pos = 0; pos + kTsPacket <= size && ts[pos] == kSync; pos += kTsPacket) {
        const std::uint8_t* p = ts + pos;
        const std::uint64_t pending = lossWindow.Pending();
        const Packet verdict = lossWindow.Check(p, datagramIndex, arrivalNs, tag);
        // Packets the counters find missing, less those that came late.
        if (!rtp) seenSincePcr += static_cast<std::int64_t>(lossWindow.Pending()) - static_cast<std::int64_t>(pending);
        switch (verdict) {
        case Packet::Gap:
        case Packet::Late:
            pairDirty = true;
            break;
        case Packet::Repeat:
            if (rtp)
                pairDirty = true;
            else
                CountLoss(1);
            break;
        default:
            break;
        }
        if (pelorin::TsHasPcr(p)) NotePcr(pelorin::TsPid(p), p, tsPosition + pos, arrivalNs);
    }
    tsPosition += size;
}
