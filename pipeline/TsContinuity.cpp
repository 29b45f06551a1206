#include "pipeline/TsContinuity.h"

namespace pelorin {

void ContinuityTracker::reset() { state_.fill(State{}); }

CcVerdict ContinuityTracker::check(const std::uint8_t* p) {
  const unsigned pid = ((p[1] & 0x1Fu) << 8) | p[2];
  if (pid == 0x1FFF) return CcVerdict::NotChecked;
  const unsigned control = (p[3] >> 4) & 0x3u;
  const bool discontinuity = (control & 0x2u) && p[4] > 0 && (p[5] & 0x80u);
  State& s = state_[pid];
  if (discontinuity) s.last = -1;
  if ((control & 0x1u) == 0) return CcVerdict::NotChecked;

  const auto cc = static_cast<std::int8_t>(p[3] & 0x0F);
  if (s.last < 0 || cc == ((s.last + 1) & 0x0F)) {
    s.last = cc;
    s.duplicated = false;
    return CcVerdict::Ok;
  }
  if (cc == s.last) {
    if (s.duplicated) return CcVerdict::Error;
    s.duplicated = true;
    return CcVerdict::Duplicate;
  }
  s.last = cc;
  s.duplicated = false;
  return CcVerdict::Error;
}

}  // namespace pelorin
