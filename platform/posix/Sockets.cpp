// Windows Sockets set-up calls over BSD sockets.
// This header first: the system headers below define some Winsock names as macros.
#include "ErrorMapping.h"
#include "FaultInjection.h"
#include "WinsockInternals.h"

#include <arpa/inet.h>
#include <cerrno>
#include <ifaddrs.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#ifndef IPV6_MULTICAST_ALL
#define IPV6_MULTICAST_ALL 29
#endif

namespace pelorin_win {

namespace {

std::mutex g_lock;            // guards the two below
int g_startups = 0;           // WSAStartup calls not yet matched by WSACleanup
// A descriptor owned by Winsock, closed by the last WSACleanup. Bound to the
// wildcard address, an IPv4 socket also gets unicast to any local address,
// broadcast and other groups at its port; the receive seam says each
// datagram's destination, and the recorder keeps its group's.
//
// An IPv6 socket is bound to the group it joins, so its bind only checks the
// interface and notes the port, and the join binds.
struct OwnedSocket {
    int fd;
    bool ipv6 = false;
    bool bindPending = false;  // IPv6: bound at the join, to the group
    std::uint16_t bindPort = 0;  // network byte order
};
std::vector<OwnedSocket> g_sockets;
std::atomic<bool> g_started{false};
thread_local int t_wsaError = 0;
thread_local int t_systemError = 0;  // the errno behind the last failure, for the user

int Fail(int error)
{
    t_wsaError = error;
    t_systemError = 0;
    return SOCKET_ERROR;
}

// A failure in the system's terms as well; also one the system did not
// report itself (an address that no interface has).
int FailAs(int systemError, int error)
{
    Fail(error);
    t_systemError = systemError;
    return SOCKET_ERROR;
}

int FailErrno()
{
    const int error = errno;
    return FailAs(error, detail::WinsockErrorFromErrno(error));
}

// With g_lock held.
OwnedSocket* OwnedLocked(SOCKET s)
{
    for (OwnedSocket& owned : g_sockets)
        if (owned.fd == static_cast<int>(s)) return &owned;
    return nullptr;
}

bool IsOwnedSocket(SOCKET s)
{
    std::lock_guard<std::mutex> guard(g_lock);
    return OwnedLocked(s) != nullptr;
}

// A copy of the registry's entry; false when Winsock does not own the socket.
bool OwnedEntry(SOCKET s, OwnedSocket* entry)
{
    std::lock_guard<std::mutex> guard(g_lock);
    const OwnedSocket* owned = OwnedLocked(s);
    if (owned != nullptr) *entry = *owned;
    return owned != nullptr;
}

// Windows receives on a socket bound to an interface address the groups joined
// on that interface. Linux delivers multicast only to sockets bound to the
// wildcard (or the group) address, so bind the wildcard and restrict the
// socket to the interface that owns the address instead.
bool FindInterfaceOwning(std::uint32_t address, char (&name)[IF_NAMESIZE])
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* entry = list; entry != nullptr && !found; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        const auto* in = reinterpret_cast<const ::sockaddr_in*>(entry->ifa_addr);
        if (in->sin_addr.s_addr != address) continue;
        std::strncpy(name, entry->ifa_name, IF_NAMESIZE - 1);
        name[IF_NAMESIZE - 1] = '\0';
        found = true;
    }
    freeifaddrs(list);
    return found;
}

// SO_RCVBUF as the recorder means it: the buffer it asks for. Root or
// CAP_NET_ADMIN may go past net.core.rmem_max with SO_RCVBUFFORCE; anyone
// else gets SO_RCVBUF, which the kernel quietly caps at rmem_max.
int SetReceiveBuffer(int fd, int bytes)
{
    if (!fault::Fail(fault::Point::receiveBufferForce) &&
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0)
        return 0;
    if (fault::Fail(fault::Point::receiveBuffer)) return SOCKET_ERROR;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) return FailErrno();
    return 0;
}

}  // namespace

