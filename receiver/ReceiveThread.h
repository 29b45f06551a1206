// Internal to receiver/: the receive thread's pieces, which only
// ReceiveThread.cpp uses.
#pragma once

#include "receiver/Receiver.h"

// The record handed to Winsock with every receive: the completion routine
// gets the address of `overlapped` and finds the Receiver right behind it.
struct ReceiveRequest {
    WSAOVERLAPPED overlapped;
    Receiver* receiver;
};

DWORD WINAPI ReceiveThreadProc(LPVOID parameter);
void ReceiveLoop(Receiver* receiver);
void CALLBACK OnReceiveCompleted(DWORD error, DWORD bytesTransferred, LPWSAOVERLAPPED overlapped, DWORD flags);

// Notes the first failure that ended receiving; later ones are consequences.
void NoteReceiveError(Receiver* receiver, DWORD error);
