// The run's health totals, for the metrics: published by the writer once a
// second and by the main thread once the figures are closed; read by the
// main thread. The recording owns one; the two threads meet only here.
#pragma once

#include "pipeline/StreamHealth.h"

#include <mutex>

class PublishedTotals {
public:
    void Publish(const StreamHealth& health)
    {
        const HealthRunTotals totals = health.RunTotals();
        std::lock_guard<std::mutex> guard(lock_);
        totals_ = totals;
    }
    HealthRunTotals Read() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return totals_;
    }

private:
    mutable std::mutex lock_;
    HealthRunTotals totals_ = {};
};
