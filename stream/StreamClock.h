// The time of a transport stream at any byte, as a decoder keeps it: PCRs
// give the time at their packets, and the bytes between two PCRs of one PID
// are placed in time by interpolation, at the transport rate those two PCRs
// measure, however many bytes (padding or not) lie between them.
// Times are in 27 MHz ticks, 0 at the first PCR; they never run back.
//
// A byte's time is only known once the next PCR has come, so the clock hands
// its time out in stretches (Line): whenever a stretch of bytes is placed, the
// caller gets the straight line that places it. A stretch waits for the next
// PCR as long as it takes; the estimate is only for bytes no later PCR places.
//
// When the PID that carries the clock stops, or goes on carrying packets
// without its PCR past the repetition limit, the clock goes on from another
// PID's PCRs, mapped through a PCR of that PID whose time was already known.
// With no other PID, bytes that no later PCR of the time base places (a new
// time base follows, or the data ends) are placed by the last measured rate
// and counted as estimated. A flagged discontinuity or an implausible step
// starts a new time base.
#pragma once

#include <cstdint>
#include <vector>

namespace pelorin {

class StreamClock {
 public:
  // Bytes in [from, to) are at tau + (byte - at) * ticksPerByte. `from` may lie
  // before `at`: bytes before the first PCR are placed by the first rate.
  struct Line {
    std::uint64_t at = 0;
    double tau = 0;
    double ticksPerByte = 0;
    std::uint64_t to = 0;
    double toTau = 0;
    double time(std::uint64_t byte) const {
      return tau + (static_cast<double>(byte) - static_cast<double>(at)) * ticksPerByte;
    }
  };
  struct HandOver {
    std::uint16_t pid;
    double tau;  // when it took over
  };

  static constexpr double kTicksPerSecond = 27e6;
  // A step back, or forward by more than this, without the discontinuity
  // flag, is a new time base rather than time that passed.
  static constexpr std::uint64_t kMaxStep = 10 * 27'000'000ull;
  // A step forward beyond this that the bytes since the last PCR, at the
  // last rate, account for less than half of, is a new time base as well:
  // the value jumped, time did not pass.
  static constexpr std::uint64_t kMaxUnaccountedStep = 27'000'000ull / 10;
  // A clock PID silent this long (by another PID's PCRs) has stopped.
  static constexpr double kHandOverTicks = 0.5 * kTicksPerSecond;
  // A clock PID that went on carrying packets past the repetition limit after
  // its last PCR (by the bytes at the last rate) has stopped its PCRs once
  // another PID's PCRs show that limit passed.
  static constexpr double kRepetitionTicks = 0.040 * kTicksPerSecond;
  // By the byte position alone, at the last pair's rate, the same limits
  // with a margin for a variable rate, which may run several times that
  // rate: they decide whether the bytes after the last PCR at the end count
  // as estimated time.
  static constexpr double kStoppedTicks = 1.0 * kTicksPerSecond;
  static constexpr double kWentOnTicks = 4 * kRepetitionTicks;

  // A PCR of `pid` in the packet at byte `at`. Returns true and sets `placed`
  // when bytes up to `at` got their time.
  bool pcr(std::uint16_t pid, std::uint64_t value, bool discontinuity, std::uint64_t at, Line* placed);

  // A packet of the clock's PID without a PCR, at byte `at`.
  void carried(std::uint64_t at) {
    carriedAt_ = at;
  }

  // At the end of the data: places the bytes after the last PCR by the last
  // rate, if there is one. They count towards the covered (and estimated)
  // time only when the clock had stopped: its PID silent, or going on
  // without its PCR, past the limits above.
  bool finish(std::uint64_t end, Line* placed);

  bool started() const { return started_; }
  // The PID that carries the clock now.
  std::uint16_t pid() const { return pid_; }
  bool timed() const { return haveRate_; }
  // The last measured rate; 0 before timed().
  double ticksPerByte() const { return ticksPerByte_; }
  std::uint16_t firstPid() const { return firstPid_; }
  const std::vector<HandOver>& handOvers() const { return handOvers_; }
  // Time from the first PCR to the last placed byte that counts, and the
  // byte where that time ends.
  double coveredTicks() const { return coveredTau_; }
  std::uint64_t coveredTo() const { return coveredAt_; }
  std::uint64_t firstAt() const { return firstAt_; }
  double estimatedTicks() const { return estimatedTicks_; }

 private:
  struct Other {
    bool seen = false;
    bool pending = false;   // its last PCR is not placed yet
    bool haveRef = false;   // a placed PCR, and only plausible steps since
    std::uint64_t at = 0;   // its last PCR
    std::uint64_t value = 0;
    std::uint64_t refAt = 0;
    std::uint64_t refValue = 0;
    double refTau = 0;
  };

  // Ends the open stretch at byte `at`, time `tau`; `real` when PCRs placed it.
  void close(std::uint64_t at, double tau, bool real, Line* placed);
  // Closes the open stretch at a PCR of `value` placed at `tau`, which
  // becomes the clock's last PCR and the anchor of the next stretch.
  void settle(std::uint64_t at, std::uint64_t value, double tau, bool real, Line* placed);
  bool otherPcr(std::uint16_t pid, std::uint64_t value, bool discontinuity, std::uint64_t at, Line* placed);

  bool started_ = false;
  std::uint16_t firstPid_ = 0;
  std::uint16_t pid_ = 0;
  std::uint64_t firstAt_ = 0;
  // The clock PID's last PCR taken.
  std::uint64_t pcrAt_ = 0;
  std::uint64_t pcrValue_ = 0;
  double pcrTau_ = 0;
  // Where the stretch not yet placed begins: the last PCR placed.
  std::uint64_t anchorAt_ = 0;
  double anchorTau_ = 0;
  bool haveRate_ = false;
  double ticksPerByte_ = 0;  // from the last two PCRs of one PID
  std::uint64_t carriedAt_ = 0;  // the clock PID's last packet without a PCR

  double coveredTau_ = 0;
  std::uint64_t coveredAt_ = 0;
  double estimatedTicks_ = 0;
  std::vector<HandOver> handOvers_;
  std::vector<Other> others_;  // by PID, made at the first other PID's PCR
  std::vector<std::uint16_t> otherPids_;
};

}  // namespace pelorin
