// The network side of a recording: the socket, the chunk being filled, the
// receive thread and the two events that tie it to the writer thread.
#pragma once

#include "platform/Platform.h"

struct Chunk;
class ChunkQueue;

class Receiver {
public:
    Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // Creates, configures and binds the socket and joins the group.
    // 0, an HRESULT from a Winsock error, or 2049 for a failed bind.
    HRESULT CreateSocket(ULONG group, ULONG portValue, ULONG interfaceAddr);
    // Prepares the first chunk and starts the receive thread.
    void StartReceiving();

    SOCKET socket;
    WSABUF receiveBuffer;   // where the next receive lands: currentChunk's data + bytesInChunk
    Chunk* currentChunk;    // owned; being filled by the receive thread
    ULONG bytesInChunk;
    HANDLE receiveThread;
    WSAEVENT stopEvent;     // signalled by the writer; closed by the receive thread
    ULONG groupAddress;
    ULONG interfaceAddress;
    ULONG port;
    HANDLE dataEvent;       // manual reset; set after every receive completion
    ChunkQueue* queue;      // owned
    DWORD receiveError;     // Windows error that ended receiving early, 0 if none
    ULONG sourceAddress;    // network byte order; 0 takes the group from any source
    int receiveBufferGranted;  // SO_RCVBUF as the system reports it after set-up
};


// CreateSocket's result for a failed bind (not an HRESULT).
constexpr HRESULT kBindFailed = 2049;
// The socket's receive buffer: 8 MiB rides out a stall of about a third of
// a second at 200 Mbit/s (a disk flush, a busy core) without losing a datagram.
constexpr int kReceiveBufferBytes = 8388608;
// Asked for instead when the system refuses the large buffer outright: twice
// one receive request.
constexpr int kFallbackReceiveBufferBytes = 131600;

// Writer thread, at the stop: signals the receive thread to stop, waits for
// it, closes its handle, and takes over the partly filled chunk (nullptr when
// it is empty), which becomes the last one written.
Chunk* StopReceiving(Receiver* receiver);

// Main thread, once both worker threads have ended (or never started):
// releases g_receiver and everything it owns.
void TearDownReceiver();
