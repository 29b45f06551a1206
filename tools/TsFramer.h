// Finds the 188-byte packets of a transport stream, plain or RTP-wrapped, and
// hands them out one at a time with their byte position in the input, like a
// lexer hands out tokens.
//
// Sync is acquired at five packets in a row that start with 0x47 (fewer at
// the very end of the data, when they run exactly to it), and lost at two bad
// sync bytes in a row. RTP is recognised by itself: a version-2 header where a
// packet is expected, followed by such a run and, after the datagram's
// packets, by another header of the same source. Once RTP is seen, headers
// with the same SSRC and payload type are taken wherever a packet may start.
#pragma once

#include "InspectReport.h"

#include <cstddef>
#include <cstdint>

namespace pelorin::tools {

struct Frame {
  enum class Kind : std::uint8_t {
    Packet,     // a packet with a good sync byte
    BadSync,    // a packet whose sync byte is wrong, between good ones: kept, not to be read
    RtpHeader,  // an RTP header of the source in use
  };
  Kind kind = Kind::Packet;
  bool newSource = false;  // RtpHeader: the first of a source not seen before
  bool damaged = false;    // RtpHeader: taken for the next datagram; its fields are not trusted
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::uint64_t at = 0;  // byte position in the input
};

class TsFramer {
 public:
  // A caller that is not at the end keeps at least this many bytes
  // unconsumed: what the search for sync may look ahead (across a whole
  // datagram when a new RTP source has to prove itself).
  static constexpr std::size_t kLookahead = 72 * 1024;

  // The next input: data[0, size), following what earlier windows consumed.
  // With `end` it is the last, and all of it is used.
  void begin(const std::uint8_t* data, std::size_t size, bool end);
  // The next frame of the window, or false once it has given all it can
  // (unless `end`, it stops kLookahead bytes short of the window's end).
  bool next(Frame* frame);
  // After next() returned false: the bytes of the window used. The caller
  // hands the rest in again at the front of the next window.
  std::size_t consumed() const { return pos_; }

  const FramingCounts& counts() const { return c_; }

 private:
  enum class Chain { Yes, No, NeedMore };
  struct RtpId {
    std::uint8_t payloadType = 0xFF;  // 0xFF: none
    std::uint32_t ssrc = 0;
  };

  static std::size_t rtpHeader(const std::uint8_t* d, std::size_t avail, RtpId* id);
  // The length of the RTP padding at pos (its last byte counts it) when a
  // header of `source` (or the end of the data) follows it; 0 for none.
  std::size_t paddingAt(std::size_t pos, const RtpId& source) const;
  // Five packets 204 bytes apart from pos: 188 and 16 of parity each.
  bool parityChainAt(std::size_t pos) const;
  std::size_t matchingRtpHeader(const std::uint8_t* d, std::size_t avail) const;
  Chain chainAt(std::size_t pos, RtpId* firstHeader) const;
  void adopt(const RtpId& id);
  bool emit(Frame* f, Frame::Kind kind, std::size_t size);
  bool stop();

  const std::uint8_t* d_ = nullptr;
  std::size_t size_ = 0;
  std::size_t limit_ = 0;
  std::size_t pos_ = 0;
  bool end_ = false;
  bool stopped_ = true;
  std::uint64_t base_ = 0;  // input position of the window's first byte

  FramingCounts c_;
  bool inSync_ = false;
  bool skipping_ = false;  // inside a run of skipped bytes, already counted as a sync loss
  bool newSource_ = false;
  bool padded_ = false;  // the last RTP header announced padding after its packets
  RtpId rtpId_;
};

}  // namespace pelorin::tools
