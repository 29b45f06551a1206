// Diagnostics with numbers in them for the debugger output channel, which
// takes only fixed wide strings.
#pragma once

// printf-style; the text is ASCII and at most one line of 255 characters.
void OutputDebugLine(const char* format, ...);
