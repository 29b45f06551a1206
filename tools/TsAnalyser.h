// Reads the packets and RTP headers a TsFramer finds: continuity, PAT and
// PMT sections and their CRCs, the programs' PIDs, PCRs and the stream's
// clock, RTP sequence numbers. Owns every count but the framing's.
//
// Time: the PCRs of the first PID that carries any are the clock. Every
// time-based check reads that clock, so nothing depends on how fast the file
// is read. Without any PCR the time-based checks are off.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "InspectReport.h"
#include "TsFramer.h"
#include "pipeline/TsContinuity.h"

namespace pelorin::tools {

class TsAnalyser {
 public:
  explicit TsAnalyser(const InspectOptions& options);

  void take(const Frame& f) {
    if (f.kind == Frame::Kind::Packet) {
      packet(f.data, f.at);
    } else if (f.kind == Frame::Kind::RtpHeader) {
      rtpHeader(f);
    }  // a packet with a bad sync byte cannot be trusted: not read
  }

  // At the end of the input, `end` bytes long: fills in everything but the
  // framing counts.
  void finish(std::uint64_t end, InspectReport* report);

 private:
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

  void packet(const std::uint8_t* p, std::uint64_t at);
  void rtpHeader(const Frame& f);
  void pcr(std::uint16_t pid, const std::uint8_t* p, bool discontinuity);
  void psiPayload(std::uint16_t pid, const std::uint8_t* p, CcVerdict verdict);
  void section(std::uint16_t pid, const std::uint8_t* s, std::size_t size);
  void rebuildWatches();
  void checkWatches();

  InspectOptions options_;
  InspectReport r_;
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

}  // namespace pelorin::tools
