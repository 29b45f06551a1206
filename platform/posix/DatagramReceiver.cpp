// The receive seam on Linux: recvmmsg takes every datagram queued at the
// socket in one call, each with the kernel's arrival stamp.
//
// While datagrams flow, the thread sleeps in recvmmsg itself (MSG_WAITFORONE:
// block for the first, then take what else is queued), bounded by a short
// receive time-out so that a stop or a deadline is seen soon even when the
// stream never pauses: no system call beyond the one per batch. After a batch
// that did not fill, a short nap lets the next datagrams gather, so that a
// paced stream costs one wake-up per several datagrams. Once a receive comes
// up empty, the thread sleeps in poll() on the socket and an eventfd that
// the stop event writes to, for exactly the time left.
#include "PlatformApi.h"

// The seam's names as the portable code sees them; the rest of this layer
// works inside its namespace.
using pelorin_win::DWORD;
using pelorin_win::SOCKET;
using pelorin_win::ULONGLONG;
using pelorin_win::WSAEVENT;

#include "platform/DatagramReceiver.h"

#include "ErrorMapping.h"
#include "FaultInjection.h"
#include "KernelObjects.h"
#include "WinsockInternals.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using pelorin_win::detail::EventObject;

// How long a receive sleeps while the stream flows: bounds how late a stop
// or a deadline is seen when datagrams keep coming without a pause.
constexpr long kFlowingWaitMicroseconds = 20000;
// After a batch that did not fill, the thread naps this long before the next
// receive, so that a paced stream is taken several datagrams per wake-up
// rather than one. Arrival times are the kernel's, so none is timed late;
// the socket buffer holds far more than a nap's worth.
constexpr long kGatherMicroseconds = 250;
// A kernel stamp older than this is no datagram's that waited in the socket:
// the wall clock stepped forward since. As the Windows side judges its stamps.
constexpr std::int64_t kPlausibleAgeNs = std::int64_t{10} * 1000000000;

// Per message: its destination (IP_PKTINFO or IPV6_PKTINFO) and its arrival
// (SO_TIMESTAMPNS).
constexpr std::size_t kControlBytes = CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(timespec)) + 32;

std::int64_t Nanoseconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

struct DatagramReceiver::State {
    int fd = -1;
    SOCKET socket = pelorin_win::INVALID_SOCKET;
    EventObject* stop = nullptr;
    int wakeFd = -1;
    bool flowing = false;      // the last receive took something
    bool requested = false;    // the first receive has been started
    bool owned = false;        // a socket of this layer's, as every receive needs
    int filled = 0;            // messages the last recvmmsg filled in
    bool gather = false;       // the last batch did not fill: nap before the next
    // One slot per message, for a datagram that does not land in the
    // caller's space (or for its part past the expected size); only the
    // pages a datagram touches are ever backed by memory.
    char* slots = nullptr;
    std::uint32_t expected = 0;  // the size the last batch ended with
    mmsghdr messages[kMaxBatch];
    iovec pieces[kMaxBatch][2];
    alignas(cmsghdr) char control[kMaxBatch][kControlBytes];

    void LayOut(char* space, int follow, int max);

    ~State()
    {
        if (wakeFd >= 0) ::close(wakeFd);
        delete[] slots;
    }
};

DatagramReceiver::DatagramReceiver() : state_(nullptr) {}

DatagramReceiver::~DatagramReceiver() { delete state_; }

