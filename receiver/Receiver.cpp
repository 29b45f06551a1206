#include "receiver/Receiver.h"

#include "common/ConsoleLine.h"
#include "common/DebugLine.h"
#include "common/Recording.h"
#include "pipeline/Chunk.h"
#include "pipeline/ChunkQueue.h"

#include <cstdio>
#include <new>

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

// Every failure exit of the set-up: the error first, then Winsock is ended
// (which also releases the socket), then the message.
HRESULT FailSetup(const wchar_t* message)
{
    int error = WSAGetLastError();
    WSACleanup();
    if (message != nullptr) OutputDebugStringW(message);
    return HRESULT_FROM_WIN32(static_cast<unsigned long>(error));
}

}  // namespace

Receiver::Receiver()
    : socket(INVALID_SOCKET),
      receiveBuffer{},
      currentChunk(nullptr),
      bytesInChunk(0),
      receiveThread(nullptr),
      stopEvent(nullptr),
      groupAddress(0),
      interfaceAddress(0),
      port(0),
      dataEvent(nullptr),
      queue(nullptr),
      receiveError(0),
      sourceAddress(0),
      receiveBufferGranted(0),
      endState(0),
      endedNanoseconds(0),
      segmentSeconds(0),
      nextBoundaryUnix(0),
      nextBoundaryNs(0),
      landsAfterStale(false),
      chunkFirstNs(0)
{
    queue = new (std::nothrow) ChunkQueue();
    dataEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OutputDebugStringW(L"Socket Init called\n");
    WSADATA wsaData;
    WSAStartup(MAKEWORD(2, 2), &wsaData);
    OutputDebugStringW(L"WsaStartup initialized.\n");
    OutputDebugStringW(L"Receiver constructor called.\n");
}

HRESULT Receiver::CreateSocket(ULONG group, ULONG portValue, ULONG interfaceAddr)
{
    if (socket != INVALID_SOCKET) return 0;
    OutputDebugStringW(L"Create Socket called.\n");

    socket = WSASocketW(AF_INET, SOCK_DGRAM, 0, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_MULTIPOINT_C_LEAF | WSA_FLAG_MULTIPOINT_D_LEAF);
    if (socket == INVALID_SOCKET) return FailSetup(nullptr);

    OutputDebugStringW(L"Setting socket options...\n");
    if (RequestReceiveBuffer(socket, kReceiveBufferBytes) == SOCKET_ERROR &&
        RequestReceiveBuffer(socket, kFallbackReceiveBufferBytes) == SOCKET_ERROR)
        return FailSetup(L"Setting socket buffer size option failed\n");
    int sendBufferSize = 0;  // nothing is ever sent
    if (setsockopt(socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&sendBufferSize), 4) ==
        SOCKET_ERROR)
        return FailSetup(L"Setting socket buffer size option failed\n");
    const char reuse = 1;  // one byte, as Winsock takes it; lets recordings share a port
    if (setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &reuse, 1) == SOCKET_ERROR)
        return FailSetup(L"Setting reuse address option failed.\n");

    OutputDebugStringW(L"Joining to multicast group.\n");
    OutputDebugStringW(L"MCAST_JOIN_GROUP option failed. Selecting NIC by it's Ipv4 ip\n");
    OutputDebugStringW(L"Binding socket\n");

    if (setsockopt(socket, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&interfaceAddr), 4) ==
        SOCKET_ERROR)
        OutputDebugStringW(L"Setting output interface failed\n");

    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = static_cast<USHORT>(portValue);
    local.sin_addr.s_addr = interfaceAddr;
    if (bind(socket, reinterpret_cast<const sockaddr*>(&local), static_cast<int>(sizeof local)) == SOCKET_ERROR) {
        WSACleanup();
        OutputDebugStringW(L"Binding failed\n");
        return kBindFailed;
    }

    // A unicast "group" (e.g. 0) needs no membership: whatever reaches the
    // bound port is recorded.
    if (IsMulticastAddress(group)) {
        if (Join(socket, group, sourceAddress, interfaceAddr) == SOCKET_ERROR) {
            int error = WSAGetLastError();
            WSACleanup();
            PrintFormattedLine("Joining multicast group failed: %d", error);
            return HRESULT_FROM_WIN32(static_cast<unsigned long>(error));
        }
    }
    receiveBufferGranted = ReportReceiveBuffer(socket);
    // Without the system's time stamps, arrivals are timed as they complete.
    EnableReceiveTimes(socket);
    return 0;
}

void TearDownReceiver()
{
    Receiver* receiver = g_receiver;
    if (receiver == nullptr) return;
    if (receiver->socket != INVALID_SOCKET) {
        closesocket(receiver->socket);
        receiver->socket = INVALID_SOCKET;
    }
    WSACleanup();  // a no-op when the receive thread has already ended Winsock
    // A chunk that could not be queued at the end (out of memory).
    FreeChunk(receiver->currentChunk);
    receiver->currentChunk = nullptr;
    if (receiver->queue != nullptr) {
        delete receiver->queue;
        receiver->queue = nullptr;
    }
    if (receiver->dataEvent != nullptr) {
        CloseHandle(receiver->dataEvent);
        receiver->dataEvent = nullptr;
    }
    delete receiver;
    g_receiver = nullptr;
}