namespace detail {
bool WinsockStarted() { return g_started.load(std::memory_order_acquire); }
int FailWith(int error) { return Fail(error); }
int FailWithErrno() { return FailErrno(); }
bool Ipv6SocketState(SOCKET s, bool* ipv6, bool* bindPending, std::uint16_t* bindPort)
{
    OwnedSocket owned{};
    if (!OwnedEntry(s, &owned)) return false;
    *ipv6 = owned.ipv6;
    *bindPending = owned.bindPending;
    *bindPort = owned.bindPort;
    return true;
}
int SetBindPending(SOCKET s, bool pending, std::uint16_t port)
{
    std::lock_guard<std::mutex> guard(g_lock);
    OwnedSocket* owned = OwnedLocked(s);
    if (owned == nullptr) return Fail(WSAENOTSOCK);
    if (pending && owned->bindPending) return Fail(WSAEINVAL);  // bound already
    owned->bindPending = pending;
    owned->bindPort = port;
    return 0;
}
bool IsWinsockSocket(SOCKET s) { return IsOwnedSocket(s); }
void SetWinsockError(int error) { t_wsaError = error; }
}  // namespace detail

int WSAGetLastError() { return t_wsaError; }
int LastSocketSystemError() { return t_systemError; }
void WSASetLastError(int error) { t_wsaError = error; }

int WSAStartup(WORD version, LPWSADATA data)
{
    if (data == nullptr) return WSAEFAULT;
    std::memset(data, 0, sizeof *data);
    data->wVersion = version;
    data->wHighVersion = MAKEWORD(2, 2);
    std::lock_guard<std::mutex> guard(g_lock);
    ++g_startups;
    g_started.store(true, std::memory_order_release);
    return 0;
}

int WSACleanup()
{
    std::vector<OwnedSocket> toClose;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_startups == 0) return Fail(WSANOTINITIALISED);
        if (--g_startups == 0) {
            toClose.swap(g_sockets);
            g_started.store(false, std::memory_order_release);
        }
    }
    for (const OwnedSocket& owned : toClose) ::close(owned.fd);
    return 0;
}

