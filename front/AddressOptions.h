// The -i and -m values beyond IPv4 addresses: IPv6 groups and sources,
// interfaces by IPv6 address, by name and by index. Every IPv4 value keeps
// its meaning; only what no IPv4 rule takes is read here.
#pragma once

#include "common/Recording.h"

// How the -i value named the interface.
enum class InterfaceForm { none, ipv4, ipv6, name };

// The -m value into *settings: GROUP or SOURCE@GROUP, IPv4 as ParseGroup
// reads it, or IPv6 (a multicast group, a unicast source). Sets *status to
// E_FAIL for anything else.
void ParseStreamGroup(const wchar_t* text, RecordingSettings* settings, HRESULT* status);

// The -i value into *settings: an IPv4 address as ParseIPv4Address reads
// it, an IPv6 address with an optional %zone (name or index), or the name of
// an interface this machine has. Sets *status to E_FAIL for anything else.
InterfaceForm ParseInterface(const wchar_t* text, RecordingSettings* settings, HRESULT* status);

// Once both -i and -m are read: their families must match. With an IPv6
// group a plain number given as -i is an interface index (0: any, which
// an interface-local or link-local group cannot use: it is one per link). An
// interface by name takes only a multicast group (it is joined there; a
// unicast recording names the interface by its address). False (and
// *nicError set when the -i value is the one at fault) on a mismatch.
bool MatchFamilies(InterfaceForm form, const wchar_t* interfaceText, RecordingSettings* settings, bool* nicError);
