// Which interface has an IPv6 address: IP Helper's table of the machine's
// unicast addresses.
#include "PlatformApi.h"

#include <cstring>

NET_IFINDEX InterfaceIndexOfAddress(const sockaddr_in6* address)
{
    if (address == nullptr) return 0;
    MIB_UNICASTIPADDRESS_TABLE* table = nullptr;
    if (GetUnicastIpAddressTable(AF_INET6, &table) != NO_ERROR || table == nullptr) return 0;
    NET_IFINDEX found = 0;
    for (ULONG i = 0; i < table->NumEntries && found == 0; ++i) {
        const MIB_UNICASTIPADDRESS_ROW& row = table->Table[i];
        if (std::memcmp(&row.Address.Ipv6.sin6_addr, &address->sin6_addr, sizeof address->sin6_addr) != 0) continue;
        // The same link-local address may be on several links: the scope decides.
        if (address->sin6_scope_id != 0 && row.InterfaceIndex != address->sin6_scope_id) continue;
        found = row.InterfaceIndex;
    }
    FreeMibTable(table);
    return found;
}
