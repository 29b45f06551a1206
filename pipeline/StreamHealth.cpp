#include "pipeline/StreamHealth.h"

#include <algorithm>
#include <limits>

namespace {

constexpr std::int64_t kSecondNs = 1000000000;
constexpr std::int64_t kOutageNs = kSecondNs;
constexpr std::int64_t kSlotNs = 50000;
constexpr std::size_t kSlots = kSecondNs / kSlotNs;
constexpr std::uint32_t kEmptySlot = std::numeric_limits<std::uint32_t>::max();
constexpr unsigned kTsPacket = 188;
constexpr std::uint8_t kSync = 0x47;
constexpr std::uint64_t kPcrHz = 27000000;
constexpr std::uint64_t kPcrWrap = (std::uint64_t{1} << 33) * 300;

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
    continuity.reset();
    std::fill(std::begin(lastCc), std::end(lastCc), std::uint8_t{0});
    rtpSequence = pelorin::RtpSequence{};
    rtp = false;
    haveArrival = false;
    lastArrivalNs = 0;
    tsPosition = 0;
    pcrPid = -1;
    pcrReference = false;
    pcrRate = 0;
    previousRate = 0;
    dropsNoted = dropsKnown = false;
    lastDrops = 0;
    earlier = HealthRunTotals{};
    ResetPeriod(startAt);
}

void StreamHealth::StartPeriod(std::int64_t startAt)
{
    if (!started) {
        Start(startAt);
        return;
    }
    earlier = RunTotals();
    ResetPeriod(startAt);
}

HealthRunTotals StreamHealth::RunTotals() const
{
    HealthRunTotals totals = earlier;
    totals.tsPacketsLost += TsPacketsLost();
    totals.outages += outages.size();
    for (const HealthOutage& outage : outages) totals.outageNs += outage.endNs - outage.startNs;
    totals.rtpPacketsLost = rtpSequence.Lost();
    return totals;
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
    pcrPairBytes = pcrPairTicks = 0;
    if (pendingDropsSecond >= 0 && index >= pendingDropsSecond) {
        ApplyHostDrops(pendingDrops);
        pendingDrops = 0;
        pendingDropsSecond = -1;
    }
}

void StreamHealth::CloseSecond(std::int64_t durationNs)
{
    if (pcrPairTicks > 0)
        pcrRate = static_cast<double>(pcrPairBytes) * static_cast<double>(kPcrHz) / static_cast<double>(pcrPairTicks);
    // The second's own rate runs from its first arrival to its last: a
    // stream that starts, stops or comes back within the second would read
    // far too slow over the whole second, and the delay factor of the next
    // one as large as the silence.
    double ownRate = static_cast<double>(openTsBytes) * 1e9 / static_cast<double>(durationNs);
    std::uint32_t first = kEmptySlot, last = 0;
    for (std::size_t s = slotsLow; s < slotsHigh; ++s) {
        if (slots[s].firstNs == kEmptySlot) continue;
        if (first == kEmptySlot) first = slots[s].firstNs;
        last = slots[s].lastNs;
    }
    if (open.datagrams >= 2 && first != kEmptySlot && last > first) {
        // n arrivals span n - 1 intervals.
        const double spanBytes = static_cast<double>(openTsBytes) * static_cast<double>(open.datagrams - 1) /
                                 static_cast<double>(open.datagrams);
        ownRate = spanBytes * 1e9 / static_cast<double>(last - first);
    }
    double rate = ownRate;
    if (pcrRate > 0) {
        rate = pcrRate;
        if (open.datagrams > 0) rateFromPcr = true;
    } else if (previousRate > 0) {
        rate = previousRate;
    }

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
    previousRate = ownRate;

    worstDfMs = std::max(worstDfMs, open.dfMs);
    worstMlr = std::max(worstMlr, open.mlr);
    intervals.push_back(open);
    if (openHasOffset) firstUnresolved = intervals.size();
}

