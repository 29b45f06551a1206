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
    dropsToPrice = 0;
    countedShares.clear();
    tsDatagrams = tsPackets = 0;
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
    totals.tsPacketsLostEstimated += TsPacketsLostEstimated();
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
    hostShares.clear();  // they are in the previous period's seconds
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
    PriceHostDrops();
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
        copy = CopyOfRecent(payload, size);
    }
    if (copy) {
        ++duplicates;
        tsSize = 0;
    } else {
        WalkPackets(ts, tsSize, arrivalNs);
        if (tsSize >= kTsPacket && ts[0] == kSync) {
            ++tsDatagrams;
            tsPackets += tsSize / kTsPacket;
        }
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

void StreamHealth::ApplyHostDrops(std::uint64_t count)
{
    if (open.hostDrops < 0) open.hostDrops = 0;
    open.hostDrops += static_cast<std::int64_t>(count);
    dropsToPrice += count;
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

const char* StreamHealth::RateSourceName() const
{
    if (rateConfigured) return "configured";
    return rateFromPcr ? "pcr" : "measured";
}
