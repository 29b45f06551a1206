// RTP sequence numbers as pelorin-inspect counts them, per source: loss and
// reordering as RFC 3550 A.3 counts them, and gaps (forward jumps whose
// skipped datagrams did not all come late).
#pragma once

#include <cstdint>
#include <vector>

#include "TsFramer.h"
#include "stream/RtpSequence.h"

namespace pelorin::tools {

class RtpCount {
 public:
  // An RTP header the framer found; false unless it came next in sequence.
  bool take(const Frame& f);

  std::uint64_t datagrams() const { return datagrams_; }
  std::uint64_t gaps() const { return gaps_; }
  std::uint64_t lost() const { return lostBefore_ + sequence_.Lost(); }
  std::uint64_t reordered() const { return reorderedBefore_ + sequence_.Reordered(); }

 private:
  static constexpr std::size_t kOpenGaps = 32;  // recent jumps that late datagrams may still fill
  struct OpenGap {
    std::uint16_t from, count, filled;
  };
  std::uint64_t datagrams_ = 0;
  std::uint64_t gaps_ = 0;
  RtpSequence sequence_;
  std::uint16_t highest_ = 0;
  std::vector<OpenGap> openGaps_;
  // The figures of the sources before the current one.
  std::uint64_t lostBefore_ = 0;
  std::uint64_t reorderedBefore_ = 0;
};

}  // namespace pelorin::tools