void StreamHealth::CloseThrough(std::int64_t index)
{
    while (open.t < index) {
        CloseSecond(kSecondNs);
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

    // Silence since the previous datagram, or since the start of the period.
    const std::int64_t quietFrom = haveArrival ? std::max(lastArrivalNs, startNs) : startNs;
    if (arrivalNs - quietFrom >= kOutageNs) outages.push_back(HealthOutage{quietFrom, arrivalNs, fileOffset});
    if (haveArrival) {
        const std::int64_t iatNs = std::max<std::int64_t>(arrivalNs - lastArrivalNs, 0);
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

    // RTP: a version-2 header, then nothing but whole TS packets.
    const std::uint8_t* ts = payload;
    std::uint32_t tsSize = size;
    if (size > 0 && payload[0] != kSync) {
        const std::size_t header = pelorin::RtpHeaderSize(payload, size);
        if (header > 0 && header < size && payload[header] == kSync && (size - header) % kTsPacket == 0) {
            rtp = true;
            ts = payload + header;
            tsSize = static_cast<std::uint32_t>(size - header);
            const std::uint64_t lostBefore = rtpSequence.Lost();
            rtpSequence.Add(pelorin::RtpSequenceNumber(payload));
            const std::uint64_t lostAfter = rtpSequence.Lost();
            const std::int64_t packets = tsSize / kTsPacket;
            if (lostAfter != lostBefore)
                CountLoss((static_cast<std::int64_t>(lostAfter) - static_cast<std::int64_t>(lostBefore)) * packets);
        }
    }
    WalkPackets(ts, tsSize, arrivalNs);

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

void StreamHealth::CountLoss(std::int64_t packets)
{
    // A late datagram takes back its own loss, never one from before the period.
    netLost = std::max<std::int64_t>(netLost + packets, 0);
    if (packets > 0) pcrReference = false;  // the bytes between two PCRs are no longer all here
}

void StreamHealth::WalkPackets(const std::uint8_t* ts, std::uint32_t size, std::int64_t arrivalNs)
{
    for (std::uint32_t pos = 0; pos + kTsPacket <= size && ts[pos] == kSync; pos += kTsPacket) {
        const std::uint8_t* p = ts + pos;
        const unsigned pid = ((p[1] & 0x1Fu) << 8) | p[2];
        const auto cc = static_cast<std::uint8_t>(p[3] & 0x0F);
        const pelorin::CcVerdict verdict = continuity.check(p);
        if (verdict == pelorin::CcVerdict::Ok) {
            lastCc[pid] = cc;
        } else if (verdict == pelorin::CcVerdict::Error) {
            // The packets skipped; a repetition beyond the one allowed counts as one.
            const std::int64_t skipped = cc == lastCc[pid] ? 1 : (cc - lastCc[pid] - 1) & 0x0F;
            lastCc[pid] = cc;
            if (rtp)
                pcrReference = false;  // the sequence numbers count the loss
            else
                CountLoss(skipped);
        }
        const bool adaptation = (p[3] & 0x20) != 0;
        if (adaptation && p[4] >= 7 && (p[5] & 0x10)) NotePcr(pid, p, tsPosition + pos, arrivalNs);
    }
    tsPosition += size;
}

void StreamHealth::NotePcr(unsigned pid, const std::uint8_t* p, std::uint64_t position, std::int64_t arrivalNs)
{
    if (static_cast<int>(pid) != pcrPid) {
        // One PID's clock while it keeps ticking; another's once it has been
        // silent for a second.
        if (pcrPid >= 0 && arrivalNs - lastPcrArrivalNs < kSecondNs) return;
        pcrPid = static_cast<int>(pid);
        pcrReference = false;
    }
    const std::uint64_t base = (std::uint64_t{p[6]} << 25) | (std::uint64_t{p[7]} << 17) |
                               (std::uint64_t{p[8]} << 9) | (std::uint64_t{p[9]} << 1) | (p[10] >> 7);
    const std::uint64_t pcr = base * 300 + ((std::uint64_t{p[10]} & 1) << 8 | p[11]);
    if (p[5] & 0x80) pcrReference = false;  // discontinuity_indicator: a new time base
    if (pcrReference) {
        const std::uint64_t ticks = (pcr + kPcrWrap - lastPcr) % kPcrWrap;
        const std::uint64_t between = position - lastPcrPosition;
        // PCRs come at least every 100 ms; a longer step is a jump, not a rate.
        if (ticks > 0 && ticks <= kPcrHz && between > 0) {
            pcrPairBytes += between;
            pcrPairTicks += ticks;
        }
    }
    lastPcr = pcr;
    lastPcrPosition = position;
    lastPcrArrivalNs = arrivalNs;
    pcrReference = true;
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
    if (!started || finished) return;
    CloseThrough(endAt > startNs ? (endAt - startNs - 1) / kSecondNs : 0);
    if (pendingDropsSecond >= 0) {
        ApplyHostDrops(pendingDrops);
        pendingDrops = 0;
        pendingDropsSecond = -1;
    }
    const std::int64_t secondStart = startNs + open.t * kSecondNs;
    const std::int64_t duration = endAt > secondStart ? std::min(endAt - secondStart, kSecondNs) : kSecondNs;
    nextOffset = fileSize;
    if (!openHasOffset) open.offset = fileSize;
    CloseSecond(duration);
    for (std::size_t i = firstUnresolved; i < intervals.size(); ++i) intervals[i].offset = fileSize;
    firstUnresolved = intervals.size();

    const std::int64_t quietFrom = haveArrival ? std::max(lastArrivalNs, startNs) : startNs;
    if (endAt - quietFrom >= kOutageNs) outages.push_back(HealthOutage{quietFrom, endAt, fileSize});
    endNs = endAt;
    finished = true;
}

bool StreamHealth::LastArrival(std::int64_t* ns) const
{
    if (!haveArrival) return false;
    *ns = lastArrivalNs;
    return true;
}

void StreamHealth::MarkOutageContinuing(std::int64_t quietFromNs)
{
    if (!outages.empty() && outages.back().endNs == endNs) {
        outages.back().continuing = true;
        return;
    }
    HealthOutage outage{std::max(quietFromNs, startNs), endNs, nextOffset};
    outage.continuing = true;
    outages.push_back(outage);
}

void StreamHealth::MarkOutageContinued(std::int64_t resumedNs, std::uint64_t offset)
{
    for (HealthOutage& outage : outages) {
        if (outage.startNs != startNs) continue;
        outage.continued = true;
        return;
    }
    HealthOutage outage{startNs, std::max(resumedNs, startNs), offset};
    outage.continued = true;
    outages.insert(outages.begin(), outage);
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
