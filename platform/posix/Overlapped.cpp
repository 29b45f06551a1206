// Overlapped receives with completion routines, and the alertable wait that
// runs them.
//
// A posted receive is remembered in a list private to the posting thread.
// Only that thread's alertable wait performs the receive and then runs the
// completion routine right there, as Windows runs queued completion routines
// only in the alertable wait of the thread that posted them.
//
// A wait without time limit on a single request (the recorder's receive
// thread) sleeps in the receive itself: one recvfrom per datagram, whether
// the socket is busy or quiet. Any other wait tries each request without
// blocking, and only when every socket is empty sleeps in poll(), together
// with an eventfd that SetEvent writes to.
#include "ErrorMapping.h"
#include "FaultInjection.h"
#include "KernelObjects.h"
#include "WinsockInternals.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <netinet/in.h>

namespace pelorin_win {

namespace {

// Completions run in one wait before it returns, so that the caller sees the
// event even when datagrams never stop arriving.
constexpr int kCompletionsPerWait = 256;
constexpr int kMaxPending = 16;

struct PendingReceive {
    int fd;
    char* buffer;
    ULONG length;
    pelorin_win::sockaddr* from;
    LPINT fromLength;
    LPWSAOVERLAPPED overlapped;
    LPWSAOVERLAPPED_COMPLETION_ROUTINE routine;
    bool empty;  // its socket had nothing when last tried; wait for poll()
    std::uint32_t onlyTo;  // the one destination address taken (a group), 0 for any
};

struct ThreadReceives {
    PendingReceive items[kMaxPending];
    int count = 0;
    int wakeFd = -1;

    ~ThreadReceives()
    {
        if (wakeFd >= 0) ::close(wakeFd);
    }
};

thread_local ThreadReceives t_receives;

// The kernel's arrival time of the datagram whose routine runs now.
struct ArrivalStamp {
    LPWSAOVERLAPPED overlapped = nullptr;
    std::int64_t nanoseconds = 0;
};
thread_local ArrivalStamp t_arrival;

std::int64_t Nanoseconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}


int WakeFd()
{
    if (t_receives.wakeFd < 0) t_receives.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return t_receives.wakeFd;
}

void RemovePending(int index)
{
    t_receives.items[index] = t_receives.items[t_receives.count - 1];
    --t_receives.count;
}

// The sender's address as the kernel gives it, of either family.
union SourceAddress {
    ::sockaddr_in in;
    ::sockaddr_in6 in6;
};

void StoreSource(const PendingReceive& request, const SourceAddress& sender)
{
    if (request.from == nullptr || request.fromLength == nullptr) return;
    if (sender.in6.sin6_family == AF_INET6) {
        if (*request.fromLength < static_cast<int>(sizeof(pelorin_win::sockaddr_in6))) return;
        pelorin_win::sockaddr_in6 converted{};
        converted.sin6_family = static_cast<short>(winsock_values::afInet6);
        converted.sin6_port = sender.in6.sin6_port;
        converted.sin6_flowinfo = sender.in6.sin6_flowinfo;
        std::memcpy(&converted.sin6_addr, &sender.in6.sin6_addr, 16);
        converted.sin6_scope_id = sender.in6.sin6_scope_id;
        std::memcpy(request.from, &converted, sizeof converted);
        *request.fromLength = sizeof converted;
        return;
    }
    if (*request.fromLength < static_cast<int>(sizeof(pelorin_win::sockaddr_in))) return;
    const ::sockaddr_in& source = sender.in;
    pelorin_win::sockaddr_in converted{};
    converted.sin_family = static_cast<short>(winsock_values::afInet);
    converted.sin_port = source.sin_port;
    converted.sin_addr.s_addr = source.sin_addr.s_addr;
    std::memcpy(request.from, &converted, sizeof converted);
    *request.fromLength = sizeof converted;
}

enum class Attempt { completed, empty, interrupted, foreign };

// What the kernel said of a datagram in its control messages, in one walk:
// where it was sent (IP_PKTINFO) and when it came in (SO_TIMESTAMPNS).
struct ControlData {
    std::uint32_t destination = 0;  // 0 when not given
    bool stamped = false;
    timespec stamp{};  // wall clock
};

ControlData ReadControl(msghdr& message)
{
    ControlData data;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == ::IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            data.destination = info.ipi_addr.s_addr;
        } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            std::memcpy(&data.stamp, CMSG_DATA(c), sizeof data.stamp);
            data.stamped = true;
        }
    }
    return data;
}

