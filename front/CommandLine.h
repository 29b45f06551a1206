// The command line: the usage text and the five option pairs read into the
// recording's settings.
#pragma once

#include "common/Recording.h"


// The address in network byte order as inet_addr gives it; sets *status to
// E_FAIL (and never clears it) when the text is not an IPv4 address.
ULONG ParseIPv4Address(const wchar_t* text, HRESULT* status);

// The -m value: GROUP, or SOURCE@GROUP for a source-specific group. Sets
// *status to E_FAIL when either part is not an address, a part is empty,
// there is more than one '@', the source is 0.0.0.0, or a source comes with
// a group that is not multicast.
void ParseGroup(const wchar_t* text, ULONG* group, ULONG* source, HRESULT* status);

void PrintUsage();

// The extension options (--NAME=VALUE) that lead the command line, before the
// five pairs; returns how many arguments they take. An unknown one prints
// "Unknown option: ARG" and the usage, a bad value its own line; either sets
// *status to E_FAIL.
int ParseExtensionOptions(int argc, wchar_t** argv, RecordingSettings* settings, HRESULT* status);


// Reads the five option pairs of an 11-argument command line into *settings
// (startTime must already be set). Prints what is wrong and returns E_FAIL,
// or returns S_OK.
HRESULT ParseOptions(int argc, wchar_t** argv, RecordingSettings* settings);
