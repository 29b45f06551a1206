// Internal to the POSIX layer: the Winsock start-up count, the sockets it
// owns and the per-thread overlapped receives.
#pragma once

#include "PlatformApi.h"

namespace pelorin_win::detail {

bool WinsockStarted();
bool IsWinsockSocket(SOCKET s);
void SetWinsockError(int error);

// Drops the calling thread's outstanding receives on `fd` (all of them when
// fd is -1) without running their completion routines, as closing a socket
// cancels requests whose thread never waits alertably again.
void ForgetPendingReceives(int fd);

}  // namespace pelorin_win::detail
