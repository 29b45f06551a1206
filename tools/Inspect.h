// pelorin-inspect's analyser: reads any MPEG transport stream, plain or
// RTP-wrapped, and counts the ETSI TR 101 290 priority-1 faults, CRC and PCR
// repetition faults of priority 2, and per-PID packets, continuity errors and
// bit rates.
//
// Framing: sync is acquired at five packets in a row that start with 0x47
// (fewer at the very end of the data, when they run exactly to it), and lost at
// two bad sync bytes in a row. RTP is recognised by itself: a version-2 header
// where a packet is expected, followed by such a run and, after the datagram's
// packets, by another header of the same source. Once RTP is seen, headers with
// the same SSRC and payload type are taken wherever a packet may start.
//
// Time: the PCRs of the first PID that carries any are the clock. Every
// time-based check reads that clock, so nothing depends on how fast the file
// is read. Without any PCR the time-based checks are off.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "pipeline/TsContinuity.h"

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

struct InspectReport {
  std::uint64_t bytes = 0;
  std::uint64_t packets = 0;        // 188-byte packets framed, bad sync bytes included
  std::uint64_t skippedBytes = 0;   // passed over while searching for sync
  std::uint64_t trailingBytes = 0;  // a cut-off packet at the end
  // Priority 1
  std::uint64_t tsSyncLoss = 0;
  std::uint64_t syncByteErrors = 0;
  std::uint64_t patErrors = 0;
  std::uint64_t ccErrors = 0;
  std::uint64_t pmtErrors = 0;
  std::uint64_t pidErrors = 0;
  // Priority 2
  std::uint64_t crcErrors = 0;
  std::uint64_t pcrRepetitionErrors = 0;
  // RTP
  bool rtp = false;
  std::uint64_t rtpDatagrams = 0;
  std::uint64_t rtpGaps = 0;  // forward jumps of the sequence number
  std::uint64_t rtpLost = 0;  // datagrams those jumps skip
  // Clock
  std::optional<std::uint16_t> pcrPid;
  std::optional<double> durationSeconds;
  std::optional<double> bitrateBps;
  std::vector<PidReport> pids;  // every PID seen, ascending

  bool priority1Ok() const {
    return tsSyncLoss == 0 && syncByteErrors == 0 && patErrors == 0 && ccErrors == 0 && pmtErrors == 0 &&
           pidErrors == 0;
  }
};

class Inspector {
 public:
  // A caller of scan() that is not at the end keeps at least this many bytes
  // unconsumed: what the search for sync may look ahead (across a whole datagram
  // when a new RTP source has to prove itself).
  static constexpr std::size_t kLookahead = 72 * 1024;

  explicit Inspector(const InspectOptions& options = {});

  // Receives every 188-byte packet framed, in order, as it is in the input
  // (for writing the plain stream out of an RTP-wrapped one).
  void setPacketSink(std::function<void(const std::uint8_t*)> sink) { sink_ = std::move(sink); }

  // Analyses data[0, size) and returns how many bytes it consumed. Unless
  // `end`, it stops kLookahead bytes short of the end, and the caller hands
  // the rest in again with more data after it. With `end` it consumes all.
  std::size_t scan(const std::uint8_t* data, std::size_t size, bool end);

  // The same for data in pieces of any size, buffered here.
  void feed(const std::uint8_t* data, std::size_t size);

  InspectReport finish();

 private:
  enum class Chain { Yes, No, NeedMore };
  struct RtpId {
    std::uint8_t payloadType = 0;
    std::uint32_t ssrc = 0;
  };
  enum class Watch : std::uint8_t { Pat, Pmt, Pid };
  struct Watched {
    Watch kind;
    std::uint16_t pid;
    std::uint64_t armedAt;
    std::uint64_t flaggedFrom;  // start of the gap already counted
  };
  struct PidState {
    std::uint64_t packets = 0;
    std::uint64_t ccErrors = 0;
    std::uint64_t lastAt = 0;       // clock at its last packet
    std::uint64_t lastTableAt = 0;  // clock at its last good PAT/PMT section
    std::uint64_t lastPcr = 0;
    bool hasPcr = false;
    bool tableSeen = false;
    std::uint8_t role = 0;  // kRolePat / kRolePmt: sections are read from it
  };

  std::size_t rtpHeaderSize(const std::uint8_t* d, std::size_t avail, RtpId* id) const;
  std::size_t matchingRtpHeader(const std::uint8_t* d, std::size_t avail) const;
  Chain chainAt(const std::uint8_t* d, std::size_t size, std::size_t pos, bool end, RtpId* firstHeader) const;
  void rtpHeader(const std::uint8_t* h);
  void packet(const std::uint8_t* p);
  void pcr(std::uint16_t pid, const std::uint8_t* p, bool discontinuity);
  void psiPayload(std::uint16_t pid, const std::uint8_t* p, CcVerdict verdict);
  void section(std::uint16_t pid, const std::uint8_t* s, std::size_t size);
  void rebuildWatches();
  void checkWatches();

  InspectOptions options_;
  std::function<void(const std::uint8_t*)> sink_;
  std::vector<std::uint8_t> pending_;  // feed()'s carry-over

  InspectReport r_;
  bool inSync_ = false;
  bool skipping_ = false;  // inside a run of skipped bytes, already counted as a sync loss
  RtpId rtpId_;
  bool haveSeq_ = false;
  std::uint16_t lastSeq_ = 0;

  std::array<PidState, 8192> pids_{};
  ContinuityTracker continuity_;
  std::map<std::uint16_t, std::vector<std::uint8_t>> sections_;  // partial sections per PSI PID
  std::uint64_t validPackets_ = 0;

  // The PCR clock, in 27 MHz ticks since its first PCR.
  bool haveClock_ = false;
  std::uint16_t clockPid_ = 0;
  std::uint64_t clockLast_ = 0;
  std::uint64_t clockPacket_ = 0;  // packet count at the clock's last PCR
  std::uint64_t now_ = 0;
  std::uint64_t timedTicks_ = 0;    // clock intervals taken as time
  std::uint64_t timedPackets_ = 0;  // packets within those intervals

  // Programs from the PAT (per section number) and their elementary PIDs from the PMTs.
  std::uint8_t patVersion_ = 0xFF;
  std::map<std::uint8_t, std::vector<std::pair<std::uint16_t, std::uint16_t>>> patSections_;
  std::map<std::uint16_t, std::uint32_t> patCrc_;  // section number -> last CRC read
  std::map<std::uint16_t, std::vector<std::uint16_t>> programPids_;  // program -> elementary PIDs
  std::map<std::uint16_t, std::uint32_t> pmtCrc_;                    // program -> last CRC read
  std::vector<Watched> watches_;
};

std::string toText(const InspectReport& report);
std::string toJson(const InspectReport& report);

}  // namespace pelorin::tools
