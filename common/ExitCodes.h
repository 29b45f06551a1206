// The recorder's results that are not plain success or E_FAIL, and the one
// table that turns a result into the process's exit code.
#pragma once

#include "platform/Platform.h"

// Receiver::CreateSocket's result for a failed bind (not an HRESULT).
constexpr HRESULT kBindFailed = 2049;

// The result of a recording ended by --no-data: HRESULT_FROM_WIN32 of
// ERROR_TIMEOUT (1460), which no other outcome gives.
constexpr HRESULT kNoDataResult = static_cast<HRESULT>(0x800705B4u);

// The exit code for the program's result. Where the system keeps the whole
// 32-bit code (Windows) it is the result itself. Where it keeps 8 bits:
// 0 for success, 1 for E_FAIL (a bad command line, a file error), 2 for a
// failed bind, 4 for --no-data, 3 for any other failure. A stop by Ctrl-C
// ends a POSIX process by its signal instead (the platform layer's part).
int ExitCodeFor(HRESULT result);