// SO_TIMESTAMPNS stamps with the wall clock; the recorder measures on the
// monotonic one. The age of the datagram carries over; a wall-clock step
// between its arrival and now would not, and is clamped to now.
std::int64_t MonotonicArrival(const timespec& stamp)
{
    const std::int64_t age =
        Nanoseconds(CLOCK_REALTIME) - (static_cast<std::int64_t>(stamp.tv_sec) * 1000000000 + stamp.tv_nsec);
    const std::int64_t now = Nanoseconds(CLOCK_MONOTONIC);
    return age > 0 ? now - age : now;
}

// Tries the receive of request `index`; when a datagram (or an error) came,
// the request is done and its routine has run. With flags 0 the call sleeps
// until a datagram comes or the socket's receive time-out passes.
Attempt TryReceive(int index, int flags)
{
    const PendingReceive request = t_receives.items[index];
    SourceAddress source{};
    iovec data{request.buffer, request.length};
    alignas(cmsghdr) char controlBuffer[128];
    msghdr message{};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = controlBuffer;
    message.msg_controllen = sizeof controlBuffer;
    ssize_t received = ::recvmsg(request.fd, &message, flags | MSG_TRUNC);
    if (received < 0 && errno == EINTR) return Attempt::interrupted;
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Attempt::empty;
    const ControlData control = received >= 0 ? ReadControl(message) : ControlData{};
    // Sent to another address at this port: never the request's datagram.
    if (received >= 0 && request.onlyTo != 0 && control.destination != request.onlyTo) return Attempt::foreign;
    DWORD error = 0;
    DWORD bytes = 0;
    if (received < 0) {
        error = static_cast<DWORD>(detail::WinsockErrorFromErrno(errno));
    } else if (static_cast<std::size_t>(received) > request.length) {
        error = WSAEMSGSIZE;  // the datagram was cut to the buffer
        bytes = request.length;
    } else {
        bytes = static_cast<DWORD>(received);
        StoreSource(request, source);
    }
    // The routine usually posts the next request, which lands at the end of
    // the list.
    RemovePending(index);
    fault::AlterCompletion(error, bytes);
    t_arrival.overlapped = control.stamped ? request.overlapped : nullptr;
    if (control.stamped) t_arrival.nanoseconds = MonotonicArrival(control.stamp);
    request.routine(error, bytes, request.overlapped, 0);
    t_arrival.overlapped = nullptr;
    return Attempt::completed;
}

// Performs the receives that can complete now and runs their routines. A
// request whose socket came up empty is not tried again before poll() has
// said there is data: under load a datagram costs one recvfrom, and an
// empty socket one failed recvfrom before the thread sleeps.
int RunReadyCompletions(int budget)
{
    int ran = 0;
    for (int i = 0; i < t_receives.count && ran < budget;) {
        if (t_receives.items[i].empty) {
            ++i;
            continue;
        }
        switch (TryReceive(i, MSG_DONTWAIT)) {
        case Attempt::completed: ++ran; break;  // a request posted by the routine is tried in this pass
        case Attempt::empty: t_receives.items[i].empty = true; ++i; break;
        case Attempt::interrupted:
        case Attempt::foreign: break;
        }
    }
    return ran;
}

