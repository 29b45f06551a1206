// The output file's whole job: its directory, the open (a FIFO waits for its
// reader), the writes and the close, and the one failure for each way it and
// the outputs beside it fail, for the front to show.
#pragma once

#include "common/Failure.h"
#include "platform/Platform.h"

#include <atomic>
#include <cstdint>
#include <fstream>

// An output of an extension option (the report, the metrics), before anything
// is received: its directory is created as for the output file, and a file
// can be made there (with `everyLevel`, every missing level of it, as for
// segments). Its failure, with the system's words for why, when not.
struct RecordingCounters;

// The outputs beside the recording, each with its one line for a failure.
enum class SideOutput { report, index, metrics };

// Its failure: "Error occurred while writing report file." (or index, or
// metrics), after the cause line when `action` and `systemError` give one.
Failure SideOutputFailure(SideOutput output, int systemError = 0, const std::string& action = std::string());

Failure PrepareSideOutput(const wchar_t* path, bool everyLevel, SideOutput output);

// One recording's output file, or its current segment's. Opened and closed
// by the main thread around the writer and by the writer between segments;
// written by the writer alone.
class OutputFile {
public:
    // `counters`: the recording's, where what is written counts as stored.
    explicit OutputFile(RecordingCounters* counters) : counters_(counters) {}
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates one missing directory level and opens the file, truncating it;
    // a FIFO is waited for until `endTicks` (GetTickCount64's clock), the end
    // of the recording. FailureKind::none, or openOutput with its cause.
    Failure Open(const wchar_t* path, std::int64_t endTicks);
    // A segment's file: every missing directory level made (as mkdir -p),
    // then opened for appending to what it holds, or truncated. The same
    // failure as Open.
    Failure OpenSegment(const wchar_t* path, bool append);
    // Writer thread: appends the bytes and counts them as stored; false once
    // the file cannot take them.
    bool Write(const char* bytes, int length);
    // Closes the file; false when its buffered tail could not be stored.
    bool Close();
    // Closes the file, whatever became of its last bytes (already counted).
    void Drop();
    bool IsOpen() const { return file_.is_open(); }
    // A write or close that failed: writeOutput, with the cause of the last
    // failed write.
    Failure WriteFailure() const;
    // The stream itself, for tests that set it up or break it.
    std::ofstream& Stream() { return file_; }

private:
    void RememberPath(const wchar_t* path);
    Failure FailureOf(FailureKind kind, const char* verb, int systemError) const;

    std::ofstream file_;
    RecordingCounters* counters_;
    // For the cause line: the file being written (set when it is opened,
    // before the writer uses it) and the system's error of its last failed
    // write.
    char pathText_[4 * 4096 + 16] = {};
    std::atomic<int> writeError_{0};
};
