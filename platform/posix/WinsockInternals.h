// Internal to the POSIX layer: the Winsock start-up count, the sockets it
// owns and the per-thread overlapped receives.
#pragma once

#include "PlatformApi.h"

namespace pelorin_win::detail {

bool WinsockStarted();
// TRUE for a socket Winsock owns; *onlyTo (when asked) is the one destination
// address it accepts datagrams for, 0 for any.
bool IsWinsockSocket(SOCKET s, std::uint32_t* onlyTo = nullptr);
void SetWinsockError(int error);

// Drops the calling thread's outstanding receives on `fd` (all of them when
// fd is -1) without running their completion routines, as closing a socket
// cancels requests whose thread never waits alertably again.
void ForgetPendingReceives(int fd);

}  // namespace pelorin_win::detail
