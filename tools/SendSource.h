// Where pelorin-send's datagrams come from and when each is due: the
// numbered test pattern, or a transport stream file paced by its PCRs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "Sender.h"
#include "TsReplay.h"

namespace pelorin::tools {

// Where datagrams come from and when each is due.
class Source {
 public:
  virtual ~Source() = default;
  // Due time of datagram i in seconds from the start, or nothing once the source is done.
  virtual std::optional<double> due(std::uint64_t i) = 0;
  // Points *data at datagram i (written into `slot` if it has to be made) and returns its size.
  virtual std::size_t get(std::uint64_t i, std::uint8_t* slot, const std::uint8_t** data) = 0;
  virtual std::size_t maxSize() const = 0;
};

// The numbered pattern, one datagram every `interval` seconds.
class PatternSource : public Source {
 public:
  PatternSource(const SendOptions& o, double interval) : o_(o), interval_(interval) {}
  std::optional<double> due(std::uint64_t i) override {
    // Past the last index the checker can read back, the stream ends.
    if (o_.mode == StreamMode::Ts && i > kMaxTsIndex - o_.startIndex) return std::nullopt;
    return interval_ * static_cast<double>(i);
  }
  std::size_t get(std::uint64_t i, std::uint8_t* slot, const std::uint8_t** data) override {
    *data = slot;
    return writeDatagram(o_.mode, o_.startIndex + i, slot, o_.size);
  }
  std::size_t maxSize() const override { return datagramSize(o_.mode, o_.size); }

 private:
  const SendOptions& o_;
  double interval_;
};

// A file's datagrams at `interval`, or by its PCRs when that is 0; looped
// unless the options say not to. Throws std::invalid_argument when the
// file gives no rate and none is given.
class FileSource : public Source {
 public:
  FileSource(const SendOptions& o, double interval)
      : file_(o.file), timeline_(file_.data(), file_.size()), interval_(interval), loop_(o.loop) {
    perPass_ = (file_.size() + kTsDatagramSize - 1) / kTsDatagramSize;
    if (interval_ == 0) {
      if (!timeline_.timeAt(0)) {
        throw std::invalid_argument(o.file + ": fewer than two PCRs to take the rate from; give --bitrate");
      }
    }
  }
  std::optional<double> due(std::uint64_t i) override {
    const std::uint64_t pass = i / perPass_;
    if (pass > 0 && !loop_) return std::nullopt;
    if (interval_ > 0) return interval_ * static_cast<double>(i);
    const std::uint64_t offset = (i % perPass_) * kTsDatagramSize;
    double t = *timeline_.timeAt(offset);
    if (pass > 0) {
      if (!passSeconds_) {
        passSeconds_ = *timeline_.timeAt(file_.size());
        if (*passSeconds_ <= 0) throw std::runtime_error("the file's PCRs give it no duration; give --bitrate");
      }
      t += static_cast<double>(pass) * *passSeconds_;
    }
    return t;
  }
  std::size_t get(std::uint64_t i, std::uint8_t*, const std::uint8_t** data) override {
    const std::size_t offset = static_cast<std::size_t>(i % perPass_) * kTsDatagramSize;
    *data = file_.data() + offset;
    return std::min(kTsDatagramSize, file_.size() - offset);
  }
  std::size_t maxSize() const override { return 0; }  // sent straight from the mapping

 private:
  TsFile file_;
  PcrTimeline timeline_;
  double interval_;
  bool loop_;
  std::uint64_t perPass_ = 1;
  std::optional<double> passSeconds_;
};

}  // namespace pelorin::tools
