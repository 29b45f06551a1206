#include "Sender.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "TsReplay.h"

namespace pelorin::tools {

namespace {

constexpr std::size_t kBatch = 64;  // numbered datagrams per sendmmsg
constexpr double kMaxSleep = 0.25;  // so progress and interrupts stay responsive

std::int64_t monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void sleepUntilNs(std::int64_t target) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(target / 1000000000);
  ts.tv_nsec = static_cast<long>(target % 1000000000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

// The group (or unicast address) of either family, with the port.
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

// Where IPv6 multicast leaves: an interface by name, by one of its addresses
// (either family; an IPv6 one also becomes the source address), or an IPv6
// address with its %zone.
struct Ipv6Interface {
  unsigned index = 0;
  bool bindSource = false;
  sockaddr_in6 source{};
};

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

// Where IPv4 multicast leaves: by address, or by name.
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

class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Where datagrams come from and when each is due.
class Source {
 public:
  virtual ~Source() = default;
  // Due time of datagram i in seconds from the start, or nothing once the source is done.
  virtual std::optional<double> due(std::uint64_t i) = 0;
  // Points *data at datagram i (written into `slot` if it has to be made) and returns its size.
  virtual std::size_t get(std::uint64_t i, std::uint8_t* slot, const std::uint8_t** data) = 0;
  virtual std::size_t maxSize() const = 0;
};

class PatternSource : public Source {
 public:
  PatternSource(const SendOptions& o, double interval) : o_(o), interval_(interval) {}
  std::optional<double> due(std::uint64_t i) override {
    // Past the last index the checker can read back, the stream ends.
    if (o_.mode == StreamMode::Ts && i > kMaxTsIndex - o_.startIndex) return std::nullopt;
    return interval_ * static_cast<double>(i);
  }
  std::size_t get(std::uint64_t i, std::uint8_t* slot, const std::uint8_t** data) override {
    *data = slot;
    return writeDatagram(o_.mode, o_.startIndex + i, slot, o_.size);
  }
  std::size_t maxSize() const override { return datagramSize(o_.mode, o_.size); }

 private:
  const SendOptions& o_;
  double interval_;
};

class FileSource : public Source {
 public:
  FileSource(const SendOptions& o, double interval)
      : file_(o.file), timeline_(file_.data(), file_.size()), interval_(interval), loop_(o.loop) {
    perPass_ = (file_.size() + kTsDatagramSize - 1) / kTsDatagramSize;
    if (interval_ == 0) {
      if (!timeline_.timeAt(0)) {
        throw std::invalid_argument(o.file + ": fewer than two PCRs to take the rate from; give --bitrate");
      }
    }
  }
  std::optional<double> due(std::uint64_t i) override {
    const std::uint64_t pass = i / perPass_;
    if (pass > 0 && !loop_) return std::nullopt;
    if (interval_ > 0) return interval_ * static_cast<double>(i);
    const std::uint64_t offset = (i % perPass_) * kTsDatagramSize;
    double t = *timeline_.timeAt(offset);
    if (pass > 0) {
      if (!passSeconds_) {
        passSeconds_ = *timeline_.timeAt(file_.size());
        if (*passSeconds_ <= 0) throw std::runtime_error("the file's PCRs give it no duration; give --bitrate");
      }
      t += static_cast<double>(pass) * *passSeconds_;
    }
    return t;
  }
  std::size_t get(std::uint64_t i, std::uint8_t*, const std::uint8_t** data) override {
    const std::size_t offset = static_cast<std::size_t>(i % perPass_) * kTsDatagramSize;
    *data = file_.data() + offset;
    return std::min(kTsDatagramSize, file_.size() - offset);
  }
  std::size_t maxSize() const override { return 0; }  // sent straight from the mapping

 private:
  TsFile file_;
  PcrTimeline timeline_;
  double interval_;
  bool loop_;
  std::uint64_t perPass_ = 1;
  std::optional<double> passSeconds_;
};

bool isMulticast(in_addr addr) { return (ntohl(addr.s_addr) >> 28) == 0xE; }

void putBe16(std::uint8_t* out, std::uint16_t v) {
  out[0] = static_cast<std::uint8_t>(v >> 8);
  out[1] = static_cast<std::uint8_t>(v);
}

void putBe32(std::uint8_t* out, std::uint32_t v) {
  putBe16(out, static_cast<std::uint16_t>(v >> 16));
  putBe16(out + 2, static_cast<std::uint16_t>(v));
}

// RFC 3550 fixed header: no padding, extension, CSRCs or marker.
void writeRtpHeader(std::uint8_t* out, std::uint64_t index, double seconds) {
  out[0] = 0x80;
  out[1] = kRtpPayloadType;
  putBe16(out + 2, static_cast<std::uint16_t>(index));
  putBe32(out + 4, static_cast<std::uint32_t>(static_cast<std::uint64_t>(seconds * 90000.0)));
  putBe32(out + 8, kRtpSsrc);
}

}  // namespace

void validate(const SendOptions& o) {
  const sockaddr_storage destination = parseDestination(o.group, 1);
  if (destination.ss_family == AF_INET6) {
    parseIpv6Interface(o.interfaceAddress);
  } else {
    parseIpv4Interface(o.interfaceAddress);
  }
  if (o.port == 0) throw std::invalid_argument("--port must be 1..65535");
  if (o.ttl < 0 || o.ttl > 255) throw std::invalid_argument("--ttl must be 0..255");
  if (!o.count && !o.duration) {
    throw std::invalid_argument("give --count and/or --duration: the sender must know when to stop");
  }
  if (o.duration && !(*o.duration >= 0 && std::isfinite(*o.duration))) {
    throw std::invalid_argument("--duration must be a finite number of seconds >= 0");
  }
  const int pacings = (o.bitrateMbit != 0) + (o.rate != 0) + (o.intervalMs != 0);
  if (pacings > 1) throw std::invalid_argument("give at most one of --bitrate, --rate and --interval-ms");
  for (double v : {o.bitrateMbit, o.rate, o.intervalMs}) {
    if (v < 0 || !std::isfinite(v)) throw std::invalid_argument("pacing values must be positive numbers");
  }
  if (o.size > kMaxUdpPayload) throw std::invalid_argument("--size must be 0..65507");
  if (o.rtp && o.file.empty() && datagramSize(o.mode, o.size) > kMaxUdpPayload - kRtpHeaderSize) {
    throw std::invalid_argument("with --rtp, --size must be 0..65495");
  }
  if (o.pauseMs < 0 || !std::isfinite(o.pauseMs)) throw std::invalid_argument("--pause-ms must be 0 or more");
  if ((o.delayEvery != 0) != (o.delayMs != 0) || o.delayMs < 0 || o.delayMs > 10000 || !std::isfinite(o.delayMs))
    throw std::invalid_argument("--delay-every and --delay-ms go together; --delay-ms up to 10000");
  if (o.file.empty()) {
    if (o.bitrateMbit != 0 && datagramSize(o.mode, o.size) == 0) {
      throw std::invalid_argument("--bitrate cannot pace empty datagrams; use --rate");
    }
    if (o.mode == StreamMode::Ts && o.startIndex > kMaxTsIndex) {
      throw std::invalid_argument("--start-index is too large for ts mode");
    }
  }
}

SendStats runSender(const SendOptions& o, const std::atomic<bool>* stop) {
  validate(o);

  const std::size_t header = o.rtp ? kRtpHeaderSize : 0;
  const std::size_t nominalSize = (o.file.empty() ? datagramSize(o.mode, o.size) : kTsDatagramSize) + header;
  double interval = 0;  // seconds between numbered datagrams; 0 = unpaced
  if (o.bitrateMbit > 0) interval = static_cast<double>(nominalSize) * 8.0 / (o.bitrateMbit * 1e6);
  if (o.rate > 0) interval = 1.0 / o.rate;
  if (o.intervalMs > 0) interval = o.intervalMs / 1000.0;

  std::unique_ptr<Source> source;
  if (o.file.empty()) {
    source = std::make_unique<PatternSource>(o, interval);
  } else {
    try {
      source = std::make_unique<FileSource>(o, interval);
    } catch (const std::runtime_error& e) {
      // An unreadable file is a bad argument, like a bad address.
      throw std::invalid_argument(e.what());
    }
  }

  const sockaddr_storage dest = parseDestination(o.group, o.port);
  const bool ipv6 = dest.ss_family == AF_INET6;
  const socklen_t destLength = ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);