DWORD AlertableWait(detail::EventObject* event, DWORD timeout)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        timeout == WSA_INFINITE ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeout);

    // The receive thread's case: one request and no time limit. It sleeps in
    // the receive itself, so that a datagram costs one recvfrom and nothing
    // else, and each wait runs one routine. The socket's receive time-out
    // (set when it was created) bounds how late a SetEvent is seen while no
    // datagram comes; with traffic it is seen at the next one.
    // A time limit is kept to within that receive time-out as well.
    if (timeout != 0) {
        while (t_receives.count == 1) {
            if (detail::TryConsume(event)) return WSA_WAIT_EVENT_0;
            if (deadline != Clock::time_point::max() && Clock::now() >= deadline) {
                // A datagram already waiting completes before the time-out,
                // as a completion queued on Windows runs before it.
                for (;;) {
                    switch (TryReceive(0, MSG_DONTWAIT)) {
                    case Attempt::completed: return WSA_WAIT_IO_COMPLETION;
                    case Attempt::empty: return WSA_WAIT_TIMEOUT;
                    case Attempt::interrupted:
                    case Attempt::foreign: break;
                    }
                }
            }
            if (TryReceive(0, 0) == Attempt::completed) return WSA_WAIT_IO_COMPLETION;
        }
    }

    for (;;) {
        // The event is looked at first: a stop is never held up by traffic.
        if (detail::TryConsume(event)) return WSA_WAIT_EVENT_0;
        if (RunReadyCompletions(kCompletionsPerWait) > 0) return WSA_WAIT_IO_COMPLETION;

        int waitMs = -1;
        if (deadline != Clock::time_point::max()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return WSA_WAIT_TIMEOUT;
            waitMs = static_cast<int>(left);
        }

        const int wakeFd = WakeFd();
        if (wakeFd < 0) {
            detail::SetWinsockError(WSAENOBUFS);
            return WSA_WAIT_FAILED;
        }
        pollfd fds[kMaxPending + 1];
        int count = 0;
        fds[count++] = pollfd{wakeFd, POLLIN, 0};
        for (int i = 0; i < t_receives.count; ++i) fds[count++] = pollfd{t_receives.items[i].fd, POLLIN, 0};

        if (!detail::RegisterAlertableWaiter(event, wakeFd)) continue;  // set meanwhile
        int ready = ::poll(fds, static_cast<nfds_t>(count), waitMs);
        int pollError = errno;
        detail::UnregisterAlertableWaiter(event);
        if (ready < 0 && pollError != EINTR) {
            detail::SetWinsockError(detail::WinsockErrorFromErrno(pollError));
            return WSA_WAIT_FAILED;
        }
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
            std::uint64_t drained;
            [[maybe_unused]] ssize_t n = ::read(wakeFd, &drained, sizeof drained);
        }
        // A socket with something to report (data, an error) is tried again.
        for (int i = 0; i < t_receives.count; ++i) {
            if (i + 1 < count && fds[i + 1].revents != 0) t_receives.items[i].empty = false;
        }
    }
}

}  // namespace

namespace detail {
void ForgetPendingReceives(int fd)
{
    for (int i = 0; i < t_receives.count;) {
        if (fd == -1 || t_receives.items[i].fd == fd)
            RemovePending(i);
        else
            ++i;
    }
}
}  // namespace detail

int PostTimedReceive(SOCKET s, LPWSABUF buffer, LPWSAOVERLAPPED overlapped,
                     LPWSAOVERLAPPED_COMPLETION_ROUTINE completionRoutine)
{
    // recvmsg brings the kernel's time stamp along with every datagram.
    DWORD flags = 0;
    return WSARecvFrom(s, buffer, 1, nullptr, &flags, nullptr, nullptr, overlapped, completionRoutine);
}

BOOL QueryReceiveTime(LPWSAOVERLAPPED overlapped, std::int64_t* nanoseconds)
{
    if (overlapped == nullptr || nanoseconds == nullptr || t_arrival.overlapped != overlapped) return FALSE;
    *nanoseconds = t_arrival.nanoseconds;
    return TRUE;
}

int WSARecvFrom(SOCKET s, LPWSABUF buffers, DWORD bufferCount, LPDWORD, LPDWORD, pelorin_win::sockaddr* from,
                LPINT fromLength, LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completionRoutine)
{
    if (fault::Fail(fault::Point::postReceive)) return SOCKET_ERROR;
    if (!detail::WinsockStarted()) {
        detail::SetWinsockError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    std::uint32_t onlyTo = 0;
    if (s == INVALID_SOCKET || !detail::IsWinsockSocket(s, &onlyTo)) {
        detail::SetWinsockError(WSAENOTSOCK);
        return SOCKET_ERROR;
    }
    // Only what the recorder uses: one buffer, completion-routine overlapped I/O.
    if (buffers == nullptr || bufferCount != 1 || overlapped == nullptr || completionRoutine == nullptr) {
        detail::SetWinsockError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    if (t_receives.count == kMaxPending) {
        detail::SetWinsockError(WSAENOBUFS);
        return SOCKET_ERROR;
    }
    t_receives.items[t_receives.count++] =
        PendingReceive{static_cast<int>(s), buffers[0].buf, buffers[0].len, from, fromLength, overlapped,
                       completionRoutine, false, onlyTo};
    detail::SetWinsockError(WSA_IO_PENDING);
    return SOCKET_ERROR;
}

DWORD WSAWaitForMultipleEvents(DWORD count, const WSAEVENT* events, BOOL, DWORD timeout, BOOL alertable)
{
    detail::EventObject* event = count == 1 && events != nullptr ? detail::AsEvent(events[0]) : nullptr;
    if (event == nullptr) {
        detail::SetWinsockError(6);  // WSA_INVALID_HANDLE
        return WSA_WAIT_FAILED;
    }
    if (!alertable) return detail::WaitForEvent(event, timeout);
    if (fault::Fail(fault::Point::alertableWait)) return WSA_WAIT_FAILED;
    return AlertableWait(event, timeout);
}

}  // namespace pelorin_win
