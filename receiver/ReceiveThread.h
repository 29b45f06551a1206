// Internal to receiver/: the receive thread's pieces, which only
// ReceiveThread.cpp uses.
#pragma once

#include "receiver/Receiver.h"

DWORD WINAPI ReceiveThreadProc(LPVOID parameter);
void ReceiveLoop(Receiver* receiver);

// Notes the first failure that ended receiving, for the front to show;
// later ones are consequences.
void NoteReceiveError(Receiver* receiver, DWORD error, FailureKind kind = FailureKind::silent);
