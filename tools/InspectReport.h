// What pelorin-inspect finds in a recording: the framing, the ETSI TR 101 290
// priority-1 faults, CRC and PCR faults of priority 2, RTP
// sequence accounting, the stream clock, and per-PID packets, continuity
// errors and bit rates.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace pelorin::tools {

struct InspectOptions {
  double pidTimeoutSeconds = 5.0;  // PID_error: a PID a PMT names is silent this long
};

struct PidReport {
  std::uint16_t pid = 0;
  std::uint64_t packets = 0;
  std::uint64_t ccErrors = 0;
  std::optional<double> bitrateBps;  // needs the PCR clock
};

struct ClockHandOver {
  std::uint16_t pid = 0;  // took the clock over
  double atSeconds = 0;   // from the first PCR
};

// What the framer counts: bytes, packets, sync, and whether RTP wraps them.
struct FramingCounts {
  std::uint64_t bytes = 0;
  std::uint64_t packets = 0;        // 188-byte packets framed, bad sync bytes included
  std::uint64_t skippedBytes = 0;   // passed over while searching for sync
  std::uint64_t trailingBytes = 0;  // a cut-off packet at the end
  std::uint64_t rtpPaddingBytes = 0;  // RTP padding after a datagram's packets (RFC 3550 5.1), removed
  bool parity = false;                // 204-byte packets: 188 and 16 bytes of Reed-Solomon parity, skipped
  // Priority 1
  std::uint64_t tsSyncLoss = 0;
  std::uint64_t syncByteErrors = 0;
  bool rtp = false;
};

// The framer's counts and everything the analyser finds.
struct InspectReport : FramingCounts {
  // Priority 1
  std::uint64_t patErrors = 0;
  std::uint64_t ccErrors = 0;
  std::uint64_t pmtErrors = 0;
  std::uint64_t pidErrors = 0;
  // Priority 2
  std::uint64_t crcErrors = 0;
  std::uint64_t pcrRepetitionErrors = 0;     // 2.3a: PCRs of one PID further apart in the stream than 40 ms
  std::uint64_t pcrDiscontinuityErrors = 0;  // 2.3b: an unflagged PCR value step back or beyond 100 ms
  std::uint64_t pcrAccuracyErrors = 0;       // 2.4: a PCR beyond 500 ns of what its position says, at a constant rate
  std::uint64_t pcrAccuracyJudged = 0;       // PCRs measured for 2.4: 0 when the rate was never constant
  // RTP
  std::uint64_t rtpDatagrams = 0;
  std::uint64_t rtpGaps = 0;       // forward jumps of the sequence number not filled by late datagrams
  std::uint64_t rtpLost = 0;       // expected (from the highest number) minus received
  std::uint64_t rtpReordered = 0;  // came late: not lost
  // Clock
  std::optional<std::uint16_t> pcrPid;  // the first PID that carried it
  std::vector<ClockHandOver> clockHandOvers;
  std::optional<double> durationSeconds;
  std::optional<double> estimatedSeconds;  // of the duration, run on the last rate without a PCR
  std::optional<double> bitrateBps;
  std::vector<PidReport> pids;  // every PID seen, ascending

  bool priority1Ok() const {
    return tsSyncLoss == 0 && syncByteErrors == 0 && patErrors == 0 && ccErrors == 0 && pmtErrors == 0 &&
           pidErrors == 0;
  }
  // The verdict: data without a single packet is no clean stream either.
  bool ok() const { return packets > 0 && priority1Ok(); }
};

}  // namespace pelorin::tools
