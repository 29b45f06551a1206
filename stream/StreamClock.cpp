#include "stream/StreamClock.h"

#include "stream/TsPacket.h"

#include <algorithm>
#include <cmath>

namespace pelorin {

namespace {

std::uint64_t forward(std::uint64_t from, std::uint64_t to) { return PcrForward(from, to); }

bool plausible(std::uint64_t step, bool discontinuity) {
  return !discontinuity && step > 0 && step <= StreamClock::kMaxStep;
}

}  // namespace

void StreamClock::close(std::uint64_t at, double tau, bool real, Line* placed) {
  placed->at = anchorAt_;
  placed->tau = anchorTau_;
  placed->ticksPerByte =
      at > anchorAt_ ? (tau - anchorTau_) / static_cast<double>(at - anchorAt_) : ticksPerByte_;
  placed->to = at;
  placed->toTau = tau;
  coveredAt_ = at;
  coveredTau_ = tau;
  if (!real) return;
  // Other PIDs' PCRs in the stretch now have a time: their way into the clock
  // should this PID stop.
  for (const std::uint16_t pid : otherPids_) {
    Other& o = others_[pid];
    if (!o.pending || o.at > at) continue;
    o.pending = false;
    o.haveRef = true;
    o.refAt = o.at;
    o.refValue = o.value;
    o.refTau = placed->time(o.at);
  }
}

void StreamClock::settle(std::uint64_t at, std::uint64_t value, double tau, bool real, Line* placed) {
  close(at, tau, real, placed);
  pcrAt_ = at;
  pcrValue_ = value;
  pcrTau_ = tau;
  anchorAt_ = at;
  anchorTau_ = tau;
}

bool StreamClock::pcr(std::uint16_t pid, std::uint64_t value, bool discontinuity, std::uint64_t at, Line* placed) {
  if (!started_) {
    started_ = true;
    firstPid_ = pid_ = pid;
    firstAt_ = coveredAt_ = pcrAt_ = anchorAt_ = at;
    pcrValue_ = value;
    return false;
  }
  if (pid != pid_) return otherPcr(pid, value, discontinuity, at, placed);

  const std::uint64_t step = forward(pcrValue_, value);
  double tau = 0;
  bool real = false;
  const bool jumped = haveRate_ && step > kMaxUnaccountedStep &&
                      static_cast<double>(step) > 2 * static_cast<double>(at - pcrAt_) * ticksPerByte_;
  if (plausible(step, discontinuity) && !jumped) {
    ticksPerByte_ = static_cast<double>(step) / static_cast<double>(at - pcrAt_);
    haveRate_ = true;
    tau = pcrTau_ + static_cast<double>(step);
    real = true;
  } else if (haveRate_) {
    // A new time base: the bytes up to it at the last rate.
    tau = anchorTau_ + static_cast<double>(at - anchorAt_) * ticksPerByte_;
    estimatedTicks_ += tau - anchorTau_;
  } else {
    // A new time base before any rate: what came before waits for the first one.
    pcrAt_ = anchorAt_ = at;
    pcrValue_ = value;
    return false;
  }
  settle(at, value, tau, real, placed);
  return true;
}

bool StreamClock::otherPcr(std::uint16_t pid, std::uint64_t value, bool discontinuity, std::uint64_t at,
                           Line* placed) {
  if (others_.empty()) others_.resize(8192);
  Other& o = others_[pid];
  if (!o.seen) otherPids_.push_back(pid);
  const std::uint64_t step = forward(o.value, value);
  const bool chained = o.seen && plausible(step, discontinuity);
  const double ownRate = chained ? static_cast<double>(step) / static_cast<double>(at - o.at) : 0;
  if (!chained) o.haveRef = false;
  o.seen = true;
  o.pending = true;
  o.at = at;
  o.value = value;

  double tau = 0;
  bool real = false;
  if (!haveRate_) {
    // The clock's PID has not measured a rate yet; this one has.
    if (!chained) return false;
    ticksPerByte_ = ownRate;
    haveRate_ = true;
    tau = anchorTau_ + static_cast<double>(at - anchorAt_) * ticksPerByte_;
  } else {
    const std::uint64_t sinceRef = forward(o.refValue, value);
    const bool mapped = o.haveRef && sinceRef < kPcrWrap / 2;
    if (mapped) {
      // By this PID's time the clock's PID has stopped, or has gone on past
      // the repetition limit without its PCR.
      const double mappedTau = o.refTau + static_cast<double>(sinceRef);
      const bool wentOn = carriedAt_ > pcrAt_ &&
                          static_cast<double>(carriedAt_ - pcrAt_) * ticksPerByte_ > kRepetitionTicks;
      const double limit = wentOn ? kRepetitionTicks : kHandOverTicks;
      if (mappedTau - pcrTau_ <= limit + 1) return false;
      tau = std::max(mappedTau, anchorTau_);
      real = true;
    } else {
      // A PID none of whose PCRs the clock has placed (it began after the
      // clock's last PCR): it takes over once that PCR is long past by the
      // last rate, the time between estimated.
      tau = anchorTau_ + static_cast<double>(at - anchorAt_) * ticksPerByte_;
      if (tau - pcrTau_ <= kHandOverTicks) return false;
      estimatedTicks_ += tau - anchorTau_;
    }
    if (chained) ticksPerByte_ = ownRate;
  }
  settle(at, value, tau, real, placed);
  handOvers_.push_back({pid, tau});
  carriedAt_ = 0;
  o = Other{true, false, false, at, value, 0, 0, 0};
  pid_ = pid;
  return true;
}

bool StreamClock::finish(std::uint64_t end, Line* placed) {
  if (!haveRate_ || end <= anchorAt_) return false;
  const double tau = anchorTau_ + static_cast<double>(end - anchorAt_) * ticksPerByte_;
  const bool wentOn =
      carriedAt_ > anchorAt_ && static_cast<double>(carriedAt_ - anchorAt_) * ticksPerByte_ > kWentOnTicks;
  if (tau - anchorTau_ > kStoppedTicks || wentOn) {
    estimatedTicks_ += tau - anchorTau_;
    close(end, tau, false, placed);
    return true;
  }
  // The usual few PCR intervals' worth after the last PCR: placed for the
  // checks, not counted as covered.
  *placed = Line{anchorAt_, anchorTau_, ticksPerByte_, end, tau};
  return true;
}

}  // namespace pelorin
