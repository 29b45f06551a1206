// Reads the packets and RTP headers a TsFramer finds: continuity, PAT and
// PMT sections and their CRCs, the programs' PIDs, PCRs and the stream's
// clock, PCR accuracy (PcrAccuracy), RTP sequence numbers (loss and reordering as RFC 3550 A.3 counts
// them, in RtpCount). Owns every count but the framing's.
//
// Time: one clock for the whole stream (StreamClock) places every packet in
// time, and the PAT, PMT and PID checks measure the gaps between occurrences
// on it, so nothing depends on how fast the file is read. Since a packet's
// time is known only once the next PCR has come, occurrences wait by byte
// position until the clock places them. Without any PCR the time-based checks
// are off.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "InspectReport.h"
#include "PcrAccuracy.h"
#include "RtpCount.h"
#include "stream/StreamClock.h"
#include "TsFramer.h"
#include "stream/TsContinuity.h"

namespace pelorin::tools {

class TsAnalyser {
 public:
  explicit TsAnalyser(const InspectOptions& options);

  void take(const Frame& f) {
    if (f.kind == Frame::Kind::Packet) {
      ++framed_;
      packet(f.data, f.at);
    } else if (f.kind == Frame::Kind::RtpHeader) {
      if (!rtp_.take(f)) accuracy_.disturbed();
    } else {  // a packet with a bad sync byte cannot be trusted: not read
      ++framed_;
      accuracy_.disturbed();
    }
  }

  // At the end of the input, `end` bytes long: fills in everything but the
  // framing counts.
  void finish(std::uint64_t end, InspectReport* report);

 private:
  enum class Watch : std::uint8_t { Pat, Pmt, Pid };
  // The widest gaps between occurrences kept while a stretch waits for the
  // clock: a stretch that two PCRs place spans at most StreamClock::kMaxStep,
  // room for fewer than 20 silences of 0.5 s; the rest is for a stretch run
  // on the last rate after the clock's last PCR (up to 64 silences counted).
  static constexpr std::size_t kGaps = 64;
  // A PAT, a PMT or a PID that must recur within its limit.
  struct Watched {
    Watch kind;
    std::uint16_t pid;
    bool counted = false;  // any error counted
    bool placed = false;   // `last` holds a time
    bool flagged = false;
    bool pending = false;  // occurrences at bytes the clock has not placed yet
    double last = 0;         // time of the last occurrence placed (its arming at first)
    double flaggedFrom = 0;  // `last` of the silence already counted
    std::uint8_t gapCount = 0;
    std::uint8_t narrowest = 0;  // the smallest of the gaps kept, once kGaps are
    std::uint64_t first = 0;     // pending: the first occurrence's byte,
    std::uint64_t latest = 0;    // the last one's,
    std::array<std::uint64_t, kGaps> gaps{};  // and the widest gaps between them, in bytes
  };
  struct PidState {
    std::uint64_t packets = 0;
    std::uint64_t ccErrors = 0;
    std::uint64_t lastPcr = 0;
    std::uint64_t lastPcrAt = 0;  // its byte
    bool hasPcr = false;
    bool pcrLate = false;  // the repetition error of the current wait is counted
    bool tableSeen = false;
    std::uint8_t role = 0;    // kRolePat / kRolePmt: sections are read from it
    std::int16_t watch = -1;  // its entry in watches_ when a PMT names it
  };

  void packet(const std::uint8_t* p, std::uint64_t at);
  void pcr(std::uint16_t pid, const std::uint8_t* p, bool discontinuity);
  void psiPayload(std::uint16_t pid, const std::uint8_t* p, CcVerdict verdict);
  void section(std::uint16_t pid, const std::uint8_t* s, std::size_t size);
  void rebuildWatches();
  static void occur(Watched& w, std::uint64_t at);
  double limit(const Watched& w) const;
  void count(Watched& w);
  void silence(Watched& w, double from, double to);
  void place(const StreamClock::Line& line);

  double pidLimit_;  // in ticks
  InspectReport r_;

  RtpCount rtp_;
  PcrAccuracy accuracy_;
  std::uint64_t framed_ = 0;  // packets framed, bad sync bytes included: the position PCR accuracy counts in

  std::array<PidState, 8192> pids_{};
  ContinuityTracker continuity_;
  std::map<std::uint16_t, std::vector<std::uint8_t>> sections_;  // partial sections per PSI PID
  std::uint64_t validPackets_ = 0;
  std::uint64_t at_ = 0;  // byte position of the packet being read

  StreamClock clock_;
  std::uint64_t firstPackets_ = 0;    // packets up to the clock's first PCR
  std::uint64_t coveredPackets_ = 0;  // up to the end of the time it covers

  // Programs from the PAT (per section number) and their elementary PIDs from the PMTs.
  std::uint8_t patVersion_ = 0xFF;
  std::map<std::uint8_t, std::vector<std::pair<std::uint16_t, std::uint16_t>>> patSections_;
  std::map<std::uint16_t, std::uint32_t> patCrc_;  // section number -> last CRC read
  std::map<std::uint16_t, std::vector<std::uint16_t>> programPids_;  // program -> PCR and elementary PIDs
  std::map<std::uint16_t, std::uint32_t> pmtCrc_;                    // program -> last CRC read
  std::vector<Watched> watches_;
};

}  // namespace pelorin::tools
