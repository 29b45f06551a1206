// Segmented output (--segment): the writer closes one file at each boundary
// the receive side marks and opens the next, keeps only the newest N files
// its pattern names (--keep), gives each segment its own health report and
// lists the segments in an index (--index).
#pragma once

#include "pipeline/HealthReport.h"
#include "pipeline/HealthTotals.h"
#include "pipeline/SegmentIndex.h"

#include "platform/Platform.h"

#include <cstdint>
#include <string>

struct Chunk;
class FailureDisplay;
class OutputFile;
struct RecordingCounters;
class StreamHealth;

struct SegmentSettings {
    const wchar_t* pattern;        // the -f value
    const wchar_t* reportPattern;  // the --report value, or nullptr
    const wchar_t* indexPath;      // the --index value, or nullptr
    unsigned keep;                 // 0 keeps all
    std::int64_t segmentSeconds;
    // The monotonic clock reads this much more than the wall clock in
    // nanoseconds; boundaries are mapped once with it.
    std::int64_t unixToMonotonicNs;
    OutputFile* output;  // the recording's output file, which each segment opens in turn
    RecordingCounters* counters;  // the recording's
    // The front's, which shows each failure of a file, report or index as it happens.
    FailureDisplay* failures;
};

class SegmentRotation {
public:
    explicit SegmentRotation(const SegmentSettings& settings);

    // Main thread: opens the first segment's file for a recording that
    // starts at `startUnixMs`: appended to when an earlier run of the same
    // segment left it, else truncated. E_FAIL with the failure shown.
    HRESULT Begin(std::int64_t startUnixMs);

    // Writer thread: a marker for the boundary `boundaryUnix` came. Closes
    // the current file (its health report too, when `health` is given) and
    // opens the next. False when the next file could not be opened or the
    // closed one not completed: the failure is shown, the earlier files
    // stay as they are.
    bool Rotate(std::int64_t boundaryUnix, StreamHealth* health);
    // Writer thread: stores the chunk's datagrams. A failed write is cut back
    // to the last whole datagram; for want of space with --keep the oldest
    // file is deleted and the rest written again. False when nothing more
    // can be stored.
    bool Write(const Chunk* chunk);
    // Writer thread: the first datagram after a boundary was fed to `health`
    // (arrived at `arrivalNs`, at `offset` in the file). Settles whether the
    // silence across the boundary was an outage, for both segments' reports.
    void Arrived(StreamHealth* health, std::int64_t arrivalNs, std::uint64_t offset);
    bool AwaitsArrival() const { return pendingHealth != nullptr || continuedOpen; }
    // Writer thread, about once a second: when the current file has been
    // removed, says so and goes on in a new one of the same name.
    void CheckFilePresent();

    // At the end, once the writer has ended: the last segment's debugger
    // line. `abandoning` when the writer is
    // being given up on in its write: then only the line, nothing that could
    // block on the same disk or race the writer.
    void Close(std::int64_t endedNs, bool abandoning);
    // After the health figures are final: the last segment's row in the
    // index, with its outages and TS packets lost.
    void ListLast(std::uint64_t outages, std::uint64_t tsPacketsLost);
    // The current segment: its file, its report file ("" without a report),
    // and when it began.
    const std::wstring& CurrentName() const { return currentName; }
    std::wstring CurrentReportName() const;
    std::int64_t CurrentStartUnixMs() const { return currentStartUnixMs; }
    // Bytes in the current file, what it held before this run included (the
    // offsets in it), and of those what it held before (a restart appends).
    std::uint64_t CurrentBytes() const { return bytes; }
    std::uint64_t CurrentBytesAlready() const { return existingBytes; }
    std::uint64_t CurrentDatagrams() const { return datagrams; }
    bool CurrentFileRemoved() const { return fileRemoved; }
    // No datagram came since an outage went on across the last boundary.
    bool ContinuesOutage() const { return continuedOpen; }
    // The health of the segments closed so far, for the whole run's line.
    const HealthTotals& EarlierHealth() const { return earlierHealth; }
    // A report or the index could not be written (its failure shown).
    bool ReportFailed() const { return reportFailed; }
    // The last segment could not be flushed to storage at the end (its
    // failure shown): the run failed as for a failed write.
    bool CloseFailed() const { return closeFailed; }

private:
    HRESULT Open(std::int64_t nameUnix, std::int64_t startUnixMs, std::int64_t segmentStartUnix);
    bool Closed(bool flush);  // false when the flush to storage failed
    // Opens `name` in the output file; false, its failure shown, when it cannot be.
    bool OpenFile(const std::wstring& name, bool append);
    bool FileWasRemoved();
    void EnforceKeep();
    bool DeleteOldest();
    bool Delete(const struct SegmentFile& file);  // false when the file stays
    void AddToIndex(std::uint64_t outages, std::uint64_t tsPacketsLost, std::int64_t endedUnixMs, bool last);
    void WriteIndex(bool last);
    void Reported(const StreamHealth& closed, const HealthReportInfo& info, const std::wstring& reportName);
    void ReportPending(bool continuing);

    std::wstring pattern;
    std::wstring reportPattern;
    bool withReport;
    unsigned keep;
    std::int64_t segmentSeconds;
    std::int64_t unixToMonotonicNs;
    OutputFile* output;
    RecordingCounters* counters;
    FailureDisplay* failures;
    SegmentIndex index;
    bool withIndex;
    std::wstring currentName;
    std::int64_t currentStartUnixMs = 0;
    std::int64_t currentNameUnix = 0;  // the second its name (and its report's) is made from
    std::uint64_t bytes = 0;
    std::uint64_t existingBytes = 0;  // of bytes, those an earlier run left
    std::uint64_t datagrams = 0;
    bool closedLogged = false;
    bool fileRemoved = false;
    bool reportFailed = false;
    bool closeFailed = false;
    std::int64_t lastEndedUnixMs = 0;
    bool lastToList = false;  // closed at the end, its row still to come
    HealthTotals earlierHealth;
    // The silence at a boundary is an outage if it lasts a second in all:
    // the closed segment's figures wait (a copy) until the next datagram
    // tells, or the next boundary or the end.
    StreamHealth* pendingHealth = nullptr;
    HealthReportInfo pendingInfo;
    std::wstring pendingName;  // its segment's file
    std::wstring pendingReportName;
    std::int64_t quietFromNs = 0;
    // The outage at the last boundary goes on in this segment.
    bool continuedOpen = false;

public:
    ~SegmentRotation();
    SegmentRotation(const SegmentRotation&) = delete;
    SegmentRotation& operator=(const SegmentRotation&) = delete;
};
