// Part of PlatformApi.h (included by it, never on its own): the IPv6 and
// interface-name side of Windows Sockets and IP Helper.
#pragma once

namespace pelorin_win {

struct in6_addr {
    union {
        BYTE Byte[16];
        USHORT Word[8];
    } u;
};
using IN6_ADDR = in6_addr;

struct sockaddr_in6 {
    short sin6_family;
    USHORT sin6_port;
    ULONG sin6_flowinfo;
    in6_addr sin6_addr;
    ULONG sin6_scope_id;
};

// Big enough and aligned for any address; only ss_family is public.
struct alignas(8) sockaddr_storage {
    short ss_family;
    char ss_padding[126];
};

// The protocol-independent joins (MCAST_JOIN_GROUP, MCAST_JOIN_SOURCE_GROUP)
// for either family, with the interface by index (0: the system chooses).
struct GROUP_REQ {
    ULONG gr_interface;
    sockaddr_storage gr_group;
};
struct GROUP_SOURCE_REQ {
    ULONG gsr_interface;
    sockaddr_storage gsr_group;
    sockaddr_storage gsr_source;
};

// 1 and the address for a numeric IPv4 (AF_INET) or IPv6 (AF_INET6) text,
// 0 for anything else, -1 for another family.
INT inet_pton(INT family, const char* text, void* address);

// IP Helper: interfaces by the name people see (the alias; here the
// kernel's interface name) and by index. A LUID is the index here.
union NET_LUID {
    ULONGLONG Value;
};
using NET_IFINDEX = ULONG;
constexpr DWORD NO_ERROR = 0;
DWORD ConvertInterfaceAliasToLuid(const WCHAR* alias, NET_LUID* luid);
DWORD ConvertInterfaceLuidToIndex(const NET_LUID* luid, NET_IFINDEX* index);
DWORD ConvertInterfaceIndexToLuid(NET_IFINDEX index, NET_LUID* luid);
// Not a Windows call: the index of the interface that has the IPv6 address
// (with its scope for a link-local one), 0 when none has it.
NET_IFINDEX InterfaceIndexOfAddress(const sockaddr_in6* address);

}  // namespace pelorin_win
