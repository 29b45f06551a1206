// The recording's settings from the command line, which the front owns and
// hands down, and the clocks they are measured on. Everything else of a
// recording has one owner, front/Recording.
#pragma once

#include "common/ExitCodes.h"
#include "platform/Platform.h"

#include <cstdint>
#include <ctime>

// What an IPv6 stream, or an interface given by name or index, adds to the
// IPv4 addresses of the settings, which keep their meaning for IPv4.
struct ExtendedAddresses {
    USHORT family;                 // AF_INET6 for an IPv6 group; 0: the IPv4 fields say it all
    IN6_ADDR group;
    IN6_ADDR source;               // all zero: from any source
    IN6_ADDR interfaceAddress;     // all zero: none given
    ULONG interfaceIndex;          // by name, index or zone (either family); 0: by IPv4 address, or any
    const wchar_t* interfaceName;  // that name, index or zone as given (into the argument vector); nullptr for none
};

struct RecordingSettings {
    const wchar_t* outputPath;  // points into the argument vector
    ULONG groupAddress;         // network byte order
    ULONG interfaceAddress;     // network byte order; 0 is any interface
    ULONG sourceAddress;        // network byte order; 0 takes the group from any source
    USHORT port;                // network byte order
    ExtendedAddresses extended;
    std::int64_t startTime;     // seconds since 1970-01-01 UTC
    std::int64_t endTime;
    // The same two moments on the monotonic clock (GetTickCount64): the
    // recording's length is measured there, so a step of the wall clock
    // neither cuts it short nor stretches it.
    std::int64_t startTicks;
    std::int64_t endTicks;
    // Extension options, from the arguments before the five pairs.
    const wchar_t* reportPath;  // --report=PATH: the health report; nullptr for none
    std::int64_t segmentSeconds;  // --segment=SECONDS: one file per segment; 0 for one file
    unsigned keepSegments;        // --keep=N: only the newest N segments stay; 0 keeps all
    const wchar_t* indexPath;     // --index=PATH: the list of segments (CSV or m3u8); nullptr for none
    std::int64_t noDataSeconds;   // --no-data=SECONDS: end after this long without a datagram; 0 never
    const wchar_t* metricsPath;   // --metrics=PATH: live figures for Prometheus; nullptr for none
    double mediaRateMbit;         // --media-rate=MBIT: the stream's nominal rate; 0 to measure it
};

static_assert(sizeof(std::time_t) == 8, "recording times are 64-bit");


// The monotonic high-resolution clock in nanoseconds, for arrival times.
std::int64_t MonotonicNanoseconds();

// Takes the start of the recording, on both clocks.
void StartRecordingClock(RecordingSettings* settings);
// Sets the end `seconds` after the start (already past when negative).
void SetRecordingLength(RecordingSettings* settings, std::int64_t seconds);
