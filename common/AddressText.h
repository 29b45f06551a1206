// The one text of a recording's group, source and interface, for every line
// that shows one (debugger output, status, report, metric labels), whatever
// the family: dotted IPv4, IPv6 in its usual compressed form, an interface
// by the name or index it was given, an IPv6 interface address with its zone.
#pragma once

#include "common/Recording.h"

#include <cstddef>

enum class StreamAddressPart { group, source, interfaceAddress };

// The part of the recording's addresses; `ipv4` is the IPv4 field of that
// part. A source is "" when any source is taken, an interface "0.0.0.0" or
// "::" when any interface is. Returns the text's length (cut to fit `size`).
std::size_t FormatStreamAddress(StreamAddressPart part, ULONG ipv4, const ExtendedAddresses& extended, char* text,
                                std::size_t size);
// The same, from the settings.
std::size_t FormatStreamAddress(StreamAddressPart part, const RecordingSettings& settings, char* text,
                                std::size_t size);

// Dotted decimal of an address in network byte order.
std::size_t FormatIPv4(ULONG address, char* text, std::size_t size);
// Lower-case hexadecimal groups, the longest run of two or more zero groups
// (the first of equals) as "::", an IPv4-mapped address with its dotted tail.
std::size_t FormatIPv6(const IN6_ADDR& address, char* text, std::size_t size);
// True for the address of all zero bytes.
bool IsUnspecified(const IN6_ADDR& address);
