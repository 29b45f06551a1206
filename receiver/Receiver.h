// The network side of a recording: the socket, the chunk being filled, the
// receive thread and the two events that tie it to the writer thread.
#pragma once

#include "common/Failure.h"
#include "common/Recording.h"
#include "pipeline/ReceivingControl.h"
#include "platform/Platform.h"
#include "receiver/WinsockSession.h"

#include <atomic>
#include <cstdint>

struct Chunk;
class ChunkQueue;

class Receiver final : public ReceivingControl {
public:
    Receiver();
    // The one teardown, once both worker threads have ended (or never
    // started): the socket, Winsock, the chunk left over and the queue.
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // Creates, configures and binds the socket and joins the group.
    // 0, an HRESULT from a Winsock error, or kBindFailed; setupFailure then
    // says what failed, for the front to show.
    HRESULT CreateSocket(ULONG group, ULONG portValue, ULONG interfaceAddr);
    // Prepares the first chunk and starts the receive thread.
    void StartReceiving();
    // Ends receiving: signals the receive thread to stop, waits for it,
    // closes its handle, queues the partly filled chunk (when it holds
    // anything) as the last one and sets dataEvent. Called by the writer
    // thread at its stop and by the main thread when the writer is held up.
    void End() override;
    bool Ended() const override;

private:
    WinsockSession winsock_;  // first in, last out: every socket below needs it

public:
    SOCKET socket;
    Chunk* currentChunk;    // owned; being filled by the receive thread
    ULONG bytesInChunk;
    HANDLE receiveThread;
    WSAEVENT stopEvent;     // signalled by the writer; closed by the receive thread
    ULONG groupAddress;
    ULONG interfaceAddress;
    ULONG port;
    HANDLE dataEvent;       // manual reset; set when a chunk is handed over and when receiving ends
    ChunkQueue* queue;      // owned
    DWORD receiveError;     // Windows error that ended receiving early, 0 if none
    FailureKind receiveFailure;  // how it ended, for the front to show
    Failure setupFailure;   // what CreateSocket's failure was
    ULONG sourceAddress;    // network byte order; 0 takes the group from any source
    int receiveBufferGranted;  // SO_RCVBUF as the system reports it after set-up
    std::atomic<int> endState;  // End(): 0 not yet, 1 under way, 2 done
    std::int64_t endedNanoseconds;  // when receiving ended (MonotonicNanoseconds), set by End()
    // Segmented output: every datagram goes whole into the segment it
    // arrived in. 0 seconds: one output file.
    std::int64_t segmentSeconds;
    std::int64_t nextBoundaryUnix;  // UTC seconds
    std::int64_t nextBoundaryNs;    // the same moment on MonotonicNanoseconds' clock
    // An IPv6 group, or an interface by name or index (the run's copy).
    ExtendedAddresses extended;
    // When the current chunk's first datagram completed (MonotonicNanoseconds):
    // the quiet hand-over is timed from it.
    std::int64_t chunkFirstNs;
};

// The socket's receive buffer: 8 MiB rides out a stall of about a third of
// a second at 200 Mbit/s (a disk flush, a busy core) without losing a datagram.
constexpr int kReceiveBufferBytes = 8388608;
// Asked for instead when the system refuses the large buffer outright: twice
// one receive request.
constexpr int kFallbackReceiveBufferBytes = 131600;
