// The output file's whole job: its directory, the open (a FIFO waits for its
// reader), the writes and the close, and the one message for each failure
// of it and of the outputs beside it.
#pragma once

#include "platform/Platform.h"

#include <cstdint>

// Creates one missing directory level and opens the file, truncating it; a
// FIFO is waited for until `endTicks` (GetTickCount64's clock), the end of
// the recording. Prints "Error occurred while opening output file." and
// returns E_FAIL, or returns S_OK.
HRESULT OpenOutputFile(const wchar_t* path, std::int64_t endTicks);
// A segment's file: every missing directory level made (as mkdir -p), then
// opened for appending to what it holds, or truncated. The same message and
// result as OpenOutputFile.
HRESULT OpenSegmentFile(const wchar_t* path, bool append);
// An output of an extension option (the report, the metrics), before anything
// is received: its directory is created as for the output file, and a file
// can be made there (with `everyLevel`, every missing level of it, as for
// segments). False, with the system's words for why, when not.
bool PrepareSideOutput(const wchar_t* path, bool everyLevel);
// Writer thread: appends the bytes and counts them as stored; false once the
// file cannot take them.
bool WriteToOutputFile(const char* bytes, int length);
// Closes the file; false when its buffered tail could not be stored.
bool CloseOutputFile();
// "Error occurred while writing output file."
void ReportWriteFailure();

// The outputs beside the recording, each with its one line for a failure.
enum class SideOutput { report, index, metrics };
// "Error occurred while writing report file." (or index, or metrics).
void ReportSideOutputFailure(SideOutput output);
