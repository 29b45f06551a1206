// Where pelorin-send's datagrams go: the destination and the interface that
// multicast leaves by, parsed and checked, and the socket set up for them.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "Sender.h"

namespace pelorin::tools {

// The group (or unicast address) of either family, with the port. Throws
// std::invalid_argument for anything else.
sockaddr_storage parseDestination(const std::string& text, std::uint16_t port);

// Where IPv6 multicast leaves: an interface by name, by one of its addresses
// (either family; an IPv6 one also becomes the source address), or an IPv6
// address with its %zone.
struct Ipv6Interface {
  unsigned index = 0;
  bool bindSource = false;
  sockaddr_in6 source{};
};
Ipv6Interface parseIpv6Interface(const std::string& text);

// Where IPv4 multicast leaves: by address, or by name.
ip_mreqn parseIpv4Interface(const std::string& text);

// The error of the last socket call, with what was being done.
std::runtime_error socketError(const std::string& what);

// For a multicast destination: the interface, TTL (hop limit) and loopback
// of the options on `fd`. Throws std::runtime_error when one cannot be set.
void setUpMulticast(int fd, const sockaddr_storage& dest, const SendOptions& o);

}  // namespace pelorin::tools
