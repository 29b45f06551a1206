// Verifies a recording of the test stream record by record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "StreamPattern.h"
#include "stream/TsContinuity.h"

namespace pelorin::tools {

struct CheckOptions {
  StreamMode mode = StreamMode::Ts;
  std::size_t rawSize = kDefaultRawSize;  // raw mode only, 1..kMaxUdpPayload
  std::optional<std::uint64_t> expectFirst;
  std::optional<std::uint64_t> expectCount;
};

struct CheckResult {
  bool ok = false;
  std::uint64_t datagrams = 0;  // whole records in the file, corrupt ones included
  std::optional<std::uint64_t> first;  // lowest / highest index of a byte-exact record
  std::optional<std::uint64_t> last;
  std::uint64_t gaps = 0;      // runs of missing indexes
  std::uint64_t missing = 0;   // indexes those runs cover
  std::uint64_t duplicates = 0;
  std::uint64_t outOfOrder = 0;
  std::uint64_t corrupt = 0;
  std::uint64_t unexpected = 0;  // indexes outside the --expect-first/--expect-count range
  std::uint64_t trailingBytes = 0;
  std::uint64_t ccErrors = 0;
  std::uint64_t syncErrors = 0;
  StreamMode mode = StreamMode::Ts;
  std::size_t recordSize = 0;
};

// The set of indexes seen, kept as closed intervals: an in-order recording
// only ever extends the last one, so memory does not grow with the file.
class IndexSet {
 public:
  bool insert(std::uint64_t index);  // false if already present
  bool contains(std::uint64_t index) const;
  bool empty() const { return runs_.empty(); }
  std::uint64_t min() const { return runs_.begin()->first; }
  std::uint64_t max() const { return runs_.rbegin()->second; }

  struct RangeStats {
    std::uint64_t missing = 0;
    std::uint64_t gaps = 0;
    std::uint64_t outside = 0;
  };
  // Missing indexes and their runs inside [lo, hi], and indexes present outside it.
  // An empty range (lo > hi) counts everything as outside.
  RangeStats stats(std::uint64_t lo, std::uint64_t hi) const;

 private:
  std::map<std::uint64_t, std::uint64_t> runs_;  // first -> last, disjoint, not adjacent
};

class StreamChecker {
 public:
  explicit StreamChecker(const CheckOptions& options);

  std::size_t recordSize() const { return recordSize_; }
  // Accepts the file in pieces of any size.
  void feed(const std::uint8_t* data, std::size_t size);
  CheckResult finish();

 private:
  void checkRecord(const std::uint8_t* record);
  void checkTsPackets(const std::uint8_t* record);
  void acceptGood(std::uint64_t index);
  void creditUnknown(std::uint64_t below);

  CheckOptions options_;
  std::size_t recordSize_;
  std::vector<std::uint8_t> expected_;
  std::vector<std::uint8_t> partial_;
  std::size_t partialSize_ = 0;

  IndexSet seen_;
  std::uint64_t records_ = 0;
  std::uint64_t corrupt_ = 0;
  std::uint64_t duplicates_ = 0;
  std::uint64_t outOfOrder_ = 0;
  bool haveGood_ = false;
  std::uint64_t lastGood_ = 0;
  std::uint64_t minGood_ = 0;
  std::uint64_t maxGood_ = 0;
  std::uint64_t pendingUnknown_ = 0;  // corrupt records since the last good one
  std::uint64_t nextAssumed_ = 0;     // raw records too short to carry an index

  ContinuityTracker continuity_;
  std::uint64_t ccErrors_ = 0;
  std::uint64_t syncErrors_ = 0;
};

std::string verdictLine(const CheckResult& result);
std::string toJson(const CheckResult& result);

}  // namespace pelorin::tools
