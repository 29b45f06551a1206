// One recording from parsed settings to teardown, and the program's main.
#pragma once

#include "platform/Platform.h"

// Records with g_settings; the result is the process's exit code.
HRESULT RunRecording();

// The whole program: command line, then the recording.
int PelorinMain(int argc, wchar_t** argv);
