// The network's health over a recording: the figures the writer feeds, the
// totals line on the debugger channel, and the JSON report (--report).
#pragma once

#include "platform/Platform.h"

#include <cstdint>

class PublishedTotals;
class StreamHealth;
struct RecordingCounters;

struct HealthRun {
    StreamHealth* health;         // nullptr when its memory could not be had
    std::int64_t startedUnixMs;   // the wall clock as receiving began
    const RecordingCounters* counters;  // the recording's
    PublishedTotals* totals;            // where the closed figures' totals go
};

// The wall clock in milliseconds since 1970-01-01 UTC.
std::int64_t UnixMilliseconds();

// Right before receiving starts: t = 0 of the figures. `mediaRateMbit`:
// the stream's nominal rate (--media-rate), 0 to measure it. `counters` and
// `totals`: the recording's.
HealthRun BeginHealth(double mediaRateMbit, const RecordingCounters* counters, PublishedTotals* totals);

// What the last report is about: the recording's file (or its last
// segment's), where the report goes (nullptr for none), when that file began
// and how many bytes it holds.
struct HealthTarget {
    const wchar_t* file;
    const wchar_t* report;
    std::int64_t startedUnixMs;
    std::uint64_t fileSize;
    bool fileRemoved;  // the file was removed while recording and made anew
    // The closed segments' figures, which the health line includes; nullptr
    // for none.
    const struct HealthTotals* earlier;
    // The datagrams in the file when the target knows them (a segment), else -1.
    std::int64_t datagramsInFile;
    // The file began in the silence of an outage that started before it (a
    // segment's): that outage is marked continued, counted once in all.
    bool continuesOutage;
    // Of fileSize, what an earlier run left (a segment appended to): not
    // this run's bytes.
    std::uint64_t bytesAlready;
};

// Once the writer has ended (or has been given up on): closes the figures at
// `endNs`, the moment receiving ended, writes the health line after the
// totals and, when asked for, the report. S_OK, or E_FAIL when the report
// could not be written (its message printed). Releases the figures.
// `outages` and `tsPacketsLost`, when given, get the last file's final
// figures (0 without figures).
HRESULT EndHealth(HealthRun* run, std::int64_t endNs, const HealthTarget& target, std::uint64_t* outages = nullptr,
                  std::uint64_t* tsPacketsLost = nullptr);
