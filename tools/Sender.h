// The bounded UDP sender behind pelorin-send.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "StreamPattern.h"

namespace pelorin::tools {

struct SendOptions {
  std::string group;                        // multicast group or unicast address, IPv4 or IPv6
  std::uint16_t port = 0;
  // Where multicast leaves: an address of the interface (an IPv6 one is also
  // the source address; fe80::1%eth0 with its zone) or its name.
  std::string interfaceAddress = "127.0.0.1";
  int ttl = 0;                              // IP_MULTICAST_TTL / hop limit; 0 keeps it on this host

  std::optional<std::uint64_t> count;       // numbered datagrams
  std::optional<double> duration;           // seconds

  // At most one pacing; none means as fast as possible.
  double bitrateMbit = 0;                   // payload bits per second / 1e6
  double rate = 0;                          // datagrams per second
  double intervalMs = 0;

  StreamMode mode = StreamMode::Ts;
  std::size_t size = kDefaultRawSize;       // raw mode
  std::uint64_t zeroEvery = 0;              // 0: never
  std::uint64_t startIndex = 0;

  std::string file;                         // replay this transport stream instead
  bool loop = true;                         // start the file again when it ends

  // Network faults, so that a receiver's loss and outage figures can be checked.
  std::vector<std::uint64_t> skip;          // indexes never sent (they still count for --count)
  std::uint64_t pauseAfter = 0;             // with pauseMs: the datagrams sent before the pause
  double pauseMs = 0;                       // 0: no pause
  bool rtp = false;                         // wrap every numbered datagram in an RTP header
  std::uint64_t delayEvery = 0;             // with delayMs: every N-th datagram is held back
  double delayMs = 0;                       // so that it comes after the ones sent meanwhile

  // Called about once a second while sending (for progress output).
  std::function<void(std::uint64_t datagrams, std::uint64_t bytes, double seconds)> progress;
};

// The RTP header --rtp puts before each datagram: version 2, MP2T payload type.
constexpr std::size_t kRtpHeaderSize = 12;
constexpr std::uint8_t kRtpPayloadType = 33;
constexpr std::uint32_t kRtpSsrc = 0x70656C6F;

struct SendStats {
  std::uint64_t datagrams = 0;      // numbered (non-empty unless --size 0) datagrams sent
  std::uint64_t skipped = 0;        // numbered datagrams left out by `skip`
  std::uint64_t zeroDatagrams = 0;  // extra zero-length ones
  std::uint64_t bytes = 0;
  double seconds = 0;
  bool interrupted = false;
};

// Throws std::invalid_argument for options that cannot work together.
void validate(const SendOptions& options);

// Sends until a bound is reached (or *stop becomes true). Throws
// std::invalid_argument for bad options and std::runtime_error for socket or
// file errors.
SendStats runSender(const SendOptions& options, const std::atomic<bool>* stop = nullptr);

std::string summaryLine(const SendStats& stats);
std::string summaryJson(const SendStats& stats);

}  // namespace pelorin::tools
