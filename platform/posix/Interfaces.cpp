// IPv6 addresses in text, and interfaces by name, by index and by address.
#include "PlatformApi.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>

namespace pelorin_win {

INT inet_pton(INT family, const char* text, void* address)
{
    if (text == nullptr || address == nullptr) return -1;
    if (family == winsock_values::afInet) return ::inet_pton(AF_INET, text, address);
    if (family == winsock_values::afInet6) return ::inet_pton(AF_INET6, text, address);
    return -1;
}

DWORD ConvertInterfaceAliasToLuid(const WCHAR* alias, NET_LUID* luid)
{
    if (alias == nullptr || luid == nullptr) return ERROR_INVALID_PARAMETER;
    char name[IF_NAMESIZE] = {};
    // A name too long for the kernel is no interface's.
    if (WideCharToMultiByte(CP_ACP, 0, alias, -1, name, sizeof name, nullptr, nullptr) == 0 || name[0] == '\0')
        return ERROR_INVALID_PARAMETER;
    const unsigned index = if_nametoindex(name);
    if (index == 0) return ERROR_INVALID_PARAMETER;
    luid->Value = index;
    return NO_ERROR;
}

DWORD ConvertInterfaceLuidToIndex(const NET_LUID* luid, NET_IFINDEX* index)
{
    if (luid == nullptr || index == nullptr || luid->Value == 0 || luid->Value > 0xFFFFFFFFu)
        return ERROR_INVALID_PARAMETER;
    *index = static_cast<NET_IFINDEX>(luid->Value);
    return NO_ERROR;
}

DWORD ConvertInterfaceIndexToLuid(NET_IFINDEX index, NET_LUID* luid)
{
    char name[IF_NAMESIZE];
    if (luid == nullptr || index == 0 || if_indextoname(index, name) == nullptr) return ERROR_INVALID_PARAMETER;
    luid->Value = index;
    return NO_ERROR;
}

NET_IFINDEX InterfaceIndexOfAddress(const pelorin_win::sockaddr_in6* address)
{
    if (address == nullptr) return 0;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return 0;
    NET_IFINDEX found = 0;
    for (ifaddrs* entry = list; entry != nullptr && found == 0; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET6) continue;
        const auto* in6 = reinterpret_cast<const ::sockaddr_in6*>(entry->ifa_addr);
        if (std::memcmp(&in6->sin6_addr, &address->sin6_addr, 16) != 0) continue;
        // A zone names the interface that must have the address, whatever
        // its scope: a link-local address may be on several links, and a
        // zone naming another interface than the one that has the address
        // would bind to one interface and join on the other.
        const NET_IFINDEX index = if_nametoindex(entry->ifa_name);
        if (address->sin6_scope_id != 0 && index != address->sin6_scope_id) continue;
        found = index;
    }
    freeifaddrs(list);
    return found;
}

}  // namespace pelorin_win
