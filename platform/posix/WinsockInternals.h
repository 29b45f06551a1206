// Internal to the POSIX layer: the Winsock start-up count and the sockets it
// owns.
#pragma once

#include "PlatformApi.h"

namespace pelorin_win::detail {

bool WinsockStarted();
// TRUE for a socket Winsock owns.
bool IsWinsockSocket(SOCKET s);
void SetWinsockError(int error);
// SOCKET_ERROR, with the Winsock error (or errno's) as the thread's last.
int FailWith(int error);
int FailWithErrno();

// The IPv6 side of a Winsock socket: whether it is one, and whether its bind
// waits for the join (and for which port, network byte order).
bool Ipv6SocketState(SOCKET s, bool* ipv6, bool* bindPending, std::uint16_t* bindPort);
// Notes (or, with `pending` false, clears) a bind that waits for the join;
// SOCKET_ERROR when one is noted already.
int SetBindPending(SOCKET s, bool pending, std::uint16_t port);

// In Memberships.cpp: the joins by interface index, Winsock's GROUP_REQ or
// GROUP_SOURCE_REQ in `optval`, and the bind of an IPv6 socket.
int JoinByIndex(SOCKET s, bool withSource, const char* optval, int optlen);
int BindIpv6(SOCKET s, const pelorin_win::sockaddr* name, int namelen);

}  // namespace pelorin_win::detail
