#include "pipeline/MediaRate.h"

void MediaRate::Reset()
{
    for (Second& second : window) second = Second{};
    now = 0;
    current = 0;
}

void MediaRate::AddPcrPair(std::uint64_t bytes, std::uint64_t ticks)
{
    window[now].pcrBytes += bytes;
    window[now].pcrTicks += ticks;
}

void MediaRate::AddArrival(std::uint64_t bytes, std::int64_t iatNs)
{
    if (iatNs <= 0) return;
    window[now].allBytes += bytes;
    window[now].allNs += iatNs;
    if (iatNs > kSilenceNs) return;
    window[now].activeBytes += bytes;
    window[now].activeNs += iatNs;
}

double MediaRate::CloseSecond(RateSource* source)
{
    std::uint64_t pcrBytes = 0, pcrTicks = 0, activeBytes = 0;
    std::uint64_t allBytes = 0;
    std::int64_t activeNs = 0, allNs = 0;
    for (const Second& second : window) {
        allBytes += second.allBytes;
        allNs += second.allNs;
        pcrBytes += second.pcrBytes;
        pcrTicks += second.pcrTicks;
        activeBytes += second.activeBytes;
        activeNs += second.activeNs;
    }
    if (configured > 0) {
        *source = RateSource::Configured;
        current = configured;
    } else if (pcrTicks >= kMinPcrTicks) {
        *source = RateSource::Pcr;
        current = static_cast<double>(pcrBytes) * 27e6 / static_cast<double>(pcrTicks);
    } else {
        *source = RateSource::Measured;
        if (activeNs > 0)
            current = static_cast<double>(activeBytes) * 1e9 / static_cast<double>(activeNs);
        else if (allNs > 0)
            current = static_cast<double>(allBytes) * 1e9 / static_cast<double>(allNs);
        // With no arrivals in the window at all the last rate stands.
    }
    now = (now + 1) % kWindowSeconds;
    window[now] = Second{};
    return current;
}
