#include "pipeline/StreamHealth.h"

#include "stream/TsPacket.h"

#include <algorithm>
#include <limits>

namespace {

constexpr std::int64_t kSecondNs = 1000000000;
constexpr std::int64_t kOutageNs = kSecondNs;
constexpr std::int64_t kSlotNs = 50000;
constexpr std::size_t kSlots = kSecondNs / kSlotNs;
constexpr std::uint32_t kEmptySlot = std::numeric_limits<std::uint32_t>::max();
constexpr unsigned kTsPacket = pelorin::kTsPacketSize;
constexpr std::uint8_t kSync = pelorin::kTsSync;
// A tag for a gap: the period in the high bits, the second in the low ones.
constexpr int kTagShift = 40;
// How many datagrams may come between a copy and its original for it to be
// told by its counters going back (a patterned stream repeats further apart).
constexpr int kCopyAge = 2;

int IatBucket(std::uint32_t us)
{
    int bucket = 0;
    while (us != 0) {
        ++bucket;
        us >>= 1;
    }
    return std::min(bucket, kIatBuckets - 1);
}

}  // namespace

StreamHealth::StreamHealth() : slots(kSlots, Slot{kEmptySlot, 0, 0, 0}) {}

void StreamHealth::Start(std::int64_t startAt)
{
    lossWindow.Reset();
    lossReordered = 0;
    duplicateWindow.Reset();
    mediaRate.Reset();
    datagramIndex = 0;
    pairDirty = false;
    seenSincePcr = 0;
    rtpSequence = pelorin::RtpSequence{};
    rtp = false;
    haveArrival = false;
    lastArrivalNs = 0;
    tsPosition = 0;
    pcrPid = -1;
    pcrReference = false;
    dropsNoted = dropsKnown = false;
    lastDrops = 0;
    ResetPeriod(startAt);
}

void StreamHealth::StartPeriod(std::int64_t startAt)
{
    if (!started) {
        Start(startAt);
        return;
    }
    ResetPeriod(startAt);
}

void StreamHealth::ResetPeriod(std::int64_t periodStartNs)
{
    startNs = endNs = periodStartNs;
    started = true;
    finished = false;
    intervals.clear();
    outages.clear();
    datagrams = bytes = 0;
    netLost = 0;
    iatMaxUs = 0;
    worstDfMs = 0;
    worstMlr = 0;
    rateFromPcr = false;
    pcrSeconds = measuredSeconds = 0;
    rateConfigured = false;
    estimatedLost = duplicates = reordered = 0;
    ++period;
    std::fill(std::begin(iatHistogram), std::end(iatHistogram), std::uint64_t{0});
    nextOffset = 0;
    firstUnresolved = 0;
    periodDrops = 0;
    pendingDrops = 0;
    pendingDropsSecond = -1;
    // A period cut without Finish leaves the open second's slots behind.
    for (std::size_t s = slotsLow; s < slotsHigh; ++s) slots[s].firstNs = kEmptySlot;
    slotsLow = kSlots;
    slotsHigh = 0;
    OpenSecond(0);
}

std::int64_t StreamHealth::SecondOf(std::int64_t ns) const
{
    return ns <= startNs ? 0 : (ns - startNs) / kSecondNs;
}

void StreamHealth::OpenSecond(std::int64_t index)
{
    open = HealthInterval{};
    open.t = index;
    open.offset = nextOffset;  // until a datagram says otherwise
    open.hostDrops = dropsKnown ? 0 : -1;
    openHasOffset = false;
    openTsBytes = 0;
    netLostAtOpen = netLost;
    openEstimated = 0;
    if (pendingDropsSecond >= 0 && index >= pendingDropsSecond) {
        ApplyHostDrops(pendingDrops);
        pendingDrops = 0;
        pendingDropsSecond = -1;
    }
}

