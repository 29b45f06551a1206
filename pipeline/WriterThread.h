// The writer thread: drains the chunk queue into the output file, decides
// when the recording is over, stops the receive thread and ends.
#pragma once

#include "platform/Platform.h"

// Ends with 0, or E_FAIL when the output file could not be written.
DWORD WINAPI WriterThreadProc(LPVOID parameter);
