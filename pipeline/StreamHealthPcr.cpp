// The health figures' use of the stream clock: the PCR pairs that give the
// media rate, and the estimate of a burst the continuity counters could not see.
#include "pipeline/StreamHealth.h"

#include "stream/TsPacket.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr std::int64_t kSecondNs = 1000000000;
constexpr std::uint64_t kPcrHz = pelorin::kPcrHz;
constexpr double kTsPacket = pelorin::kTsPacketSize;
// A pair of PCRs further apart than this is a jump, not a rate; up to
// kBurstTicks it can still tell how much a burst took.
constexpr std::uint64_t kPairTicks = kPcrHz;
constexpr std::uint64_t kBurstTicks = 10 * kPcrHz;
// A PCR further behind the last than reordering on a network explains is a
// time base that went back without the discontinuity flag (a looped file).
constexpr std::uint64_t kLateTicks = kPcrHz / 10;

}  // namespace

void StreamHealth::NotePcr(unsigned pid, const std::uint8_t* p, std::uint64_t position, std::int64_t arrivalNs)
{
    if (static_cast<int>(pid) != pcrPid) {
        // One PID's clock while it keeps ticking; another's once it has been
        // silent for a second.
        if (pcrPid >= 0 && arrivalNs - lastPcrArrivalNs < kSecondNs) return;
        pcrPid = static_cast<int>(pid);
        pcrReference = false;
    }
    const std::uint64_t pcr = pelorin::TsPcr(p);
    if (p[5] & 0x80) pcrReference = false;  // discontinuity_indicator: a new time base
    if (pcrReference && !pelorin::PcrAhead(lastPcr, pcr) && pelorin::PcrForward(pcr, lastPcr) > kLateTicks)
        pcrReference = false;
    if (pcrReference && !pelorin::PcrAhead(lastPcr, pcr)) {
        // Behind the last one: it came late. The order of PCRs is the clock's;
        // the pair after it spans the reordering.
        pairDirty = true;
        return;
    }
    if (pcrReference) {
        const std::uint64_t ticks = pelorin::PcrForward(lastPcr, pcr);
        const std::uint64_t between = position - lastPcrPosition;
        if (!pairDirty && ticks > 0 && ticks <= kPairTicks && between > 0)
            mediaRate.AddPcrPair(between, ticks);
        else if (ticks > 0 && ticks <= kBurstTicks)
            EstimateBurst(ticks, between, arrivalNs - lastPcrArrivalNs);
    }
    lastPcr = pcr;
    lastPcrPosition = position;
    lastPcrArrivalNs = arrivalNs;
    pcrReference = true;
    pairDirty = false;
    seenSincePcr = 0;
}

void StreamHealth::EstimateBurst(std::uint64_t ticks, std::uint64_t between, std::int64_t arrivalGapNs)
{
    const double rate = mediaRate.Current();
    if (rate <= 0) return;
    // Only where something went missing: a loss the counters saw, or a
    // silence in arrivals.
    if (seenSincePcr <= 0 && arrivalGapNs <= MediaRate::kSilenceNs) return;
    // The clock ran on through it: the PCRs are as far apart as their
    // arrivals. A step of the time base is no burst.
    const double clockNs = static_cast<double>(ticks) * 1e9 / static_cast<double>(kPcrHz);
    if (std::fabs(static_cast<double>(arrivalGapNs) - clockNs) > 1e8 + clockNs / 5) return;
    const double expected = rate * clockNs / 1e9 / kTsPacket;
    const double missing = expected - static_cast<double>(between) / kTsPacket;
    const double beyond = missing - static_cast<double>(std::max<std::int64_t>(seenSincePcr, 0));
    // The rate is the window's, not this pair's: a small shortfall is its error.
    if (beyond < 1 + expected / 50) return;
    const auto packets = static_cast<std::uint64_t>(std::llround(beyond));
    estimatedLost += packets;
    openEstimated += packets;
    CountedLoss(packets);
}
