// The health line's figures over several report periods: a segmented
// recording folds each closed segment in, so that the line at the end is
// about the whole recording and not only its last segment.
#pragma once

#include "pipeline/StreamHealth.h"

#include <algorithm>
#include <cstdint>

struct HealthTotals {
    std::uint32_t iatMaxUs = 0;
    double worstDfMs = 0;
    std::uint64_t worstMlr = 0;
    std::uint64_t tsPacketsLost = 0;
    std::uint64_t outages = 0;
    double longestOutageSeconds = 0;
};

inline void AddHealthTotals(HealthTotals* totals, const StreamHealth& health)
{
    totals->iatMaxUs = std::max(totals->iatMaxUs, health.IatMaxUs());
    totals->worstDfMs = std::max(totals->worstDfMs, health.WorstDfMs());
    totals->worstMlr = std::max(totals->worstMlr, health.WorstMlr());
    totals->tsPacketsLost += health.TsPacketsLost();
    totals->outages += health.Outages().size();
    for (const HealthOutage& outage : health.Outages())
        totals->longestOutageSeconds =
            std::max(totals->longestOutageSeconds, static_cast<double>(outage.endNs - outage.startNs) / 1e9);
}