  FdGuard sock(::socket(dest.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (sock.get() < 0) throw socketError("cannot create a UDP socket");
  // A large send buffer lets whole batches go out without blocking at high rates.
  int sndbuf = 4 * 1024 * 1024;
  (void)::setsockopt(sock.get(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  if (ipv6 && reinterpret_cast<const sockaddr_in6*>(&dest)->sin6_addr.s6_addr[0] == 0xFF) {
    const Ipv6Interface iface = parseIpv6Interface(o.interfaceAddress);
    const int index = static_cast<int>(iface.index);
    const int hops = o.ttl;
    const unsigned loop = 1;
    if (::setsockopt(sock.get(), IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index) != 0 ||
        (iface.bindSource &&
         ::bind(sock.get(), reinterpret_cast<const sockaddr*>(&iface.source), sizeof iface.source) != 0)) {
      throw socketError("cannot send multicast on interface " + o.interfaceAddress);
    }
    if (::setsockopt(sock.get(), IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops) != 0 ||
        ::setsockopt(sock.get(), IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
      throw socketError("cannot set the multicast hop limit and loopback");
    }
  } else if (!ipv6 && isMulticast(reinterpret_cast<const sockaddr_in*>(&dest)->sin_addr)) {
    const ip_mreqn iface = parseIpv4Interface(o.interfaceAddress);
    if (::setsockopt(sock.get(), IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) != 0) {
      throw socketError("cannot send multicast on interface " + o.interfaceAddress);
    }
    unsigned char ttl = static_cast<unsigned char>(o.ttl);
    if (::setsockopt(sock.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
      throw socketError("cannot set the multicast TTL");
    }
    unsigned char loop = 1;
    if (::setsockopt(sock.get(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
      throw socketError("cannot enable multicast loopback");
    }
  }

  // Everything a batch needs is allocated once, here.
  const std::size_t slotSize = std::max<std::size_t>(source->maxSize(), 1);
  std::vector<std::uint8_t> slots(kBatch * slotSize);
  std::vector<std::uint8_t> headers(kBatch * kRtpHeaderSize);
  // Up to two messages per numbered datagram (a zero-length extra), each an
  // optional RTP header and the datagram.
  std::vector<iovec> iov(4 * kBatch);
  std::vector<mmsghdr> msgs(2 * kBatch);
  for (std::size_t j = 0; j < msgs.size(); ++j) {
    msgs[j].msg_hdr = msghdr{};
    msgs[j].msg_hdr.msg_name = const_cast<sockaddr_storage*>(&dest);
    msgs[j].msg_hdr.msg_namelen = destLength;
    msgs[j].msg_hdr.msg_iov = &iov[2 * j];
  }
  std::vector<std::uint64_t> skip = o.skip;
  std::sort(skip.begin(), skip.end());
  const std::uint64_t firstIndex = o.file.empty() ? o.startIndex : 0;

  auto sendAll = [&](std::size_t m) {
    std::size_t done = 0;
    while (done < m) {
      const int r = ::sendmmsg(sock.get(), msgs.data() + done, static_cast<unsigned>(m - done), 0);
      if (r < 0) {
        if (errno == EINTR) continue;
        if (errno == ENOBUFS || errno == EAGAIN) {
          // The device queue is full: give it a moment rather than failing.
          sleepUntilNs(monotonicNs() + 50000);
          continue;
        }
        char where[64];
        std::snprintf(where, sizeof where, "cannot send to %s:%u", o.group.c_str(), unsigned{o.port});
        throw socketError(where);
      }
      done += static_cast<std::size_t>(r);
    }
  };

  SendStats stats;
  const std::int64_t start = monotonicNs();
  auto elapsed = [&] { return static_cast<double>(monotonicNs() - start) / 1e9; };
  // Held-back datagrams (--delay-every): the bytes as they would have gone, and when they go.
  struct Held {
    double at;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<Held> held;
  auto sendHeld = [&](double now, bool all) {  // all: wait for each one's time
    while (!held.empty() && (all || held.front().at <= now)) {
      if (all) sleepUntilNs(start + static_cast<std::int64_t>(held.front().at * 1e9));
      while (::sendto(sock.get(), held.front().bytes.data(), held.front().bytes.size(), 0,
                      reinterpret_cast<const sockaddr*>(&dest), sizeof dest) < 0 && errno == EINTR) {
      }
      held.erase(held.begin());
    }
  };

  double nextProgress = 1.0;
  const double end = o.duration ? *o.duration : INFINITY;
  std::uint64_t i = 0;
  // Once the pause has begun, every later datagram is due this much later.
  bool pausePending = o.pauseMs > 0;
  double pauseShift = 0;
  auto dueOf = [&](std::uint64_t k) {
    std::optional<double> d = source->due(k);
    if (d && !pausePending && o.pauseMs > 0 && k >= o.pauseAfter) *d += pauseShift;
    return d;
  };

  for (;;) {
    if (stop && stop->load(std::memory_order_relaxed)) {
      stats.interrupted = true;
      break;
    }
    if (o.count && i >= *o.count) break;
    const double now = elapsed();
    if (now >= end) break;
    if (o.progress && now >= nextProgress) {
      o.progress(stats.datagrams, stats.bytes, now);
      nextProgress = std::floor(now) + 1.0;
    }
    if (pausePending && i == o.pauseAfter) {
      // Silence for the whole pause from now, even when sending runs behind.
      const std::optional<double> d = source->due(i);
      if (!d) break;
      pauseShift = std::max(now - *d, 0.0) + o.pauseMs / 1000.0;
      pausePending = false;
    }
    sendHeld(now, false);
    const std::optional<double> due = dueOf(i);
    if (!due) break;
    if (*due > now) {
      const double wake = std::min({*due, end, now + kMaxSleep, o.progress ? nextProgress : INFINITY,
                                    held.empty() ? INFINITY : held.front().at});
      sleepUntilNs(start + static_cast<std::int64_t>(wake * 1e9));
      continue;
    }

    std::size_t n = 0;
    std::size_t m = 0;
    while (n < kBatch && (!o.count || i + n < *o.count)) {
      if (n > 0) {
        if (pausePending && i + n == o.pauseAfter) break;
        const std::optional<double> d = dueOf(i + n);
        if (!d || *d > now) break;
      }
      const std::uint64_t index = firstIndex + i + n;
      if (std::binary_search(skip.begin(), skip.end(), index)) {
        ++stats.skipped;
      } else {
        const std::uint8_t* data = nullptr;
        const std::size_t len = source->get(i + n, slots.data() + n * slotSize, &data);
        iovec* parts = msgs[m].msg_hdr.msg_iov;
        std::size_t count = 0;
        if (o.rtp) {
          std::uint8_t* h = headers.data() + n * kRtpHeaderSize;
          writeRtpHeader(h, index, now);
          parts[count++] = iovec{h, kRtpHeaderSize};
        }
        parts[count++] = iovec{const_cast<std::uint8_t*>(data), len};
        msgs[m].msg_hdr.msg_iovlen = count;
        if (o.delayEvery != 0 && index % o.delayEvery == o.delayEvery - 1) {
          Held late{now + o.delayMs / 1000.0, {}};
          for (std::size_t c = 0; c < count; ++c)
            late.bytes.insert(late.bytes.end(), static_cast<std::uint8_t*>(parts[c].iov_base),
                              static_cast<std::uint8_t*>(parts[c].iov_base) + parts[c].iov_len);
          held.push_back(std::move(late));
        } else {
          ++m;
        }
        stats.bytes += header + len;
        ++stats.datagrams;
      }
      ++n;
      if (o.zeroEvery && (i + n) % o.zeroEvery == 0) {
        msgs[m].msg_hdr.msg_iov[0] = iovec{nullptr, 0};
        msgs[m].msg_hdr.msg_iovlen = 1;
        ++m;
        ++stats.zeroDatagrams;
      }
    }
    sendAll(m);
    i += n;
  }
  // What is still held back goes at its time: it was sent, only late.
  if (!stats.interrupted) sendHeld(elapsed(), true);
  stats.seconds = elapsed();
  return stats;
}

std::string summaryLine(const SendStats& s) {
  const double mbit = s.seconds > 0 ? static_cast<double>(s.bytes) * 8.0 / s.seconds / 1e6 : 0.0;
  char line[160];
  std::snprintf(line, sizeof line, "sent %llu datagrams, %llu bytes in %.3f s (%.2f Mbit/s)",
                static_cast<unsigned long long>(s.datagrams), static_cast<unsigned long long>(s.bytes), s.seconds,
                mbit);
  return line;
}

std::string summaryJson(const SendStats& s) {
  const double mbit = s.seconds > 0 ? static_cast<double>(s.bytes) * 8.0 / s.seconds / 1e6 : 0.0;
  char line[256];
  std::snprintf(line, sizeof line,
                "{\"datagrams\":%llu,\"zero_datagrams\":%llu,\"bytes\":%llu,\"seconds\":%.6f,\"mbit_per_s\":%.3f,"
                "\"interrupted\":%s}",
                static_cast<unsigned long long>(s.datagrams), static_cast<unsigned long long>(s.zeroDatagrams),
                static_cast<unsigned long long>(s.bytes), s.seconds, mbit, s.interrupted ? "true" : "false");
  return line;
}

}  // namespace pelorin::tools
