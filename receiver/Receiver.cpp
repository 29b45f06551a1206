#include "receiver/Receiver.h"

#include "common/AddressText.h"
#include "common/DebugLine.h"
#include "common/Recording.h"
#include "pipeline/Chunk.h"
#include "pipeline/ChunkQueue.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

bool IsMulticastAddress(ULONG address)
{
    return (ntohl(address) & 0xF0000000u) == 0xE0000000u;
}

// The group from any source, or only as sent by `source` (IGMPv3, SSM).
int Join(SOCKET socket, ULONG group, ULONG source, ULONG interfaceAddr)
{
    if (source == 0) {
        ip_mreq membership = {};
        membership.imr_multiaddr.s_addr = group;
        membership.imr_interface.s_addr = interfaceAddr;
        return setsockopt(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<const char*>(&membership),
                          static_cast<int>(sizeof membership));
    }
    ip_mreq_source membership = {};
    membership.imr_multiaddr.s_addr = group;
    membership.imr_sourceaddr.s_addr = source;
    membership.imr_interface.s_addr = interfaceAddr;
    return setsockopt(socket, IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, reinterpret_cast<const char*>(&membership),
                      static_cast<int>(sizeof membership));
}

// The protocol-independent join (MLDv2 for IPv6, IGMPv3 for IPv4) on the
// interface with that index; from any source when `source` is null.
int JoinOnInterface(SOCKET socket, int level, const sockaddr_storage& group, const sockaddr_storage* source,
                    ULONG index)
{
    if (source == nullptr) {
        GROUP_REQ request = {};
        request.gr_interface = index;
        request.gr_group = group;
        return setsockopt(socket, level, MCAST_JOIN_GROUP, reinterpret_cast<const char*>(&request),
                          static_cast<int>(sizeof request));
    }
    GROUP_SOURCE_REQ request = {};
    request.gsr_interface = index;
    request.gsr_group = group;
    request.gsr_source = *source;
    return setsockopt(socket, level, MCAST_JOIN_SOURCE_GROUP, reinterpret_cast<const char*>(&request),
                      static_cast<int>(sizeof request));
}

sockaddr_storage Storage(ULONG ipv4)
{
    sockaddr_storage storage = {};
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ipv4;
    std::memcpy(&storage, &address, sizeof address);
    return storage;
}

sockaddr_in6 SocketAddress6(const IN6_ADDR& address, USHORT port, ULONG scope)
{
    sockaddr_in6 result = {};
    result.sin6_family = AF_INET6;
    result.sin6_port = port;
    result.sin6_addr = address;
    result.sin6_scope_id = scope;
    return result;
}

sockaddr_storage Storage(const IN6_ADDR& ipv6)
{
    sockaddr_storage storage = {};
    const sockaddr_in6 address = SocketAddress6(ipv6, 0, 0);
    std::memcpy(&storage, &address, sizeof address);
    return storage;
}

// The join of an IPv6 group, or of an IPv4 group on an interface given by
// name: by index, on the interface the bind found when only its address
// was given.
int JoinExtended(const ReceiverState* receiver, ULONG group, ULONG index)
{
    const ExtendedAddresses& extended = receiver->extended;
    if (extended.family == AF_INET6) {
        const sockaddr_storage source = Storage(extended.source);
        return JoinOnInterface(receiver->socket, IPPROTO_IPV6, Storage(extended.group),
                               IsUnspecified(extended.source) ? nullptr : &source, index);
    }
    const sockaddr_storage source = Storage(receiver->sourceAddress);
    return JoinOnInterface(receiver->socket, IPPROTO_IP, Storage(group),
                           receiver->sourceAddress == 0 ? nullptr : &source, index);
}

int RequestReceiveBuffer(SOCKET socket, int bytes)
{
    return setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), 4);
}

// What the system granted, written once the set-up sequence is over.
int ReportReceiveBuffer(SOCKET socket)
{
    int granted = 0;
    int length = static_cast<int>(sizeof granted);
    if (getsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&granted), &length) == SOCKET_ERROR)
        granted = 0;
    OutputDebugLine("Receive buffer: %d bytes granted, %d asked\n", granted, kReceiveBufferBytes);
    return granted;
}

// Every failure exit of the set-up: the error first, then the debugger's
// line; the failure goes to the front, which shows the system's own words
// for `action`. The socket is left to the receiver's teardown.
HRESULT FailSetup(Failure* failure, const wchar_t* message, const char* action)
{
    int error = WSAGetLastError();
    const int systemError = LastSocketSystemError();
    if (message != nullptr) OutputDebugStringW(message);
    *failure = Failure{FailureKind::socketSetup, static_cast<unsigned long>(error), systemError, action};
    return HRESULT_FROM_WIN32(static_cast<unsigned long>(error));
}

std::string AddressOf(const ReceiverState* receiver, StreamAddressPart part, ULONG ipv4)
{
    char text[300];
    FormatStreamAddress(part, ipv4, receiver->extended, text, sizeof text);
    return text;
}

std::string BindText(const ReceiverState* receiver, ULONG interfaceAddr, ULONG portValue)
{
    std::string address = AddressOf(receiver, StreamAddressPart::interfaceAddress, interfaceAddr);
    if (receiver->extended.family == AF_INET6) address = "[" + address + "]";
    return "bind " + address + ":" + std::to_string(ntohs(static_cast<USHORT>(portValue)));
}

std::string JoinText(const ReceiverState* receiver, ULONG group, ULONG source, ULONG interfaceAddr)
{
    std::string text = "join ";
    const std::string sourceText = AddressOf(receiver, StreamAddressPart::source, source);
    if (!sourceText.empty()) text += sourceText + "@";
    return text + AddressOf(receiver, StreamAddressPart::group, group) + " on " +
           AddressOf(receiver, StreamAddressPart::interfaceAddress, interfaceAddr);
}

}  // namespace

