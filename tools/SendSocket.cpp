#include "SendSocket.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <cerrno>
#include <cstring>

namespace pelorin::tools {

sockaddr_storage parseDestination(const std::string& text, std::uint16_t port) {
  sockaddr_storage storage{};
  auto* in = reinterpret_cast<sockaddr_in*>(&storage);
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, text.c_str(), &in->sin_addr) == 1) {
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
  } else if (inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
  } else {
    throw std::invalid_argument("group '" + text + "' is not an IPv4 or IPv6 address");
  }
  return storage;
}

namespace {

unsigned indexOfAddress(int family, const void* address) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  unsigned index = 0;
  for (ifaddrs* e = list; e != nullptr && index == 0; e = e->ifa_next) {
    if (e->ifa_addr == nullptr || e->ifa_addr->sa_family != family) continue;
    const bool same = family == AF_INET
                          ? std::memcmp(&reinterpret_cast<sockaddr_in*>(e->ifa_addr)->sin_addr, address, 4) == 0
                          : std::memcmp(&reinterpret_cast<sockaddr_in6*>(e->ifa_addr)->sin6_addr, address, 16) == 0;
    if (same) index = if_nametoindex(e->ifa_name);
  }
  freeifaddrs(list);
  return index;
}

bool isMulticast(in_addr addr) { return (ntohl(addr.s_addr) >> 28) == 0xE; }

}  // namespace

Ipv6Interface parseIpv6Interface(const std::string& text) {
  Ipv6Interface result;
  const std::string::size_type percent = text.find('%');
  const std::string address = text.substr(0, percent);
  in_addr v4{};
  if (inet_pton(AF_INET6, address.c_str(), &result.source.sin6_addr) == 1) {
    result.bindSource = true;
    result.source.sin6_family = AF_INET6;
    result.index = percent == std::string::npos ? indexOfAddress(AF_INET6, &result.source.sin6_addr)
                                                : if_nametoindex(text.substr(percent + 1).c_str());
    result.source.sin6_scope_id = result.index;
  } else if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    result.index = indexOfAddress(AF_INET, &v4);
  } else {
    result.index = if_nametoindex(text.c_str());
  }
  if (result.index == 0) throw std::invalid_argument("interface '" + text + "' is no interface of this host");
  return result;
}

ip_mreqn parseIpv4Interface(const std::string& text) {
  ip_mreqn request{};
  if (inet_pton(AF_INET, text.c_str(), &request.imr_address) == 1) return request;
  request.imr_ifindex = static_cast<int>(if_nametoindex(text.c_str()));
  if (request.imr_ifindex == 0) {
    throw std::invalid_argument("interface '" + text + "' is neither an IPv4 address nor an interface's name");
  }
  return request;
}

std::runtime_error socketError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

void setUpMulticast(int fd, const sockaddr_storage& dest, const SendOptions& o) {
  const bool ipv6 = dest.ss_family == AF_INET6;
  if (ipv6 && reinterpret_cast<const sockaddr_in6*>(&dest)->sin6_addr.s6_addr[0] == 0xFF) {
    const Ipv6Interface iface = parseIpv6Interface(o.interfaceAddress);
    const int index = static_cast<int>(iface.index);
    const int hops = o.ttl;
    const unsigned loop = 1;
    if (::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index) != 0 ||
        (iface.bindSource &&
         ::bind(fd, reinterpret_cast<const sockaddr*>(&iface.source), sizeof iface.source) != 0)) {
      throw socketError("cannot send multicast on interface " + o.interfaceAddress);
    }
    if (::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops) != 0 ||
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
      throw socketError("cannot set the multicast hop limit and loopback");
    }
  } else if (!ipv6 && isMulticast(reinterpret_cast<const sockaddr_in*>(&dest)->sin_addr)) {
    const ip_mreqn iface = parseIpv4Interface(o.interfaceAddress);
    if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) != 0) {
      throw socketError("cannot send multicast on interface " + o.interfaceAddress);
    }
    unsigned char ttl = static_cast<unsigned char>(o.ttl);
    if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
      throw socketError("cannot set the multicast TTL");
    }
    unsigned char loop = 1;
    if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
      throw socketError("cannot enable multicast loopback");
    }
  }

}

}  // namespace pelorin::tools
