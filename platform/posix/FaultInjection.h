// Failures on demand, for tests: a test arms a point, and the layer's call at
// that point then fails the way the system underneath could make it fail.
// Only the test binaries can arm them (FaultInjection.cpp); the product is
// built with NoFaultInjection.cpp, where every check lets the call through.
#pragma once

#include "PlatformApi.h"

namespace pelorin_win::fault {

enum class Point : int {
    postReceive,    // the receive of the next datagram cannot be started
    completion,     // a datagram's receive fails with an error (the datagram is lost)
    alertableWait,  // the receive thread's wait fails
    createThread,   // CreateThread returns no thread
    receiveBufferForce,  // SO_RCVBUF: the privileged request (SO_RCVBUFFORCE) is refused
    receiveBuffer,       // SO_RCVBUF: the plain request, capped by rmem_max, is refused
    count
};

// Starts counting the calls at every point from zero, with nothing armed.
void Enable();
// Back to a normal run: nothing armed, nothing counted.
void Disable();

// Counting the calls from now on, the `nth` call at `point` (1: the next
// one) and the `times` - 1 calls after it fail with `error` (a Winsock or
// Win32 error number). Enables counting if it was off.
void Arm(Point point, unsigned long nth, int error, unsigned long times = 1);

// Calls seen at `point` since Enable, failed ones included.
unsigned long Calls(Point point);
// Calls failed at `point` since Enable.
unsigned long Failures(Point point);

// For the layer's own calls -------------------------------------------------

// 0, or the error this call at `point` must fail with.
int Check(Point point);

// True when this call must fail; the thread's Winsock and Win32 last-error
// values are then set to the armed error.
bool Fail(Point point);

// A completion about to be delivered: an armed failure replaces its result.
inline void AlterCompletion(DWORD& error, DWORD& bytes)
{
    if (const int injected = Check(Point::completion)) {
        error = static_cast<DWORD>(injected);
        bytes = 0;
    }
}

}  // namespace pelorin_win::fault