void StreamHealth::CloseSecond()
{
    RateSource source = RateSource::Measured;
    const double rate = mediaRate.CloseSecond(&source);
    // The report names the source most seconds with datagrams drained at.
    if (open.datagrams > 0 && source == RateSource::Pcr) ++pcrSeconds;
    if (open.datagrams > 0 && source == RateSource::Measured) ++measuredSeconds;
    rateFromPcr = pcrSeconds > 0 && pcrSeconds >= measuredSeconds;
    if (source == RateSource::Configured) rateConfigured = true;

    double minPre = 0, maxPost = 0;
    bool any = false;
    for (std::size_t s = slotsLow; s < slotsHigh; ++s) {
        Slot& slot = slots[s];
        if (slot.firstNs == kEmptySlot) continue;
        const double pre = static_cast<double>(slot.preBytes) - rate * static_cast<double>(slot.firstNs) / 1e9;
        const double post = static_cast<double>(slot.postBytes) - rate * static_cast<double>(slot.lastNs) / 1e9;
        minPre = any ? std::min(minPre, pre) : pre;
        maxPost = any ? std::max(maxPost, post) : post;
        any = true;
        slot.firstNs = kEmptySlot;
    }
    slotsLow = kSlots;
    slotsHigh = 0;
    open.dfMs = any && rate > 0 ? (maxPost - minPre) / rate * 1000.0 : 0.0;
    open.mlr = netLost > netLostAtOpen ? static_cast<std::uint64_t>(netLost - netLostAtOpen) : 0;
    open.lostEstimated = open.mlr + openEstimated;

    worstDfMs = std::max(worstDfMs, open.dfMs);
    worstMlr = std::max(worstMlr, open.mlr);
    intervals.push_back(open);
    if (openHasOffset) firstUnresolved = intervals.size();
}

void StreamHealth::CloseThrough(std::int64_t index)
{
    while (open.t < index) {
        CloseSecond();
        OpenSecond(open.t + 1);
    }
}

void StreamHealth::Advance(std::int64_t nowNs)
{
    if (started && !finished) CloseThrough(SecondOf(nowNs));
}