Receiver::Receiver(RecordingCounters* recordingCounters)
{
    counters = recordingCounters;
    queue = new (std::nothrow) ChunkQueue();
    dataEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OutputDebugStringW(L"Receiver constructor called.\n");
}

HRESULT Receiver::CreateSocket(ULONG group, ULONG portValue, ULONG interfaceAddr)
{
    if (socket != INVALID_SOCKET) return 0;
    OutputDebugStringW(L"Create Socket called.\n");

    const bool ipv6 = extended.family == AF_INET6;
    socket = WSASocketW(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_MULTIPOINT_C_LEAF | WSA_FLAG_MULTIPOINT_D_LEAF);
    if (socket == INVALID_SOCKET) return FailSetup(&setupFailure, nullptr, "socket");

    OutputDebugStringW(L"Setting socket options...\n");
    if (RequestReceiveBuffer(socket, kReceiveBufferBytes) == SOCKET_ERROR &&
        RequestReceiveBuffer(socket, kFallbackReceiveBufferBytes) == SOCKET_ERROR)
        return FailSetup(&setupFailure, L"Setting socket buffer size option failed\n", "setsockopt SO_RCVBUF");
    int sendBufferSize = 0;  // nothing is ever sent
    if (setsockopt(socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBufferSize), 4) ==
        SOCKET_ERROR)
        return FailSetup(&setupFailure, L"Setting socket buffer size option failed\n", "setsockopt SO_SNDBUF");
    const char reuse = 1;  // one byte, as Winsock takes it; lets recordings share a port
    if (setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &reuse, 1) == SOCKET_ERROR)
        return FailSetup(&setupFailure, L"Setting reuse address option failed.\n", "setsockopt SO_REUSEADDR");

    OutputDebugStringW(L"Joining to multicast group.\n");
    OutputDebugStringW(L"MCAST_JOIN_GROUP option failed. Selecting NIC by it's Ipv4 ip\n");
    OutputDebugStringW(L"Binding socket\n");

    // Nothing is ever sent: an IPv4 interface named by its name (address 0)
    // leaves the output interface to the system, as any interface does; the
    // join names the interface.
    ULONG index = extended.interfaceIndex;
    const ULONG outputInterface = ipv6 ? index : interfaceAddr;
    if (setsockopt(socket, ipv6 ? IPPROTO_IPV6 : IPPROTO_IP, ipv6 ? IPV6_MULTICAST_IF : IP_MULTICAST_IF,
                   reinterpret_cast<const char*>(&outputInterface), 4) == SOCKET_ERROR)
        OutputDebugStringW(L"Setting output interface failed\n");

    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = static_cast<USHORT>(portValue);
    local.sin_addr.s_addr = interfaceAddr;
    // An IPv6 interface address binds with its zone, as a link-local one needs.
    const sockaddr_in6 local6 = SocketAddress6(extended.interfaceAddress, static_cast<USHORT>(portValue),
                                               IsUnspecified(extended.interfaceAddress) ? 0 : index);
    const int bound = ipv6 ? bind(socket, reinterpret_cast<const sockaddr*>(&local6), static_cast<int>(sizeof local6))
                           : bind(socket, reinterpret_cast<const sockaddr*>(&local), static_cast<int>(sizeof local));
    if (bound == SOCKET_ERROR) {
        const int systemError = LastSocketSystemError();
        OutputDebugStringW(L"Binding failed\n");
        setupFailure = Failure{FailureKind::bind, 0, systemError, BindText(this, interfaceAddr, portValue)};
        return kBindFailed;
    }

    // An IPv6 group is joined on the interface that has the bound address.
    if (ipv6 && index == 0 && !IsUnspecified(extended.interfaceAddress)) index = InterfaceIndexOfAddress(&local6);
    // A unicast IPv4 "group" (e.g. 0) needs no membership: whatever reaches
    // the bound port is recorded.
    if (ipv6 || IsMulticastAddress(group)) {
        const int joined =
            ipv6 || index != 0 ? JoinExtended(this, group, index) : Join(socket, group, sourceAddress, interfaceAddr);
        if (joined == SOCKET_ERROR) {
            int error = WSAGetLastError();
            const int systemError = LastSocketSystemError();
            setupFailure = Failure{FailureKind::join, static_cast<unsigned long>(error), systemError,
                                   JoinText(this, group, sourceAddress, interfaceAddr)};
            return HRESULT_FROM_WIN32(static_cast<unsigned long>(error));
        }
    }
    receiveBufferGranted = ReportReceiveBuffer(socket);
    // Without the system's time stamps, arrivals are timed as they complete.
    EnableReceiveTimes(socket);
    return 0;
}

ReceiverState& StateOf(Receiver& receiver)
{
    return receiver;
}

void Receiver::Configure(const RecordingSettings& settings)
{
    groupAddress = settings.groupAddress;
    interfaceAddress = settings.interfaceAddress;
    sourceAddress = settings.sourceAddress;
    extended = settings.extended;
    port = settings.port;
}

void Receiver::CutSegments(std::int64_t seconds, std::int64_t boundaryUnix, std::int64_t boundaryNs)
{
    segmentSeconds = seconds;
    nextBoundaryUnix = boundaryUnix;
    nextBoundaryNs = boundaryNs;
}

Receiver::~Receiver()
{
    if (socket != INVALID_SOCKET) closesocket(socket);
    // A chunk that could not be queued at the end (out of memory).
    FreeChunk(currentChunk);
    delete queue;
    if (dataEvent != nullptr) CloseHandle(dataEvent);
    // Winsock ends last, with the member that started it.
}
