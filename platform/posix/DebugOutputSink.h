// Lets tests read the debugger output channel in-process.
#pragma once

namespace pelorin_win {

using DebugOutputSink = void (*)(const wchar_t* text);

// With a sink, OutputDebugStringW hands every message to it instead of
// syslog; nullptr restores syslog.
void SetDebugOutputSink(DebugOutputSink sink);

}  // namespace pelorin_win
