// Replaying a transport stream file: the mapped file and the clock its PCRs give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelorin::tools {

// A read-only mapping of a transport stream file, cut to whole 188-byte packets.
class TsFile {
 public:
  explicit TsFile(const std::string& path);  // throws std::runtime_error
  ~TsFile();
  TsFile(const TsFile&) = delete;
  TsFile& operator=(const TsFile&) = delete;

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }  // whole packets only

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t mappedSize_ = 0;
  std::size_t size_ = 0;
};

// Maps byte offsets of a stream to the time they are due, from the PCRs of the
// first PID that carries any. Between two PCRs time runs linearly with bytes;
// before the first and after the last the neighbouring segment's rate is
// extended. Jumps back or of more than a second (and flagged discontinuities)
// are bridged at the previous rate so that time only moves forward. The file
// is scanned lazily, only as far as the offsets asked for.
class PcrTimeline {
 public:
  PcrTimeline(const std::uint8_t* data, std::size_t size);

  // Seconds after the first byte at which the byte at `offset` (0..size) is due,
  // or nothing when the file has fewer than two usable PCRs.
  std::optional<double> timeAt(std::uint64_t offset);

 private:
  struct Point {
    std::uint64_t offset;
    double seconds;
  };
  void scanUntil(std::uint64_t offset);
  void addPcr(std::uint64_t offset, std::uint64_t pcr, bool discontinuity);

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t scanPos_ = 0;
  int pcrPid_ = -1;
  std::uint64_t lastPcr_ = 0;
  std::vector<Point> points_;
  std::size_t segment_ = 0;  // cursor: the last lookup's segment
};

}  // namespace pelorin::tools
