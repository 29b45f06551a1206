// Group memberships by interface index (MCAST_JOIN_GROUP and
// MCAST_JOIN_SOURCE_GROUP, either family) and the bind of an IPv6 socket.
// An IPv6 socket is bound to the group it joins, so that the kernel hands it
// only that group's datagrams: its bind checks the interface and notes the
// port, and its join binds.
// This header first: the system headers below define some Winsock names as macros.
#include "WinsockInternals.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pelorin_win::detail {

namespace {

// Only what arrives on the interface: Linux otherwise hands a socket a
// group's datagrams from every interface where the host has joined it.
void LimitToInterface(int fd, unsigned index)
{
    char device[IF_NAMESIZE] = {};
    if (index == 0 || if_indextoname(index, device) == nullptr) return;
    // Without the privilege for it the socket still receives, from any interface.
    (void)::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device, static_cast<socklen_t>(std::strlen(device) + 1));
}

// Winsock's address record (family 2 or 23) as Linux's; false for another family.
bool NativeAddress(const pelorin_win::sockaddr_storage& from, ::sockaddr_storage* to)
{
    std::memset(to, 0, sizeof *to);
    if (from.ss_family == winsock_values::afInet) {
        pelorin_win::sockaddr_in in{};
        std::memcpy(&in, &from, sizeof in);
        auto* native = reinterpret_cast<::sockaddr_in*>(to);
        native->sin_family = AF_INET;
        native->sin_port = in.sin_port;
        native->sin_addr.s_addr = in.sin_addr.s_addr;
        return true;
    }
    if (from.ss_family == winsock_values::afInet6) {
        pelorin_win::sockaddr_in6 in6{};
        std::memcpy(&in6, &from, sizeof in6);
        auto* native = reinterpret_cast<::sockaddr_in6*>(to);
        native->sin6_family = AF_INET6;
        native->sin6_port = in6.sin6_port;
        native->sin6_flowinfo = in6.sin6_flowinfo;
        std::memcpy(&native->sin6_addr, &in6.sin6_addr, 16);
        native->sin6_scope_id = in6.sin6_scope_id;
        return true;
    }
    return false;
}

}  // namespace

// MCAST_JOIN_GROUP and MCAST_JOIN_SOURCE_GROUP, at level IPPROTO_IP or
// IPPROTO_IPV6, with Winsock's records.
int JoinByIndex(SOCKET s, bool withSource, const char* optval, int optlen)
{
    bool ipv6 = false, bindPending = false;
    std::uint16_t bindPort = 0;
    if (!Ipv6SocketState(s, &ipv6, &bindPending, &bindPort)) return FailWith(WSAENOTSOCK);
    const int fd = static_cast<int>(s);
    pelorin_win::GROUP_SOURCE_REQ request{};
    const int size = withSource ? static_cast<int>(sizeof(pelorin_win::GROUP_SOURCE_REQ))
                                : static_cast<int>(sizeof(pelorin_win::GROUP_REQ));
    if (optlen < size) return FailWith(WSAEFAULT);
    std::memcpy(&request, optval, static_cast<std::size_t>(size));
    ::group_source_req native{};
    native.gsr_interface = request.gsr_interface;
    if (!NativeAddress(request.gsr_group, &native.gsr_group) ||
        (withSource && !NativeAddress(request.gsr_source, &native.gsr_source)))
        return FailWith(WSAEAFNOSUPPORT);
    const bool groupIpv6 = native.gsr_group.ss_family == AF_INET6;
    if (groupIpv6 != ipv6) return FailWith(WSAEINVAL);

    LimitToInterface(fd, request.gsr_interface);
    if (bindPending) {
        ::sockaddr_in6 local{};
        std::memcpy(&local, &native.gsr_group, sizeof local);
        local.sin6_port = bindPort;
        // A link-scope group is one per link: the joined interface names it.
        local.sin6_scope_id = request.gsr_interface;
        if (::bind(fd, reinterpret_cast<const ::sockaddr*>(&local), sizeof local) != 0) return FailWithErrno();
        SetBindPending(s, false, 0);
    }
    const int level = groupIpv6 ? ::IPPROTO_IPV6 : ::IPPROTO_IP;
    int result = 0;
    if (withSource) {
        result = ::setsockopt(fd, level, MCAST_JOIN_SOURCE_GROUP, &native, sizeof native);
    } else {
        ::group_req group{};
        group.gr_interface = native.gsr_interface;
        group.gr_group = native.gsr_group;
        result = ::setsockopt(fd, level, MCAST_JOIN_GROUP, &group, sizeof group);
    }
    if (result != 0) return FailWithErrno();
    return 0;
}

// Checks the interface address (none: any interface), keeps the socket to
// that interface and notes the port; the join binds the group.
int BindIpv6(SOCKET s, const pelorin_win::sockaddr* name, int namelen)
{
    if (name == nullptr || namelen < static_cast<int>(sizeof(pelorin_win::sockaddr_in6))) return FailWith(WSAEFAULT);
    pelorin_win::sockaddr_in6 requested{};
    std::memcpy(&requested, name, sizeof requested);
    if (requested.sin6_family != winsock_values::afInet6) return FailWith(WSAEAFNOSUPPORT);
    if (requested.sin6_addr.u.Byte[0] == 0xFF) return FailWith(WSAEADDRNOTAVAIL);  // only local addresses
    static const std::uint8_t any[16] = {};
    if (std::memcmp(requested.sin6_addr.u.Byte, any, 16) != 0) {
        const NET_IFINDEX index = InterfaceIndexOfAddress(&requested);
        if (index == 0) return FailWith(WSAEADDRNOTAVAIL);
        LimitToInterface(static_cast<int>(s), index);
    }
    // The port is taken at the join, but a socket that holds it without
    // sharing is known now, as Winsock's bind would tell.
    const int probe = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return FailWithErrno();
    const int on = 1;
    ::sockaddr_in6 wildcard{};
    wildcard.sin6_family = AF_INET6;
    wildcard.sin6_port = requested.sin6_port;
    const bool free = ::setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                      ::setsockopt(probe, ::IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) == 0 &&
                      ::bind(probe, reinterpret_cast<const ::sockaddr*>(&wildcard), sizeof wildcard) == 0;
    const int error = errno;
    ::close(probe);
    if (!free) {
        errno = error;
        return FailWithErrno();
    }
    return SetBindPending(s, true, requested.sin6_port);
}

}  // namespace pelorin_win::detail
