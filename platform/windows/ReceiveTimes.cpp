// Arrival times of datagrams as Windows takes them in: SIO_TIMESTAMPING (on
// systems that have it) puts a QueryPerformanceCounter value beside each
// datagram, which only WSARecvMsg hands over, in a control message.
#include "PlatformApi.h"

#include <mswsock.h>

#include <cstring>

namespace {

// The socket whose receives go through WSARecvMsg: set at its set-up, before
// its receive thread starts, and only read afterwards.
SOCKET g_timedSocket = INVALID_SOCKET;
LPFN_WSARECVMSG g_recvMsg = nullptr;

// One receive is outstanding per thread: its message and control buffer live
// here until its completion routine has run.
struct TimedRequest {
    LPWSAOVERLAPPED overlapped = nullptr;
    WSAMSG message = {};
    WSABUF buffer = {};
    alignas(8) char control[64] = {};
};
thread_local TimedRequest t_request;

// mstcpip.h has these only for builds aimed at Windows 10 build 20348 and
// later; this program runs on older systems too, where the IOCTL just fails.
const DWORD kSioTimestamping = _WSAIOW(IOC_VENDOR, 235);
struct TimestampingConfig {
    ULONG Flags;
    USHORT TxTimestampsBuffered;
};
constexpr ULONG kTimestampingFlagRx = 0x1;
constexpr INT kSoTimestamp = 0x300A;

// A stamp farther than this from now is not a QueryPerformanceCounter value
// of this datagram (a network card's own clock, say), and is not used.
constexpr std::int64_t kPlausibleAgeSeconds = 10;

}  // namespace

BOOL EnableReceiveTimes(SOCKET s)
{
    GUID recvMsgId = WSAID_WSARECVMSG;
    LPFN_WSARECVMSG recvMsg = nullptr;
    DWORD bytes = 0;
    if (WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &recvMsgId, sizeof recvMsgId, &recvMsg, sizeof recvMsg,
                 &bytes, nullptr, nullptr) != 0 ||
        recvMsg == nullptr)
        return FALSE;
    // WSARecvMsg either way, so that the path is the same with stamps or
    // without; a system without SIO_TIMESTAMPING just sends none.
    g_timedSocket = s;
    g_recvMsg = recvMsg;
    TimestampingConfig config = {};
    config.Flags = kTimestampingFlagRx;
    return WSAIoctl(s, kSioTimestamping, &config, sizeof config, nullptr, 0, &bytes, nullptr, nullptr) == 0 ? TRUE
                                                                                                            : FALSE;
}

int PostTimedReceive(SOCKET s, LPWSABUF buffer, LPWSAOVERLAPPED overlapped,
                     LPWSAOVERLAPPED_COMPLETION_ROUTINE completionRoutine)
{
    if (s != g_timedSocket || g_recvMsg == nullptr) {
        DWORD flags = 0;
        return WSARecvFrom(s, buffer, 1, nullptr, &flags, nullptr, nullptr, overlapped, completionRoutine);
    }
    TimedRequest& request = t_request;
    request.overlapped = overlapped;
    request.buffer = *buffer;
    std::memset(request.control, 0, sizeof request.control);
    request.message = WSAMSG{};
    request.message.lpBuffers = &request.buffer;
    request.message.dwBufferCount = 1;
    request.message.Control.buf = request.control;
    request.message.Control.len = sizeof request.control;
    return g_recvMsg(s, &request.message, nullptr, overlapped, completionRoutine);
}

BOOL QueryReceiveTime(LPWSAOVERLAPPED overlapped, std::int64_t* nanoseconds)
{
    const TimedRequest& request = t_request;
    if (overlapped == nullptr || nanoseconds == nullptr || request.overlapped != overlapped) return FALSE;
    WSAMSG message = request.message;
    if (message.Control.len > sizeof request.control) return FALSE;
    for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&message); c != nullptr; c = WSA_CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_len < sizeof(WSACMSGHDR)) break;  // nothing was filled in
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != kSoTimestamp) continue;
        UINT64 stamp = 0;
        std::memcpy(&stamp, WSA_CMSG_DATA(c), sizeof stamp);
        LARGE_INTEGER now = {};
        LARGE_INTEGER frequency = {};
        if (!QueryPerformanceCounter(&now) || !QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0)
            return FALSE;
        const auto ticks = static_cast<std::int64_t>(stamp);
        if (ticks > now.QuadPart || now.QuadPart - ticks > kPlausibleAgeSeconds * frequency.QuadPart) return FALSE;
        *nanoseconds = ticks / frequency.QuadPart * 1000000000 + ticks % frequency.QuadPart * 1000000000 / frequency.QuadPart;
        return TRUE;
    }
    return FALSE;
}
