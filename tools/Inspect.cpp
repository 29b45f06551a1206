#include "Inspect.h"

namespace pelorin::tools {

std::size_t Inspector::scan(const std::uint8_t* data, std::size_t size, bool end) {
  framer_.begin(data, size, end);
  Frame f;
  while (framer_.next(&f)) {
    if (sink_ && f.kind != Frame::Kind::RtpHeader) sink_(f.data);
    analyser_.take(f);
  }
  return framer_.consumed();
}

void Inspector::feed(const std::uint8_t* data, std::size_t size) {
  pending_.insert(pending_.end(), data, data + size);
  if (pending_.size() < 4 * kLookahead) return;
  const std::size_t used = scan(pending_.data(), pending_.size(), false);
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
}

InspectReport Inspector::finish() {
  scan(pending_.data(), pending_.size(), true);
  pending_.clear();
  InspectReport r;
  analyser_.finish(framer_.counts().bytes, &r);
  static_cast<FramingCounts&>(r) = framer_.counts();
  return r;
}

}  // namespace pelorin::tools