SOCKET WSASocketW(int af, int type, int protocol, LPWSAPROTOCOL_INFOW, GROUP, DWORD)
{
    if (!detail::WinsockStarted()) {
        t_wsaError = WSANOTINITIALISED;
        return INVALID_SOCKET;
    }
    const bool ipv6 = af == winsock_values::afInet6;
    if (af != winsock_values::afInet && !ipv6) {
        t_wsaError = WSAEAFNOSUPPORT;
        return INVALID_SOCKET;
    }
    if (type != winsock_values::sockDgram || (protocol != 0 && protocol != ::IPPROTO_UDP)) {
        t_wsaError = WSAEPROTONOSUPPORT;
        return INVALID_SOCKET;
    }
    int fd = ::socket(ipv6 ? PF_INET6 : PF_INET, ::SOCK_DGRAM | SOCK_CLOEXEC, ::IPPROTO_UDP);
    if (fd < 0) {
        FailErrno();
        return INVALID_SOCKET;
    }
    // A Winsock socket receives only the groups it joined itself; Linux by
    // default hands it every group joined by anyone on the bound port.
    const int off = 0;
    if (ipv6) {
        (void)::setsockopt(fd, ::IPPROTO_IPV6, IPV6_MULTICAST_ALL, &off, sizeof off);
        // A Winsock IPv6 socket takes no IPv4.
        const int on = 1;
        (void)::setsockopt(fd, ::IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    } else {
        (void)::setsockopt(fd, ::IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
    }
    std::lock_guard<std::mutex> guard(g_lock);
    OwnedSocket owned{fd};
    owned.ipv6 = ipv6;
    g_sockets.push_back(owned);
    return static_cast<SOCKET>(fd);
}

int closesocket(SOCKET s)
{
    if (!detail::WinsockStarted()) return Fail(WSANOTINITIALISED);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        OwnedSocket* found = OwnedLocked(s);
        if (found == nullptr) return Fail(WSAENOTSOCK);
        g_sockets.erase(g_sockets.begin() + (found - g_sockets.data()));
    }
    ::close(static_cast<int>(s));
    return 0;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen)
{
    if (!detail::WinsockStarted()) return Fail(WSANOTINITIALISED);
    if (!IsOwnedSocket(s)) return Fail(WSAENOTSOCK);
    if (optval == nullptr || optlen <= 0) return Fail(WSAEFAULT);
    const int fd = static_cast<int>(s);

    if (level == winsock_values::solSocket) {
        int nativeName = 0;
        switch (optname) {
        case winsock_values::soRcvBuf: nativeName = SO_RCVBUF; break;
        case winsock_values::soSndBuf: nativeName = SO_SNDBUF; break;
        case winsock_values::soReuseAddr: nativeName = SO_REUSEADDR; break;
        default: return Fail(WSAENOPROTOOPT);
        }
        // Winsock reads boolean options from as little as one byte.
        int value = 0;
        if (optlen >= static_cast<int>(sizeof value))
            std::memcpy(&value, optval, sizeof value);
        else
            value = static_cast<unsigned char>(optval[0]);
        if (nativeName == SO_RCVBUF) return SetReceiveBuffer(fd, value);
        if (::setsockopt(fd, SOL_SOCKET, nativeName, &value, sizeof value) != 0) return FailErrno();
        return 0;
    }
    if (level == winsock_values::ipprotoIp) {
        if (optname == winsock_values::ipMulticastIf) {
            if (optlen < 4) return Fail(WSAEFAULT);
            ::in_addr address{};
            std::memcpy(&address.s_addr, optval, 4);
            if (::setsockopt(fd, ::IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof address) != 0)
                return FailErrno();
            return 0;
        }
        if (optname == winsock_values::ipAddMembership) {
            if (optlen < 8) return Fail(WSAEFAULT);
            ::ip_mreq request{};
            std::memcpy(&request.imr_multiaddr.s_addr, optval, 4);
            std::memcpy(&request.imr_interface.s_addr, optval + 4, 4);
            if (::setsockopt(fd, ::IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) != 0)
                return FailErrno();
            return 0;
        }
        if (optname == winsock_values::ipAddSourceMembership) {
            if (optlen < 12) return Fail(WSAEFAULT);
            // Winsock: group, source, interface. Linux: group, interface, source.
            ::ip_mreq_source request{};
            std::memcpy(&request.imr_multiaddr.s_addr, optval, 4);
            std::memcpy(&request.imr_sourceaddr.s_addr, optval + 4, 4);
            std::memcpy(&request.imr_interface.s_addr, optval + 8, 4);
            if (::setsockopt(fd, ::IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, &request, sizeof request) != 0)
                return FailErrno();
            return 0;
        }
        if (optname == winsock_values::mcastJoinGroup) return detail::JoinByIndex(s, false, optval, optlen);
        if (optname == winsock_values::mcastJoinSourceGroup) return detail::JoinByIndex(s, true, optval, optlen);
        return Fail(WSAENOPROTOOPT);
    }
    if (level == winsock_values::ipprotoIpv6) {
        if (optname == winsock_values::ipv6MulticastIf) {
            if (optlen < 4) return Fail(WSAEFAULT);
            DWORD index = 0;
            std::memcpy(&index, optval, 4);
            const int native = static_cast<int>(index);
            if (::setsockopt(fd, ::IPPROTO_IPV6, IPV6_MULTICAST_IF, &native, sizeof native) != 0) return FailErrno();
            return 0;
        }
        if (optname == winsock_values::mcastJoinGroup) return detail::JoinByIndex(s, false, optval, optlen);
        if (optname == winsock_values::mcastJoinSourceGroup) return detail::JoinByIndex(s, true, optval, optlen);
        return Fail(WSAENOPROTOOPT);
    }
    return Fail(WSAEINVAL);
}

int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen)
{
    if (!detail::WinsockStarted()) return Fail(WSANOTINITIALISED);
    if (!IsOwnedSocket(s)) return Fail(WSAENOTSOCK);
    if (optval == nullptr || optlen == nullptr || *optlen < 4) return Fail(WSAEFAULT);
    if (level != winsock_values::solSocket) return Fail(WSAEINVAL);
    int nativeName = 0;
    switch (optname) {
    case winsock_values::soRcvBuf: nativeName = SO_RCVBUF; break;
    case winsock_values::soSndBuf: nativeName = SO_SNDBUF; break;
    default: return Fail(WSAENOPROTOOPT);
    }
    // Linux reports twice what it granted (the other half is its own
    // bookkeeping); Winsock reports the size granted.
    int value = 0;
    socklen_t length = sizeof value;
    if (::getsockopt(static_cast<int>(s), SOL_SOCKET, nativeName, &value, &length) != 0) return FailErrno();
    value /= 2;
    std::memcpy(optval, &value, sizeof value);
    *optlen = sizeof value;
    return 0;
}

