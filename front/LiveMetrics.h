// The metrics file of a running recording (--metrics): the figures gathered
// from the counters and written once a second, and the last state at the end.
#pragma once

#include "front/MetricsFile.h"
#include "platform/Platform.h"

#include <cstdint>

class PublishedTotals;
struct RecordingCounters;

class LiveMetrics {
public:
    // `startUnixMs`: when receiving began, on the wall clock. `counters` and
    // `totals`: the recording's, which the figures are read from.
    LiveMetrics(const wchar_t* path, const RecordingSettings& settings, std::int64_t startUnixMs,
                const RecordingCounters* counters, const PublishedTotals* totals);

    // `quietMilliseconds`: since the last datagram, or since the join while
    // none has come. A failed write is said once on the debugger channel.
    void Write(SOCKET socket, ULONGLONG quietMilliseconds, bool receiving);

private:
    MetricsFile file;
    double startSeconds;
    std::int64_t startTicks;  // the recording's start on GetTickCount64's clock
    const RecordingCounters* counters;
    const PublishedTotals* totals;
    bool failureSaid = false;
};
