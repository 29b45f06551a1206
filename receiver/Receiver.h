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
};

// The record handed to Winsock with every receive: the completion routine
// gets the address of `overlapped` and finds the Receiver right behind it.
struct ReceiveRequest {
    WSAOVERLAPPED overlapped;
    Receiver* receiver;
};

DWORD WINAPI ReceiveThreadProc(LPVOID parameter);
void ReceiveLoop(Receiver* receiver);
void CALLBACK OnReceiveCompleted(DWORD error, DWORD bytesTransferred, LPWSAOVERLAPPED overlapped, DWORD flags);

// CreateSocket's result for a failed bind (not an HRESULT).
constexpr HRESULT kBindFailed = 2049;
// The socket's receive buffer: twice one receive request.
constexpr unsigned kReceiveBufferBytes = 131600;

// Notes the first failure that ended receiving; later ones are consequences.
void NoteReceiveError(Receiver* receiver, DWORD error);
