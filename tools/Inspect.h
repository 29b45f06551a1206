// pelorin-inspect's checker: reads any MPEG transport stream, plain or
// RTP-wrapped, in pieces, and reports what InspectReport holds. A framer finds
// the packets and the RTP headers (TsFramer); an analyser reads them
// (TsAnalyser).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "InspectReport.h"
#include "TsAnalyser.h"
#include "TsFramer.h"

namespace pelorin::tools {

class Inspector {
 public:
  // A caller of scan() that is not at the end keeps at least this many bytes
  // unconsumed.
  static constexpr std::size_t kLookahead = TsFramer::kLookahead;

  explicit Inspector(const InspectOptions& options = {}) : analyser_(options) {}

  // Receives every 188-byte packet framed, in order, as it is in the input
  // (for writing the plain stream out of an RTP-wrapped one).
  void setPacketSink(std::function<void(const std::uint8_t*)> sink) { sink_ = std::move(sink); }

  // Analyses data[0, size) and returns how many bytes it consumed. Unless
  // `end`, it stops kLookahead bytes short of the end, and the caller hands
  // the rest in again with more data after it. With `end` it consumes all.
  std::size_t scan(const std::uint8_t* data, std::size_t size, bool end);

  // The same for data in pieces of any size, buffered here.
  void feed(const std::uint8_t* data, std::size_t size);

  InspectReport finish();

 private:
  TsFramer framer_;
  TsAnalyser analyser_;
  std::function<void(const std::uint8_t*)> sink_;
  std::vector<std::uint8_t> pending_;  // feed()'s carry-over
};

}  // namespace pelorin::tools
