// One recording from parsed settings to teardown, and the program's main.
#pragma once

#include "common/Recording.h"
#include "platform/Platform.h"

// Records with these settings; the result is the process's exit code.
HRESULT RunRecording(const RecordingSettings& settings);

// The whole program: command line, then the recording, with `settings` as
// the command line fills them (the caller's, so that they outlive the run).
int PelorinMain(int argc, wchar_t** argv, RecordingSettings* settings);
