// Internal to receiver/: the receive thread's pieces, which only
// ReceiveThread.cpp uses.
#pragma once

#include "receiver/Receiver.h"

// `parameter` is a ReceiverState*.
DWORD WINAPI ReceiveThreadProc(LPVOID parameter);
void ReceiveLoop(ReceiverState* receiver);

// Notes the first failure that ended receiving, for the front to show;
// later ones are consequences.
void NoteReceiveError(ReceiverState* receiver, DWORD error, FailureKind kind = FailureKind::silent);
