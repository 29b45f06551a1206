#include "stream/TsContinuity.h"

#include "stream/TsPacket.h"

namespace pelorin {

void ContinuityTracker::reset() { state_.fill(State{}); }

CcVerdict ContinuityTracker::check(const std::uint8_t* p) {
  const unsigned pid = TsPid(p);
  if (pid == kNullPid) return CcVerdict::NotChecked;
  State& s = state_[pid];
  if (TsDiscontinuity(p)) s.last = -1;
  if (!TsHasPayload(p)) return CcVerdict::NotChecked;

  const auto cc = static_cast<std::int8_t>(TsContinuityCounter(p));
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
