#include "TsFramer.h"

#include <algorithm>
#include <optional>

#include "stream/RtpSequence.h"

namespace pelorin::tools {

namespace {

constexpr std::size_t kPacket = 188;
constexpr std::uint8_t kSync = 0x47;
constexpr int kSyncRun = 5;                  // packets in a row that make sync
constexpr std::size_t kMaxRtpHeader = 1100;  // larger "headers" are taken for noise
constexpr std::size_t kMaxDatagram = 65507;
constexpr std::size_t kParity = 16;  // Reed-Solomon bytes after each packet of a 204-byte stream

inline std::uint32_t be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

std::size_t TsFramer::rtpHeader(const std::uint8_t* d, std::size_t avail, RtpId* id) {
  const std::size_t h = RtpHeaderSize(d, avail);
  if (h != 0) {
    id->payloadType = d[1] & 0x7F;
    id->ssrc = be32(d + 8);
  }
  return h;
}

std::size_t TsFramer::paddingAt(std::size_t pos, const RtpId& source) const {
  for (std::size_t n = 1; n <= 255 && pos + n <= size_; ++n) {
    if (d_[pos + n - 1] != n) continue;
    if (pos + n == size_) return end_ ? n : 0;
    RtpId id;
    if (rtpHeader(d_ + pos + n, size_ - pos - n, &id) != 0 && id.ssrc == source.ssrc &&
        id.payloadType == source.payloadType)
      return n;
  }
  return 0;
}

bool TsFramer::parityChainAt(std::size_t pos) const {
  constexpr std::size_t kParityPacket = kPacket + kParity;
  for (std::size_t k = 0; k < static_cast<std::size_t>(kSyncRun); ++k)
    if (pos + k * kParityPacket + kPacket > size_ || d_[pos + k * kParityPacket] != kSync) return false;
  return true;
}

std::size_t TsFramer::matchingRtpHeader(const std::uint8_t* d, std::size_t avail) const {
  if (!c_.rtp) return 0;
  RtpId id;
  const std::size_t h = rtpHeader(d, avail, &id);
  return h != 0 && id.ssrc == rtpId_.ssrc && id.payloadType == rtpId_.payloadType ? h : 0;
}

// Whether five packets in a row (RTP headers of one source allowed between
// them) start at pos, or, at the end of the data, whole packets run exactly to it.
// A source not seen before must prove itself: its first header's packets run on
// to another header with the same SSRC and payload type (or to the end of the
// data), so that a stray 0x8x byte in damaged plain data is not taken for RTP.
TsFramer::Chain TsFramer::chainAt(std::size_t pos, RtpId* firstHeader) const {
  const std::uint8_t* d = d_;
  const std::size_t size = size_;
  std::optional<RtpId> first;
  std::size_t firstAt = 0;
  std::size_t q = pos;
  int packets = 0;
  while (packets < kSyncRun) {
    if (q >= size) {
      if (!end_) return Chain::NeedMore;
      if (packets == 0 || q != size) return Chain::No;
      break;
    }
    if (d[q] == kSync) {
      if (size - q < kPacket) return end_ ? Chain::No : Chain::NeedMore;
      ++packets;
      q += kPacket;
      continue;
    }
    RtpId id;
    if (first && (d[firstAt] & 0x20)) {
      if (const std::size_t n = paddingAt(q, *first)) {
        q += n;
        continue;
      }
    }
    const std::size_t h = rtpHeader(d + q, size - q, &id);
    if (h == 0) return !end_ && size - q < kMaxRtpHeader ? Chain::NeedMore : Chain::No;
    if (first && (id.ssrc != first->ssrc || id.payloadType != first->payloadType)) return Chain::No;
    if (!first) {
      first = id;
      firstAt = q;
    }
    q += h;
    if (q >= size) return end_ ? Chain::No : Chain::NeedMore;
    if (d[q] != kSync) return Chain::No;  // a header is followed by a packet
  }
  if (!first) return Chain::Yes;
  if (!c_.rtp || first->ssrc != rtpId_.ssrc || first->payloadType != rtpId_.payloadType) {
    RtpId id;
    q = firstAt + rtpHeader(d + firstAt, size - firstAt, &id);
    while (q < size && d[q] == kSync && q - firstAt <= kMaxDatagram) q += kPacket;
    if (q < size && (d[firstAt] & 0x20)) q += paddingAt(q, *first);
    if (q >= size) {
      if (!end_) return Chain::NeedMore;
      if (q != size) return Chain::No;
    } else {
      const std::size_t h = rtpHeader(d + q, size - q, &id);
      if (h == 0 || id.ssrc != first->ssrc || id.payloadType != first->payloadType) return Chain::No;
    }
  }
  if (firstHeader) *firstHeader = *first;
  return Chain::Yes;
}

void TsFramer::adopt(const RtpId& id) {
  c_.rtp = true;
  rtpId_ = id;
  newSource_ = true;
}

void TsFramer::begin(const std::uint8_t* data, std::size_t size, bool end) {
  d_ = data;
  size_ = size;
  end_ = end;
  limit_ = end ? size : (size > kLookahead ? size - kLookahead : 0);
  pos_ = 0;
  base_ = c_.bytes;
  stopped_ = false;
}

bool TsFramer::emit(Frame* f, Frame::Kind kind, std::size_t size) {
  f->kind = kind;
  f->newSource = false;
  f->damaged = false;
  f->data = d_ + pos_;
  f->size = size;
  f->at = base_ + pos_;
  pos_ += size;
  return true;
}

bool TsFramer::stop() {
  if (!stopped_) {
    if (end_ && pos_ < size_) {
      c_.trailingBytes += size_ - pos_;
      pos_ = size_;
    }
    c_.bytes += pos_;
    stopped_ = true;
  }
  return false;
}

bool TsFramer::next(Frame* f) {
  if (stopped_) return false;
  const std::uint8_t* d = d_;
  const std::size_t size = size_;
  while (pos_ < limit_) {
    if (!inSync_) {
      RtpId id;
      Chain c = chainAt(pos_, &id);
      if (c == Chain::NeedMore) break;
      if (c == Chain::No && !c_.rtp && (c_.packets == 0 || c_.parity) && parityChainAt(pos_)) {
        // 204-byte packets, as DVB-ASI and some multiplexers deliver them;
        // once found, also where the framing is regained after a loss.
        c_.parity = true;
        c = Chain::Yes;
      }
      if (c == Chain::No) {
        if (!skipping_) {
          skipping_ = true;
          ++c_.tsSyncLoss;
        }
        ++c_.skippedBytes;
        ++pos_;
        continue;
      }
      inSync_ = true;
      skipping_ = false;
      if (id.payloadType != 0xFF && (!c_.rtp || id.ssrc != rtpId_.ssrc || id.payloadType != rtpId_.payloadType)) {
        adopt(id);
      }
      continue;
    }

    if (d[pos_] == kSync) {
      if (size - pos_ < kPacket) break;  // cut off at the end: counted as trailing
      ++c_.packets;
      emit(f, Frame::Kind::Packet, kPacket);
      if (c_.parity) pos_ += std::min(kParity, size - pos_);  // the parity is no packet's
      return true;
    }
    if (padded_) {
      if (const std::size_t n = paddingAt(pos_, rtpId_)) {
        c_.rtpPaddingBytes += n;
        pos_ += n;
        padded_ = false;
        continue;
      }
    }
    if (const std::size_t h = matchingRtpHeader(d + pos_, size - pos_)) {
      padded_ = (d[pos_] & 0x20) != 0;
      emit(f, Frame::Kind::RtpHeader, h);
      f->newSource = newSource_;
      newSource_ = false;
      return true;
    }
    {
      // An RTP header of a source not seen yet: the first one, or a new SSRC.
      RtpId id;
      const Chain c = chainAt(pos_, &id);
      if (c == Chain::NeedMore) break;
      if (c == Chain::Yes && id.payloadType != 0xFF) {
        adopt(id);
        continue;  // now it matches
      }
      // A damaged header of the current source, packets on both sides intact: the
      // framing holds; it counts as the next datagram.
      const std::size_t h = c_.rtp ? rtpHeader(d + pos_, size - pos_, &id) : 0;
      if (h != 0 && pos_ + h + kPacket < size && d[pos_ + h] == kSync && d[pos_ + h + kPacket] == kSync) {
        padded_ = false;
        emit(f, Frame::Kind::RtpHeader, h);
        f->damaged = true;
        return true;
      }
    }
    if (size - pos_ < kPacket) break;
    // A bad sync byte. One is an error in an otherwise framed stream; a second
    // in a row means the framing is lost.
    const std::size_t next = pos_ + kPacket + (c_.parity ? kParity : 0);
    const bool nextGood = next >= size || d[next] == kSync || matchingRtpHeader(d + next, size - next) != 0;
    if (nextGood) {
      ++c_.syncByteErrors;
      ++c_.packets;
      emit(f, Frame::Kind::BadSync, kPacket);
      if (c_.parity) pos_ += std::min(kParity, size - pos_);
      return true;
    }
    c_.syncByteErrors += 2;
    ++c_.tsSyncLoss;
    inSync_ = false;
    skipping_ = true;
  }
  return stop();
}

}  // namespace pelorin::tools
