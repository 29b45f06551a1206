// The writer thread: drains the chunk queue into the output file, decides
// when the recording is over, stops the receive thread and ends.
#pragma once

#include "platform/Platform.h"

// Ends with 0, or E_FAIL when the output file could not be written.
DWORD WINAPI WriterThreadProc(LPVOID parameter);

// Asks the recording to stop now, as if its time were over: the writer
// honours it in its next pass. Safe in a signal handler (an atomic flag and
// a SetEvent). False when a stop had already been asked for.
bool RequestStop();
bool StopRequested();
// Between these two, a request also wakes the writer through `wakeEvent`.
// Accepting clears any earlier request; refusing waits until no request is
// still using the event, which may then be closed.
void AcceptStopRequests(HANDLE wakeEvent);
void RefuseStopRequests();
