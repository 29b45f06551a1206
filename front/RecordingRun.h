// The program's main: the command line and the checks that need no network,
// then one Recording (front/Recording.h), which owns the run.
#pragma once

#include "common/Recording.h"
#include "platform/Platform.h"

// Records with these settings; the result is the process's exit code.
HRESULT RunRecording(const RecordingSettings& settings);

// The whole program: command line, then the recording, with `settings` as
// the command line fills them (the caller's, so that they outlive the run).
int PelorinMain(int argc, wchar_t** argv, RecordingSettings* settings);