BOOL QuerySocketDrops(SOCKET s, ULONGLONG* drops)
{
    if (drops == nullptr) return FALSE;
    // Under the registry's lock, so that a socket closed by another thread is
    // never asked after its descriptor has gone.
    std::lock_guard<std::mutex> guard(g_lock);
    if (OwnedLocked(s) == nullptr) return FALSE;
    std::uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof memory;
    if (::getsockopt(static_cast<int>(s), SOL_SOCKET, SO_MEMINFO, memory, &length) != 0 ||
        length < (SK_MEMINFO_DROPS + 1) * sizeof memory[0])
        return FALSE;
    *drops = memory[SK_MEMINFO_DROPS];
    return TRUE;
}

BOOL EnableReceiveTimes(SOCKET s)
{
    if (!IsOwnedSocket(s)) return FALSE;
    // Each datagram's arrival as the kernel saw it, read by the receive.
    const int on = 1;
    return ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0 ? TRUE : FALSE;
}

const char* ReceiveBufferRemedy()
{
    // SO_RCVBUF is capped at net.core.rmem_max; SO_RCVBUFFORCE, which goes
    // past it, needs CAP_NET_ADMIN.
    return "raise net.core.rmem_max, or run as root or with CAP_NET_ADMIN";
}

int bind(SOCKET s, const pelorin_win::sockaddr* name, int namelen)
{
    if (!detail::WinsockStarted()) return Fail(WSANOTINITIALISED);
    OwnedSocket owned{};
    if (!OwnedEntry(s, &owned)) return Fail(WSAENOTSOCK);
    if (owned.ipv6) return detail::BindIpv6(s, name, namelen);
    if (name == nullptr || namelen < static_cast<int>(sizeof(pelorin_win::sockaddr_in))) return Fail(WSAEFAULT);
    pelorin_win::sockaddr_in requested{};
    std::memcpy(&requested, name, sizeof requested);
    if (requested.sin_family != winsock_values::afInet) return Fail(WSAEAFNOSUPPORT);

    const int fd = static_cast<int>(s);
    const std::uint32_t address = requested.sin_addr.s_addr;
    const auto firstByte = reinterpret_cast<const unsigned char*>(&address)[0];
    const bool multicast = firstByte >= 224 && firstByte <= 239;
    if (multicast) return FailAs(EADDRNOTAVAIL, WSAEADDRNOTAVAIL);  // Windows binds only local addresses

    ::sockaddr_in native{};
    native.sin_family = AF_INET;
    native.sin_port = requested.sin_port;
    native.sin_addr.s_addr = 0;  // the wildcard address
    if (address != 0) {
        char device[IF_NAMESIZE] = {};
        if (!FindInterfaceOwning(address, device)) return FailAs(EADDRNOTAVAIL, WSAEADDRNOTAVAIL);
        // Without the privilege for it the socket still receives; it is then
        // only not limited to that interface.
        (void)::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device,
                           static_cast<socklen_t>(std::strlen(device) + 1));
    }
    if (::bind(fd, reinterpret_cast<const ::sockaddr*>(&native), sizeof native) != 0) return FailErrno();
    return 0;
}

}  // namespace pelorin_win
