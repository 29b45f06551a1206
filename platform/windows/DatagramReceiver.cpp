// The receive seam on Windows: one overlapped receive with a completion
// routine, which runs in the thread's alertable wait on the stop event.
//
// The receive lands in this side's own buffer, not in the caller's chunk: a
// wait that ends at a deadline leaves the receive outstanding, and the chunk
// it would have written into may meanwhile go to the writer. The routine
// notes the result; the next take posts the next receive.
#include "platform/DatagramReceiver.h"

#include <cstring>
#include <new>

namespace {

struct Request {
    WSAOVERLAPPED overlapped;  // first: the routine finds the request by its address
    DatagramReceiver* owner;
    bool completed;
    DWORD error;
    DWORD bytes;
};

void CALLBACK OnReceived(DWORD error, DWORD bytes, LPWSAOVERLAPPED overlapped, DWORD)
{
    Request* request = reinterpret_cast<Request*>(overlapped);
    request->completed = true;
    request->error = error;
    request->bytes = bytes;
}

}  // namespace

struct DatagramReceiver::State {
    SOCKET socket = INVALID_SOCKET;
    WSAEVENT stop = nullptr;
    Request request = {};
    bool posted = false;
    WSABUF buffer = {};
    char* data = nullptr;

    ~State() { delete[] data; }
};

DatagramReceiver::DatagramReceiver() : state_(nullptr) {}

DatagramReceiver::~DatagramReceiver() { delete state_; }

bool DatagramReceiver::Open(SOCKET socket, WSAEVENT stop)
{
    delete state_;
    state_ = new (std::nothrow) State();
    if (state_ == nullptr) return false;
    state_->data = new (std::nothrow) char[kDatagramRoom];
    if (state_->data == nullptr) return false;
    state_->socket = socket;
    state_->stop = stop;
    state_->buffer.buf = state_->data;
    state_->buffer.len = kDatagramRoom;
    state_->request.owner = this;
    return true;
}

TakeResult DatagramReceiver::Take(char*, unsigned, DWORD timeoutMs, TakenDatagram* taken, int, int* count, DWORD* error)
{
    State& s = *state_;
    *count = 0;
    *error = 0;
    if (!s.posted) {
        s.request.completed = false;
        std::memset(&s.request.overlapped, 0, sizeof s.request.overlapped);
        if (PostTimedReceive(s.socket, &s.buffer, &s.request.overlapped, OnReceived) == SOCKET_ERROR &&
            WSAGetLastError() != WSA_IO_PENDING) {
            *error = static_cast<DWORD>(WSAGetLastError());
            return TakeResult::refused;
        }
        s.posted = true;
    }
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        DWORD wait = timeoutMs;
        if (timeoutMs != WSA_INFINITE) {
            const ULONGLONG spent = GetTickCount64() - start;
            wait = spent >= timeoutMs ? 0 : static_cast<DWORD>(timeoutMs - spent);
        }
        const DWORD result = WSAWaitForMultipleEvents(1, &s.stop, FALSE, wait, TRUE);
        if (result == WSA_WAIT_IO_COMPLETION && !s.request.completed) continue;  // another routine ran
        if (result == WSA_WAIT_TIMEOUT) return TakeResult::deadline;
        if (result == WSA_WAIT_FAILED) {
            *error = static_cast<DWORD>(WSAGetLastError());
            return TakeResult::waitFailed;
        }
        if (result != WSA_WAIT_IO_COMPLETION) return TakeResult::stopped;
        s.posted = false;
        if (s.request.error != 0) {
            *error = s.request.error;
            return TakeResult::failed;
        }
        // The system's arrival time where it gives one; else now.
        TakenDatagram& datagram = taken[0];
        datagram.bytes = s.data;
        datagram.size = s.request.bytes;
        // Not asked for: the recording keeps what Windows hands the socket
        // for its bind and membership, as it always has.
        datagram.destination = DatagramDestination{};
        std::int64_t nanoseconds = 0;
        datagram.systemTime = QueryReceiveTime(&s.request.overlapped, &nanoseconds) != FALSE;
        if (!datagram.systemTime) {
            LARGE_INTEGER counter = {};
            LARGE_INTEGER frequency = {};
            QueryPerformanceCounter(&counter);
            QueryPerformanceFrequency(&frequency);
            const std::int64_t ticks = counter.QuadPart;
            const std::int64_t perSecond = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
            nanoseconds = ticks / perSecond * 1000000000 + ticks % perSecond * 1000000000 / perSecond;
        }
        datagram.arrivalNs = nanoseconds;
        *count = 1;
        return TakeResult::datagrams;
    }
}

bool DatagramReceiver::Drops(ULONGLONG* drops) const
{
    return state_ != nullptr && QuerySocketDrops(state_->socket, drops) != FALSE;
}

void DatagramReceiver::Close()
{
    // Cancels the receive still outstanding; its routine never runs, as this
    // thread makes no further alertable wait.
    if (state_ == nullptr || state_->socket == INVALID_SOCKET) return;
    closesocket(state_->socket);
    state_->socket = INVALID_SOCKET;
}
