#include "StreamCheck.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <sstream>

namespace pelorin::tools {

bool IndexSet::insert(std::uint64_t index) {
  auto next = runs_.upper_bound(index);
  if (next != runs_.begin()) {
    auto prev = std::prev(next);
    if (prev->second >= index) return false;
    if (prev->second + 1 == index) {
      prev->second = index;
      if (next != runs_.end() && next->first == index + 1) {
        prev->second = next->second;
        runs_.erase(next);
      }
      return true;
    }
  }
  if (next != runs_.end() && next->first == index + 1) {
    // Grow the following run downwards, reusing its node.
    auto node = runs_.extract(next);
    node.key() = index;
    runs_.insert(std::move(node));
    return true;
  }
  runs_.emplace(index, index);
  return true;
}

bool IndexSet::contains(std::uint64_t index) const {
  auto next = runs_.upper_bound(index);
  if (next == runs_.begin()) return false;
  return std::prev(next)->second >= index;
}

IndexSet::RangeStats IndexSet::stats(std::uint64_t lo, std::uint64_t hi) const {
  RangeStats s;
  const bool emptyRange = lo > hi;
  std::uint64_t cur = lo;  // first index of [lo, hi] not yet accounted for
  bool reachedEnd = false;
  for (const auto& [a, b] : runs_) {
    if (emptyRange) {
      s.outside += b - a + 1;
      continue;
    }
    if (a < lo) s.outside += std::min(b, lo - 1) - a + 1;
    if (b > hi) s.outside += b - std::max(a, hi + 1) + 1;
    const std::uint64_t ca = std::max(a, lo);
    const std::uint64_t cb = std::min(b, hi);
    if (ca > cb || reachedEnd) continue;
    if (ca > cur) {
      ++s.gaps;
      s.missing += ca - cur;
    }
    if (cb == hi) {
      reachedEnd = true;
    } else {
      cur = cb + 1;
    }
  }
  if (!emptyRange && !reachedEnd) {
    ++s.gaps;
    s.missing += hi - cur + 1;
  }
  return s;
}

StreamChecker::StreamChecker(const CheckOptions& options)
    : options_(options),
      recordSize_(datagramSize(options.mode, options.rawSize)),
      expected_(recordSize_),
      partial_(recordSize_),
      nextAssumed_(options.expectFirst.value_or(0)) {}

void StreamChecker::feed(const std::uint8_t* data, std::size_t size) {
  if (recordSize_ == 0) return;
  if (partialSize_ > 0) {
    const std::size_t take = std::min(recordSize_ - partialSize_, size);
    std::memcpy(partial_.data() + partialSize_, data, take);
    partialSize_ += take;
    data += take;
    size -= take;
    if (partialSize_ < recordSize_) return;
    checkRecord(partial_.data());
    partialSize_ = 0;
  }
  while (size >= recordSize_) {
    checkRecord(data);
    data += recordSize_;
    size -= recordSize_;
  }
  if (size > 0) {
    std::memcpy(partial_.data(), data, size);
    partialSize_ = size;
  }
}

void StreamChecker::checkTsPackets(const std::uint8_t* record) {
  for (std::size_t pos = 0; pos < kTsPacketsPerDatagram; ++pos) {
    const std::uint8_t* pkt = record + pos * kTsPacketSize;
    if (pkt[0] != 0x47) {
      ++syncErrors_;
      continue;
    }
    if (continuity_.check(pkt) == CcVerdict::Error) ++ccErrors_;
  }
}

void StreamChecker::checkRecord(const std::uint8_t* record) {
  ++records_;
  std::optional<std::uint64_t> index;
  if (options_.mode == StreamMode::Ts) {
    checkTsPackets(record);
    index = tsDatagramIndex(record);
  } else if (recordSize_ >= 8) {
    index = getBe64(record);
  } else {
    // Too short to carry an index: assume the recording is contiguous.
    index = nextAssumed_++;
  }
  if (index) {
    writeDatagram(options_.mode, *index, expected_.data(), options_.rawSize);
    if (std::memcmp(expected_.data(), record, recordSize_) == 0) {
      acceptGood(*index);
      return;
    }
  }
  // A corrupt record's index cannot be trusted; it is placed from its neighbours.
  ++corrupt_;
  ++pendingUnknown_;
}

// Lets the corrupt records just before a good one fill the slots right below it,
// so that one damaged record is not also reported as a missing one.
void StreamChecker::creditUnknown(std::uint64_t below) {
  std::uint64_t floor = options_.expectFirst.value_or(0);
  if (haveGood_) {
    if (lastGood_ >= below) {
      pendingUnknown_ = 0;
      return;
    }
    floor = lastGood_ + 1;
  }
  std::uint64_t c = below;
  for (; pendingUnknown_ > 0 && c > floor; --pendingUnknown_) {
    --c;
    seen_.insert(c);
  }
  pendingUnknown_ = 0;
}

void StreamChecker::acceptGood(std::uint64_t index) {
  if (pendingUnknown_ > 0) creditUnknown(index);
  if (!seen_.insert(index)) {
    ++duplicates_;
  } else if (haveGood_ && index < maxGood_) {
    ++outOfOrder_;
  }
  if (!haveGood_) {
    minGood_ = maxGood_ = index;
  } else {
    minGood_ = std::min(minGood_, index);
    maxGood_ = std::max(maxGood_, index);
  }
  lastGood_ = index;
  haveGood_ = true;
}

CheckResult StreamChecker::finish() {
  CheckResult r;
  r.mode = options_.mode;
  r.recordSize = recordSize_;
  r.trailingBytes = partialSize_;
  partialSize_ = 0;

  // Corrupt records at the end follow the last good one.
  if (pendingUnknown_ > 0 && (haveGood_ || options_.expectFirst)) {
    std::uint64_t c = haveGood_ ? lastGood_ : *options_.expectFirst;
    bool first = !haveGood_;
    for (; pendingUnknown_ > 0; --pendingUnknown_) {
      if (!first) {
        if (c == UINT64_MAX) break;
        ++c;
      }
      first = false;
      seen_.insert(c);
    }
    pendingUnknown_ = 0;
  }

  r.datagrams = records_;
  r.corrupt = corrupt_;
  r.duplicates = duplicates_;
  r.outOfOrder = outOfOrder_;
  r.ccErrors = ccErrors_;
  r.syncErrors = syncErrors_;
  if (haveGood_) {
    r.first = minGood_;
    r.last = maxGood_;
  }

  const auto& count = options_.expectCount;
  if (seen_.empty()) {
    if (count && *count > 0) {
      r.gaps = 1;
      r.missing = *count;
    }
  } else {
    const std::uint64_t lo = options_.expectFirst.value_or(seen_.min());
    std::uint64_t hi;
    if (count) {
      hi = *count == 0 ? 0 : (lo > UINT64_MAX - (*count - 1) ? UINT64_MAX : lo + (*count - 1));
    } else {
      hi = seen_.max();
    }
    IndexSet::RangeStats s = (count && *count == 0) ? seen_.stats(1, 0) : seen_.stats(lo, hi);
    r.gaps = s.gaps;
    r.missing = s.missing;
    r.unexpected = s.outside;
  }

  r.ok = r.corrupt == 0 && r.missing == 0 && r.duplicates == 0 && r.outOfOrder == 0 &&
         r.unexpected == 0 && r.trailingBytes == 0 && r.ccErrors == 0 && r.syncErrors == 0;
  // An empty recording is a failed one, unless none was expected.
  if (r.datagrams == 0 && !(options_.expectCount && *options_.expectCount == 0)) r.ok = false;
  return r;
}

namespace {

std::string counted(std::uint64_t n, const char* singular, const char* plural) {
  return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

}  // namespace

std::string verdictLine(const CheckResult& r) {
  std::ostringstream out;
  out << (r.ok ? "OK: " : "FAIL: ") << counted(r.datagrams, "datagram", "datagrams");
  if (r.first) out << " " << *r.first << ".." << *r.last;
  if (!r.ok && r.datagrams == 0 && r.trailingBytes == 0) return out.str() + ": the recording holds no datagram";
  if (r.ok) {
    if (r.first) out << ", byte-exact";
    return out.str();
  }
  out << ", " << counted(r.gaps, "gap", "gaps") << " (" << r.missing << " missing), "
      << counted(r.duplicates, "duplicate", "duplicates") << ", " << r.corrupt << " corrupt";
  if (r.outOfOrder) out << ", " << r.outOfOrder << " out of order";
  if (r.unexpected) out << ", " << r.unexpected << " outside the expected range";
  if (r.trailingBytes) out << ", " << counted(r.trailingBytes, "trailing byte", "trailing bytes");
  if (r.ccErrors) out << ", " << counted(r.ccErrors, "cc error", "cc errors");
  if (r.syncErrors) out << ", " << counted(r.syncErrors, "sync error", "sync errors");
  return out.str();
}

std::string toJson(const CheckResult& r) {
  auto opt = [](const std::optional<std::uint64_t>& v) {
    return v ? std::to_string(*v) : std::string("null");
  };
  std::ostringstream out;
  out << "{\"ok\":" << (r.ok ? "true" : "false")
      << ",\"mode\":\"" << (r.mode == StreamMode::Ts ? "ts" : "raw") << "\""
      << ",\"record_size\":" << r.recordSize
      << ",\"datagrams\":" << r.datagrams
      << ",\"first\":" << opt(r.first)
      << ",\"last\":" << opt(r.last)
      << ",\"gaps\":" << r.gaps
      << ",\"missing\":" << r.missing
      << ",\"duplicates\":" << r.duplicates
      << ",\"out_of_order\":" << r.outOfOrder
      << ",\"corrupt\":" << r.corrupt
      << ",\"unexpected\":" << r.unexpected
      << ",\"trailing_bytes\":" << r.trailingBytes
      << ",\"cc_errors\":" << r.ccErrors
      << ",\"sync_errors\":" << r.syncErrors << "}";
  return out.str();
}

}  // namespace pelorin::tools
