#include "RtpCount.h"

namespace pelorin::tools {

bool RtpCount::take(const Frame& f) {
  ++datagrams_;
  if (f.newSource) {
    lostBefore_ += sequence_.Lost();
    reorderedBefore_ += sequence_.Reordered();
    sequence_ = RtpSequence{};
    openGaps_.clear();
  }
  // A damaged header is taken for the next datagram.
  const std::uint16_t n = f.damaged ? static_cast<std::uint16_t>(highest_ + 1) : RtpSequenceNumber(f.data);
  const std::uint16_t before = highest_;
  const RtpSequence::Arrival arrival = sequence_.Add(n);
  switch (arrival) {
    case RtpSequence::Arrival::Gap:
      ++gaps_;
      if (openGaps_.size() == kOpenGaps) openGaps_.erase(openGaps_.begin());
      openGaps_.push_back({static_cast<std::uint16_t>(before + 1), static_cast<std::uint16_t>(n - before - 1), 0});
      highest_ = n;
      break;
    case RtpSequence::Arrival::First:  // also a sender that started again
      openGaps_.clear();
      highest_ = n;
      break;
    case RtpSequence::Arrival::InOrder:
      highest_ = n;
      break;
    case RtpSequence::Arrival::Late:
      // A jump whose every skipped datagram came late was no gap.
      for (auto it = openGaps_.begin(); it != openGaps_.end(); ++it) {
        if (static_cast<std::uint16_t>(n - it->from) >= it->count) continue;
        if (++it->filled == it->count) {
          --gaps_;
          openGaps_.erase(it);
        }
        break;
      }
      break;
    default:
      break;
  }
  return arrival == RtpSequence::Arrival::InOrder;
}

}  // namespace pelorin::tools