bool DatagramReceiver::Open(SOCKET socket, WSAEVENT stop)
{
    delete state_;
    state_ = new (std::nothrow) State();
    if (state_ == nullptr) return false;
    State& s = *state_;
    s.slots = new (std::nothrow) char[static_cast<std::size_t>(kMaxBatch) * kDatagramRoom];
    s.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s.slots == nullptr || s.wakeFd < 0) return false;
    s.socket = socket;
    s.fd = static_cast<int>(socket);
    s.stop = pelorin_win::detail::AsEvent(stop);
    s.owned = pelorin_win::detail::IsWinsockSocket(socket);
    // Each datagram's destination, read from its header at the receive.
    int domain = 0;
    socklen_t domainLength = sizeof domain;
    const int on = 1;
    // Without them the recorder could not tell the group's datagrams from
    // others at its port, so a refusal fails the receive rather than
    // letting everything through. (A socket not of this layer is refused
    // at the first receive.)
    if (s.owned) {
        if (::getsockopt(s.fd, SOL_SOCKET, SO_DOMAIN, &domain, &domainLength) != 0) return false;
        const int told = domain == AF_INET6 ? ::setsockopt(s.fd, ::IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on)
                                            : ::setsockopt(s.fd, ::IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        if (told != 0) return false;
    }
    // Each message has its slot and control buffer for good; where its
    // pieces point is set for each take.
    for (int i = 0; i < kMaxBatch; ++i) {
        msghdr& header = s.messages[i].msg_hdr;
        header = msghdr{};
        header.msg_iov = s.pieces[i];
        header.msg_iovlen = 1;
        header.msg_control = s.control[i];
        header.msg_controllen = kControlBytes;
    }
    const timeval flowingWait{0, kFlowingWaitMicroseconds};
    (void)::setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &flowingWait, sizeof flowingWait);
    return true;
}

namespace {

// What the kernel said of one datagram: where it was sent, when it came.
struct MessageFacts {
    DatagramDestination destination{};
    bool stamped = false;
    timespec stamp{};
};

MessageFacts ReadControl(msghdr& message)
{
    MessageFacts facts;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == ::IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            facts.destination.family = DatagramDestination::Family::ipv4;
            std::memcpy(facts.destination.address, &info.ipi_addr, 4);
        } else if (c->cmsg_level == ::IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            facts.destination.family = DatagramDestination::Family::ipv6;
            std::memcpy(facts.destination.address, &info.ipi6_addr, 16);
        } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            std::memcpy(&facts.stamp, CMSG_DATA(c), sizeof facts.stamp);
            facts.stamped = true;
        }
    }
    return facts;
}

// Sleeps until the socket has something, the stop is signalled or
// `waitMs` (-1: no limit) has passed. 1 readable, 0 time out, 2 stopped,
// -1 failed (errno).
int SleepInPoll(int fd, EventObject* stop, int wakeFd, int waitMs)
{
    if (!pelorin_win::detail::RegisterAlertableWaiter(stop, wakeFd)) return 2;
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, waitMs);
    const int pollError = errno;
    pelorin_win::detail::UnregisterAlertableWaiter(stop);
    if ((fds[0].revents & POLLIN) != 0) {
        std::uint64_t drained;
        [[maybe_unused]] ssize_t n = ::read(wakeFd, &drained, sizeof drained);
    }
    if (ready < 0) {
        errno = pollError;
        return pollError == EINTR ? 0 : -1;
    }
    if (pelorin_win::detail::TryConsume(stop)) return 2;
    return fds[1].revents != 0 ? 1 : 0;
}

char* Slot(char* slots, int i)
{
    return slots + static_cast<std::size_t>(i) * kDatagramRoom;
}

}  // namespace

// With `follow` messages laid out back to back at `space`, `expected` bytes
// apart, a stream of one datagram size is received where it is stored, with
// no copy: message i takes `expected` bytes at space + i * expected and the
// rest of its room in its slot. Others take their whole room in their slot,
// the first at `space`.
void DatagramReceiver::State::LayOut(char* space, int follow, int max)
{
    State& s = *this;
    const std::uint32_t expected = s.expected;
    for (int i = 0; i < max; ++i) {
        iovec* pieces = s.pieces[i];
        msghdr& header = s.messages[i].msg_hdr;
        if (i < follow) {
            pieces[0] = iovec{space + static_cast<std::size_t>(i) * expected, expected};
            pieces[1] = iovec{Slot(s.slots, i), kDatagramRoom - expected};
            header.msg_iovlen = 2;
        } else {
            pieces[0] = iovec{i == 0 ? space : Slot(s.slots, i), kDatagramRoom};
            header.msg_iovlen = 1;
        }
    }
}

