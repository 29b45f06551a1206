// Segmented output (--segment): the writer closes one file at each boundary
// the receive side marks and opens the next, keeps only the newest N of this
// run's files (--keep), and gives each segment its own health report.
#pragma once

#include "common/SegmentNames.h"

#include <cstdint>
#include <string>

class StreamHealth;

class SegmentRotation {
public:
    // `pattern` is the -f value; `reportPattern` the --report value or
    // nullptr. The monotonic clock reads `unixToMonotonicNs` more than the
    // wall clock in nanoseconds; boundaries are mapped once with it.
    SegmentRotation(const wchar_t* pattern, const wchar_t* reportPattern, unsigned keep,
                    std::int64_t unixToMonotonicNs);

    // Main thread: the first segment's file name, for a recording that
    // starts at `startUnixMs`; opened by the caller.
    const std::wstring& Begin(std::int64_t startUnixMs);

    // Writer thread: a marker for the boundary `boundaryUnix` came. Closes
    // the current file (its health report too, when `health` is given) and
    // opens the next. False when the next file could not be opened or the
    // closed one not completed: the message is printed, the earlier files
    // stay as they are.
    bool Rotate(std::int64_t boundaryUnix, StreamHealth* health);
    // Writer thread: bytes and datagrams handed to the current file.
    void Count(std::uint64_t bytes, int datagrams);

    // At the end, once the writer has ended: the debugger line of the last
    // segment.
    void Close();
    // The current segment: its file, its report file ("" without a report),
    // and when it began.
    const std::wstring& CurrentName() const { return currentName; }
    std::wstring CurrentReportName() const;
    std::int64_t CurrentStartUnixMs() const { return currentStartUnixMs; }
    std::uint64_t CurrentBytes() const { return bytes; }
    // A report for a segment could not be written (its message printed).
    bool ReportFailed() const { return reportFailed; }

private:
    void Started(const std::wstring& name, std::int64_t startUnixMs);

    std::wstring pattern;
    std::wstring reportPattern;
    bool withReport;
    SegmentKeeper keeper;
    std::int64_t unixToMonotonicNs;
    std::wstring currentName;
    std::int64_t currentStartUnixMs = 0;
    std::uint64_t bytes = 0;
    std::uint64_t datagrams = 0;
    bool reportFailed = false;
};
