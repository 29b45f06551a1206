// The command line, the process-wide recording settings and the few objects
// every part of a recording reaches.
#pragma once

#include "platform/Platform.h"

#include <cstdint>
#include <ctime>
#include <fstream>

class Receiver;

struct RecordingSettings {
    const wchar_t* outputPath;  // points into the argument vector
    ULONG groupAddress;         // network byte order
    ULONG interfaceAddress;     // network byte order; 0 is any interface
    ULONG sourceAddress;        // network byte order; 0 takes the group from any source
    USHORT port;                // network byte order
    std::int64_t startTime;     // seconds since 1970-01-01 UTC
    std::int64_t endTime;
    // The same two moments on the monotonic clock (GetTickCount64): the
    // recording's length is measured there, so a step of the wall clock
    // neither cuts it short nor stretches it.
    std::int64_t startTicks;
    std::int64_t endTicks;
};

static_assert(sizeof(std::time_t) == 8, "recording times are 64-bit");

extern RecordingSettings g_settings;
extern Receiver* g_receiver;
extern HANDLE g_writerThread;
extern std::ofstream g_outputFile;

// The address in network byte order as inet_addr gives it; sets *status to
// E_FAIL (and never clears it) when the text is not an IPv4 address.
ULONG ParseIPv4Address(const wchar_t* text, HRESULT* status);

// The -m value: GROUP, or SOURCE@GROUP for a source-specific group. Sets
// *status to E_FAIL when either part is not an address, a part is empty,
// there is more than one '@', or a source comes with a group that is not
// multicast.
void ParseGroup(const wchar_t* text, ULONG* group, ULONG* source, HRESULT* status);

void PrintUsage();

// Takes the start of the recording, on both clocks.
void StartRecordingClock(RecordingSettings* settings);
// Sets the end `seconds` after the start (already past when negative).
void SetRecordingLength(RecordingSettings* settings, std::int64_t seconds);

// Reads the five option pairs of an 11-argument command line into *settings
// (startTime must already be set). Prints what is wrong and returns E_FAIL,
// or returns S_OK.
HRESULT ParseOptions(int argc, wchar_t** argv, RecordingSettings* settings);
