#include "Sender.h"

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

#include "SendSocket.h"
#include "SendSource.h"

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
  setUpMulticast(sock.get(), dest, o);

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
