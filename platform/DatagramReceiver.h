// The receive seam: what the receive thread needs of the system, and no more.
// Each system meets it natively: Linux takes batches with recvmmsg, Windows
// runs its overlapped receive and completion routine in an alertable wait.
// The chunk packing, segment boundaries and hand-over stay above it, one code
// for both.
#pragma once

#include "PlatformApi.h"

#include <cstdint>

// Room the first datagram of a take needs in the caller's space: any UDP
// payload, IPv6's largest (65527 bytes) included.
constexpr unsigned kDatagramRoom = 65536;

// Where a datagram was sent, as far as the system says: the socket may take
// more than one destination at its port (unicast to a local address, other
// groups), and deciding which belong to the recording is the caller's.
struct DatagramDestination {
    enum class Family : std::uint8_t { unknown, ipv4, ipv6 };
    Family family;
    std::uint8_t address[16];  // network byte order; IPv4 in the first four
};

// One datagram taken: its bytes (in the caller's space, or in the
// receiver's own memory until the next take), its size and its arrival.
struct TakenDatagram {
    const char* bytes;
    std::uint32_t size;
    std::int64_t arrivalNs;  // on the monotonic clock of QueryPerformanceCounter
    bool systemTime;         // the system stamped it; else taken as it was read
    DatagramDestination destination;
};

enum class TakeResult {
    datagrams,  // `count` datagrams taken
    deadline,   // the time limit passed with the socket empty
    stopped,    // the stop event is signalled
    refused,     // the next receive could not be started; `error` says why
    failed,      // a receive failed; the `count` datagrams before it are good
    waitFailed,  // the wait itself failed; `error` says why
};

class DatagramReceiver {
public:
    static constexpr int kMaxBatch = 64;

    DatagramReceiver();
    ~DatagramReceiver();
    DatagramReceiver(const DatagramReceiver&) = delete;
    DatagramReceiver& operator=(const DatagramReceiver&) = delete;

    // Takes the socket (set up, bound and joined) for receiving; `stop` ends
    // any wait once signalled. False when out of memory, or when the system
    // will not say where each datagram was sent.
    bool Open(SOCKET socket, WSAEVENT stop);

    // Waits until datagrams are there, the stop is signalled or `timeoutMs`
    // (WSA_INFINITE: none) has passed, then takes those queued, at most
    // `max`. `space` has kDatagramRoom bytes; datagrams may land there back
    // to back, each beginning less than `followBytes` past `space` (0: only
    // the first may), and the others in the receiver's own memory. Each
    // taken datagram's bytes are whole where `bytes` says. The caller stores
    // them in order from `space` on, one behind the other, and so never
    // writes over one it has not stored yet.
    TakeResult Take(char* space, unsigned followBytes, DWORD timeoutMs, TakenDatagram* taken, int max, int* count,
                    DWORD* error);

    // The system's count of datagrams dropped for a full socket buffer.
    bool Drops(ULONGLONG* drops) const;

    // Closes the socket; a receive still outstanding is cancelled.
    void Close();

private:
    struct State;
    State* state_;
};
