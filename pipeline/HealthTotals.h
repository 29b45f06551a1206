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
    double openOutageSeconds = 0;  // of an outage that goes on in the next segment
};

inline void AddHealthTotals(HealthTotals* totals, const StreamHealth& health)
{
    totals->iatMaxUs = std::max(totals->iatMaxUs, health.IatMaxUs());
    totals->worstDfMs = std::max(totals->worstDfMs, health.WorstDfMs());
    totals->worstMlr = std::max(totals->worstMlr, health.WorstMlr());
    totals->tsPacketsLost += health.TsPacketsLost();
    // An outage across a cut is in both segments: counted once, as one.
    for (const HealthOutage& outage : health.Outages()) {
        if (!outage.continued) ++totals->outages;
        const double whole = (outage.continued ? totals->openOutageSeconds : 0) +
                             static_cast<double>(outage.endNs - outage.startNs) / 1e9;
        totals->longestOutageSeconds = std::max(totals->longestOutageSeconds, whole);
        totals->openOutageSeconds = outage.continuing ? whole : 0;
    }
}