void StreamHealth::AddDatagram(const std::uint8_t* payload, std::uint32_t size, std::int64_t arrivalNs,
                               std::uint64_t fileOffset)
{
    if (!started) Start(arrivalNs);
    if (finished) return;
    CloseThrough(SecondOf(arrivalNs));

    const std::int64_t iatNs = haveArrival ? std::max<std::int64_t>(arrivalNs - lastArrivalNs, 0) : 0;
    // Since the last datagram that was media: a copy takes no time from the rate.
    const std::int64_t mediaIatNs = haveArrival ? std::max<std::int64_t>(arrivalNs - lastMediaNs, 0) : 0;
    // Silence since the previous datagram, or since the start of the period.
    const std::int64_t quietFrom = haveArrival ? std::max(lastArrivalNs, startNs) : startNs;
    if (arrivalNs - quietFrom >= kOutageNs) outages.push_back(HealthOutage{quietFrom, arrivalNs, fileOffset});
    if (haveArrival) {
        const auto us = static_cast<std::uint32_t>(
            std::min<std::int64_t>(iatNs / 1000, std::numeric_limits<std::uint32_t>::max()));
        open.iatMaxUs = std::max(open.iatMaxUs, us);
        iatMaxUs = std::max(iatMaxUs, us);
        ++iatHistogram[IatBucket(us)];
        lastArrivalNs = std::max(lastArrivalNs, arrivalNs);
    } else {
        lastArrivalNs = arrivalNs;
        haveArrival = true;
    }

    ++datagramIndex;

    // RTP: a version-2 header, then nothing but whole TS packets (and the
    // padding the header announces).
    const std::uint8_t* ts = payload;
    std::uint32_t tsSize = size;
    bool copy = false;
    if (size > 0 && payload[0] != kSync) {
        const std::size_t header = pelorin::RtpHeaderSize(payload, size);
        const long padding = header > 0 ? pelorin::RtpPaddingSize(payload, size, header) : -1;
        const std::size_t body = padding >= 0 ? size - header - static_cast<std::size_t>(padding) : 0;
        if (header > 0 && body > 0 && payload[header] == kSync && body % kTsPacket == 0) {
            rtp = true;
            ts = payload + header;
            tsSize = static_cast<std::uint32_t>(body);
            const std::uint64_t lostBefore = rtpSequence.Lost();
            const pelorin::RtpSequence::Arrival arrival = rtpSequence.Add(pelorin::RtpSequenceNumber(payload));
            const std::uint64_t lostAfter = rtpSequence.Lost();
            const std::int64_t packets = tsSize / kTsPacket;
            copy = arrival == pelorin::RtpSequence::Arrival::Duplicate;
            if (arrival == pelorin::RtpSequence::Arrival::Late) {
                ++reordered;
                pairDirty = true;
            }
            if (lostAfter != lostBefore)
                CountLoss((static_cast<std::int64_t>(lostAfter) - static_cast<std::int64_t>(lostBefore)) * packets);
        }
    } else if (!rtp && size >= kTsPacket) {
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
        if (last != nullptr)
            copy = lossWindow.StandsAt(last) ||
                   (age <= kCopyAge && !lossWindow.Continues(first) && !lossWindow.WouldFill(first));
    }
    if (copy) {
        ++duplicates;
        tsSize = 0;
    } else {
        WalkPackets(ts, tsSize, arrivalNs);
        mediaRate.AddArrival(tsSize, mediaIatNs);
        lastMediaNs = arrivalNs;
    }
    lossWindow.Expire(datagramIndex, arrivalNs, [this](std::int64_t tag, int packets) { JudgedLoss(tag, packets); });
    TakeReordered();

    const std::int64_t secondStart = startNs + open.t * kSecondNs;
    const auto intoSecond = static_cast<std::uint32_t>(std::max<std::int64_t>(arrivalNs - secondStart, 0));
    const std::size_t s = intoSecond / kSlotNs;
    Slot& slot = slots[s];
    if (slot.firstNs == kEmptySlot) {
        slot.firstNs = intoSecond;
        slot.preBytes = openTsBytes;
    }
    slot.lastNs = intoSecond;
    slot.postBytes = openTsBytes + tsSize;
    slotsLow = std::min(slotsLow, s);
    slotsHigh = std::max(slotsHigh, s + 1);
    openTsBytes += tsSize;

    ++open.datagrams;
    open.bytes += size;
    ++datagrams;
    bytes += size;
    if (!openHasOffset) {
        open.offset = fileOffset;
        openHasOffset = true;
    }
    // Seconds closed without a datagram start where this one does.
    for (std::size_t i = firstUnresolved; i < intervals.size(); ++i) intervals[i].offset = fileOffset;
    firstUnresolved = intervals.size();
    nextOffset = fileOffset + size;
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

void StreamHealth::ApplyHostDrops(std::uint64_t count)
{
    if (open.hostDrops < 0) open.hostDrops = 0;
    open.hostDrops += static_cast<std::int64_t>(count);
    dropsKnown = true;
}

void StreamHealth::NoteHostDrops(std::uint64_t cumulative, std::int64_t atNs)
{
    if (!started || finished) return;
    const std::uint64_t increase = cumulative > lastDrops ? cumulative - lastDrops : 0;
    lastDrops = cumulative;
    dropsNoted = true;
    periodDrops += increase;
    const std::int64_t second = SecondOf(atNs);
    if (second <= open.t) {
        ApplyHostDrops(increase);
    } else {
        // The second has not opened yet: the count waits for it.
        pendingDrops += increase;
        if (pendingDropsSecond < 0) pendingDropsSecond = second;
    }
}

void StreamHealth::Finish(std::int64_t endAt, std::uint64_t fileSize)
{
    Close(endAt, fileSize, true);
}

void StreamHealth::FinishPeriod(std::int64_t endAt, std::uint64_t fileSize)
{
    Close(endAt, fileSize, false);
}

void StreamHealth::Close(std::int64_t endAt, std::uint64_t fileSize, bool streamEnds)
{
    if (!started || finished) return;
    CloseThrough(endAt > startNs ? (endAt - startNs - 1) / kSecondNs : 0);
    if (pendingDropsSecond >= 0) {
        ApplyHostDrops(pendingDrops);
        pendingDrops = 0;
        pendingDropsSecond = -1;
    }
    // Gaps still open at the end had all the time they will get.
    if (streamEnds) lossWindow.ExpireAll([this](std::int64_t tag, int packets) { JudgedLoss(tag, packets); });
    TakeReordered();
    nextOffset = fileSize;
    if (!openHasOffset) open.offset = fileSize;
    CloseSecond();
    for (std::size_t i = firstUnresolved; i < intervals.size(); ++i) intervals[i].offset = fileSize;
    firstUnresolved = intervals.size();

    const std::int64_t quietFrom = haveArrival ? std::max(lastArrivalNs, startNs) : startNs;
    if (endAt - quietFrom >= kOutageNs) outages.push_back(HealthOutage{quietFrom, endAt, fileSize});
    endNs = endAt;
    finished = true;
}

bool StreamHealth::LastCompleteSecond(HealthInterval* out) const
{
    if (intervals.empty()) return false;
    *out = intervals.back();
    return true;
}

std::optional<std::uint64_t> StreamHealth::HostDrops() const
{
    if (!dropsNoted) return std::nullopt;
    return periodDrops;
}

const char* StreamHealth::RateSourceName() const
{
    if (rateConfigured) return "configured";
    return rateFromPcr ? "pcr" : "measured";
}
