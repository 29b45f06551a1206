// One recording from parsed settings to teardown, and the program's main.
#pragma once

#include "platform/Platform.h"

// Records with g_settings; the result is the process's exit code.
HRESULT RunRecording();

// Releases g_receiver and everything it owns, once both worker threads
// have ended (or never started).
void TearDownReceiver();

// The whole program: command line, then the recording.
int PelorinMain(int argc, wchar_t** argv);
