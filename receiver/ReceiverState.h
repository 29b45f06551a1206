// Internal to receiver/ (and its tests): a receiver's state, shared by the
// set-up and the receive thread. Receiver keeps it private; StateOf is the
// one door to it.
#pragma once

#include "common/Failure.h"
#include "common/Recording.h"
#include "platform/Platform.h"

#include <atomic>
#include <cstdint>

struct Chunk;
class ChunkQueue;
struct RecordingCounters;

struct ReceiverState {
    SOCKET socket = INVALID_SOCKET;
    Chunk* currentChunk = nullptr;  // owned; being filled by the receive thread
    ULONG bytesInChunk = 0;
    HANDLE receiveThread = nullptr;
    WSAEVENT stopEvent = nullptr;  // signalled by the writer; closed by the receive thread
    ULONG groupAddress = 0;
    ULONG interfaceAddress = 0;
    ULONG port = 0;
    HANDLE dataEvent = nullptr;   // manual reset; set when a chunk is handed over and when receiving ends
    ChunkQueue* queue = nullptr;  // owned
    DWORD receiveError = 0;       // Windows error that ended receiving early, 0 if none
    // How it ended, for the front to show while the recording goes on:
    // stored after receiveError, which it then publishes.
    std::atomic<FailureKind> receiveFailure{FailureKind::none};
    Failure setupFailure;                            // what CreateSocket's failure was
    ULONG sourceAddress = 0;                         // network byte order; 0 takes the group from any source
    int receiveBufferGranted = 0;                    // SO_RCVBUF as the system reports it after set-up
    std::atomic<int> endState{0};                    // End(): 0 not yet, 1 under way, 2 done
    std::int64_t endedNanoseconds = 0;               // when receiving ended (MonotonicNanoseconds), set by End()
    // Segmented output: every datagram goes whole into the segment it
    // arrived in. 0 seconds: one output file.
    std::int64_t segmentSeconds = 0;
    std::int64_t nextBoundaryUnix = 0;  // UTC seconds
    std::int64_t nextBoundaryNs = 0;    // the same moment on MonotonicNanoseconds' clock
    // An IPv6 group, or an interface by name or index (the run's copy).
    ExtendedAddresses extended = {};
    // When the current chunk's first datagram completed (MonotonicNanoseconds):
    // the quiet hand-over is timed from it.
    std::int64_t chunkFirstNs = 0;
    RecordingCounters* counters = nullptr;  // the recording's, counted by the receive thread
};
