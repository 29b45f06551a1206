// The network side of a recording: the socket, the chunk being filled, the
// receive thread and the two events that tie it to the writer thread. The
// recording owns it; its state is its own.
#pragma once

#include "common/Failure.h"
#include "common/Recording.h"
#include "pipeline/ReceivingControl.h"
#include "platform/Platform.h"
#include "receiver/ReceiverState.h"
#include "receiver/WinsockSession.h"

#include <cstdint>

class Receiver final : public ReceivingControl, private ReceiverState {
public:
    // `counters`: the recording's, which the receive thread counts into.
    explicit Receiver(RecordingCounters* counters);
    // The one teardown, once both worker threads have ended (or never
    // started): the socket, Winsock, the chunk left over and the queue.
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // Where to receive: the group, interface, source and port of the settings.
    void Configure(const RecordingSettings& settings);
    // Segmented output: every datagram goes whole into the segment it arrived
    // in; the first boundary in UTC seconds and on MonotonicNanoseconds' clock.
    void CutSegments(std::int64_t seconds, std::int64_t nextBoundaryUnix, std::int64_t nextBoundaryNs);
    // Creates, configures and binds the socket and joins the group.
    // 0, an HRESULT from a Winsock error, or kBindFailed; SetupFailure()
    // then says what failed, for the front to show.
    HRESULT CreateSocket(ULONG group, ULONG portValue, ULONG interfaceAddr);
    // Prepares the first chunk and starts the receive thread.
    void StartReceiving();
    // Ends receiving: signals the receive thread to stop, waits for it,
    // closes its handle, queues the partly filled chunk (when it holds
    // anything) as the last one and sets the data event. Called by the writer
    // thread at its stop and by the main thread when the writer is held up.
    void End() override;
    bool Ended() const override;

    ChunkQueue* Queue() const { return queue; }
    // Manual reset; set when a chunk is handed over and when receiving ends.
    HANDLE DataEvent() const { return dataEvent; }
    SOCKET Socket() const { return socket; }
    int ReceiveBufferGranted() const { return receiveBufferGranted; }
    std::int64_t EndedNanoseconds() const { return endedNanoseconds; }
    const Failure& SetupFailure() const { return setupFailure; }
    // Main thread, right after StartReceiving: false when no receive thread
    // could be started (ReceiveFailure() then says why).
    bool ThreadStarted() const { return receiveThread != nullptr; }
    // What ended receiving early; FailureKind::none when nothing did. Any
    // thread may ask while receiving goes on.
    Failure ReceiveFailure() const
    {
        const FailureKind kind = receiveFailure.load(std::memory_order_acquire);
        return Failure{kind, kind == FailureKind::none ? 0 : receiveError, 0, {}};
    }

    // The receive thread's (and the receiver's tests') door to the state.
    friend ReceiverState& StateOf(Receiver& receiver);

private:
    WinsockSession winsock_;  // ends after the destructor's body: every socket needs it
};

// The socket's receive buffer: 8 MiB rides out a stall of about a third of
// a second at 200 Mbit/s (a disk flush, a busy core) without losing a datagram.
constexpr int kReceiveBufferBytes = 8388608;
// Asked for instead when the system refuses the large buffer outright: twice
// one receive request.
constexpr int kFallbackReceiveBufferBytes = 131600;