TakeResult DatagramReceiver::Take(char* space, unsigned followBytes, DWORD timeoutMs, TakenDatagram* taken, int max,
                                  int* count, DWORD* error)
{
    namespace fault = pelorin_win::fault;
    State& s = *state_;
    *count = 0;
    *error = 0;
    if (fault::Fail(fault::Point::alertableWait)) {
        *error = static_cast<DWORD>(pelorin_win::WSAGetLastError());
        return TakeResult::waitFailed;
    }
    if (!s.requested) {
        int refusal = 0;
        if (fault::Fail(fault::Point::postReceive))
            refusal = pelorin_win::WSAGetLastError();
        else if (!pelorin_win::detail::WinsockStarted())
            refusal = pelorin_win::WSANOTINITIALISED;
        else if (!s.owned)
            refusal = pelorin_win::WSAENOTSOCK;
        if (refusal != 0) {
            *error = static_cast<DWORD>(refusal);
            return TakeResult::refused;
        }
        s.requested = true;
    }
    if (max > kMaxBatch) max = kMaxBatch;
    if (max < 1) max = 1;

    const bool forever = timeoutMs == pelorin_win::WSA_INFINITE;
    const std::int64_t deadline = forever ? 0 : Nanoseconds(CLOCK_MONOTONIC) + std::int64_t{timeoutMs} * 1000000;
    // Messages that may land back to back in the caller's space: those that
    // begin less than followBytes past it.
    int follow = 0;
    if (s.expected > 0 && followBytes > 0) {
        const unsigned fit = (followBytes - 1) / s.expected + 1;
        follow = fit < static_cast<unsigned>(max) ? static_cast<int>(fit) : max;
        if (follow < 2) follow = 0;
    }
    s.LayOut(space, follow, max);

    for (;;) {
        if (pelorin_win::detail::TryConsume(s.stop)) return TakeResult::stopped;
        const std::int64_t left = forever ? -1 : deadline - Nanoseconds(CLOCK_MONOTONIC);
        // Sleeping in the receive could overshoot a deadline nearer than its
        // own time-out; poll() keeps that one exactly.
        const bool sleepInReceive = s.flowing && (forever || left >= kFlowingWaitMicroseconds * 1000);
        if (sleepInReceive && s.gather) {
            s.gather = false;
            const timespec nap{0, kGatherMicroseconds * 1000};
            ::nanosleep(&nap, nullptr);
            if (pelorin_win::detail::TryConsume(s.stop)) return TakeResult::stopped;
        }
        int flags = MSG_WAITFORONE;
        if (!sleepInReceive) {
            if (!forever && left <= 0) {
                flags = MSG_DONTWAIT;
            } else {
                const int waitMs = forever ? -1 : static_cast<int>((left + 999999) / 1000000);
                const int woke = SleepInPoll(s.fd, s.stop, s.wakeFd, waitMs);
                if (woke == 2) return TakeResult::stopped;
                if (woke < 0) {
                    *error = static_cast<DWORD>(pelorin_win::detail::WinsockErrorFromErrno(errno));
                    return TakeResult::waitFailed;
                }
                if (woke == 0) continue;  // the deadline is looked at again above
                flags = MSG_DONTWAIT;
            }
        }
        // The kernel rewrote the control lengths of the messages it filled.
        for (int i = 0; i < s.filled; ++i) s.messages[i].msg_hdr.msg_controllen = kControlBytes;
        s.filled = 0;
        const int received = ::recvmmsg(s.fd, s.messages, static_cast<unsigned>(max), flags | MSG_TRUNC, nullptr);
        if (received < 0) {
            const int cause = errno;
            if (cause == EINTR) continue;
            if (cause != EAGAIN && cause != EWOULDBLOCK) {
                *error = static_cast<DWORD>(pelorin_win::detail::WinsockErrorFromErrno(cause));
                return TakeResult::failed;
            }
            s.flowing = false;
            if (!forever && deadline - Nanoseconds(CLOCK_MONOTONIC) <= 0) return TakeResult::deadline;
            continue;
        }
        s.flowing = true;
        s.filled = received;
        s.gather = received < max;

        // SO_TIMESTAMPNS stamps with the wall clock; the recorder measures on
        // the monotonic one. Each datagram's age carries over; a wall-clock
        // step since it came would not: a step back is clamped to now, and an
        // age past any socket buffer's (a step forward) is not used.
        const std::int64_t wallNow = Nanoseconds(CLOCK_REALTIME);
        const std::int64_t monotonicNow = Nanoseconds(CLOCK_MONOTONIC);
        int kept = 0;
        bool inPlace = true;  // every message so far lies back to back in the caller's space
        for (int i = 0; i < received; ++i) {
            msghdr& header = s.messages[i].msg_hdr;
            const MessageFacts facts = ReadControl(header);
            DWORD failure = (header.msg_flags & MSG_TRUNC) != 0 ? static_cast<DWORD>(pelorin_win::WSAEMSGSIZE) : 0;
            DWORD bytes = s.messages[i].msg_len;
            fault::AlterCompletion(failure, bytes);
            if (failure != 0) {
                *count = kept;
                *error = failure;
                return TakeResult::failed;
            }
            TakenDatagram& datagram = taken[kept];
            datagram.destination = facts.destination;
            datagram.size = bytes;
            datagram.systemTime = facts.stamped;
            datagram.arrivalNs = monotonicNow;
            if (facts.stamped) {
                const std::int64_t age =
                    wallNow - (static_cast<std::int64_t>(facts.stamp.tv_sec) * 1000000000 + facts.stamp.tv_nsec);
                if (age > kPlausibleAgeNs)
                    datagram.systemTime = false;
                else if (age > 0)
                    datagram.arrivalNs = monotonicNow - age;
            }
            // Where it landed. One of the back-to-back layout stays where it is
            // while all before it had the expected size and it fits; else it
            // is put together in its slot, before the caller stores anything
            // over the space its first part took.
            datagram.bytes = static_cast<const char*>(s.pieces[i][0].iov_base);
            if (i < follow) {
                if (!inPlace || bytes > s.expected) {
                    char* slot = Slot(s.slots, i);
                    const std::uint32_t head = bytes < s.expected ? bytes : s.expected;
                    if (bytes > head) std::memmove(slot + head, slot, bytes - head);
                    std::memcpy(slot, s.pieces[i][0].iov_base, head);
                    datagram.bytes = slot;
                    inPlace = false;
                } else {
                    inPlace = bytes == s.expected;
                }
            }
            ++kept;
            // The receive for the next datagram, as a request of its own.
            if (fault::Fail(fault::Point::postReceive)) {
                *count = kept;
                *error = static_cast<DWORD>(pelorin_win::WSAGetLastError());
                return TakeResult::refused;
            }
        }
        // Only a batch of one size predicts the next: after a mixed one,
        // laying the next out at a guessed size would copy most datagrams twice.
        s.expected = kept > 0 ? taken[0].size : 0;
        for (int i = 1; i < kept && s.expected != 0; ++i)
            if (taken[i].size != s.expected) s.expected = 0;
        *count = kept;
        return TakeResult::datagrams;
    }
}

bool DatagramReceiver::Drops(ULONGLONG* drops) const
{
    return state_ != nullptr && pelorin_win::QuerySocketDrops(state_->socket, drops) != pelorin_win::FALSE;
}

void DatagramReceiver::Close()
{
    if (state_ == nullptr || state_->socket == pelorin_win::INVALID_SOCKET) return;
    pelorin_win::closesocket(state_->socket);
    state_->socket = pelorin_win::INVALID_SOCKET;
    state_->fd = -1;
}
