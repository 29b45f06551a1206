// The output file's whole job: its directory, the open (a FIFO waits for its
// reader), the writes and the close, and the one message for each failure
// of it and of the outputs beside it.
#pragma once

#include "platform/Platform.h"

#include <atomic>
#include <cstdint>
#include <fstream>

// An output of an extension option (the report, the metrics), before anything
// is received: its directory is created as for the output file, and a file
// can be made there (with `everyLevel`, every missing level of it, as for
// segments). False, with the system's words for why, when not.
struct RecordingCounters;

bool PrepareSideOutput(const wchar_t* path, bool everyLevel);

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
    // of the recording. Prints "Error occurred while opening output file."
    // and returns E_FAIL, or returns S_OK.
    HRESULT Open(const wchar_t* path, std::int64_t endTicks);
    // A segment's file: every missing directory level made (as mkdir -p),
    // then opened for appending to what it holds, or truncated. The same
    // message and result as Open.
    HRESULT OpenSegment(const wchar_t* path, bool append);
    // Writer thread: appends the bytes and counts them as stored; false once
    // the file cannot take them.
    bool Write(const char* bytes, int length);
    // Closes the file; false when its buffered tail could not be stored.
    bool Close();
    // Closes the file, whatever became of its last bytes (already counted).
    void Drop();
    bool IsOpen() const { return file_.is_open(); }
    // "Error occurred while writing output file.", and the cause.
    void ReportWriteFailure() const;
    // The stream itself, for tests that set it up or break it.
    std::ofstream& Stream() { return file_; }

private:
    void RememberPath(const wchar_t* path);
    void NoteFailure(const char* verb, int systemError) const;
    HRESULT OpenFailed() const;

    std::ofstream file_;
    RecordingCounters* counters_;
    // For the cause line: the file being written (set when it is opened,
    // before the writer uses it) and the system's error of its last failed
    // write.
    char pathText_[4 * 4096 + 16] = {};
    std::atomic<int> writeError_{0};
};

// The outputs beside the recording, each with its one line for a failure.
enum class SideOutput { report, index, metrics };
// "Error occurred while writing report file." (or index, or metrics).
void ReportSideOutputFailure(SideOutput output);
