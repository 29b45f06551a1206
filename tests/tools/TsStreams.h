// Synthetic transport streams with PCRs, for the replay tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "StreamPattern.h"

namespace pelorin::tools::teststreams {

constexpr std::uint64_t kPcrWrap = (std::uint64_t{1} << 33) * 300;

// Feeds `data` to a checker in pieces of 1, 4, 13, 40, ... bytes, so that every
// record and packet boundary falls inside a piece somewhere.
template <class Checker>
void feedInPieces(Checker& checker, const std::vector<std::uint8_t>& data) {
  std::size_t piece = 1;
  for (std::size_t at = 0; at < data.size();) {
    const std::size_t n = piece < data.size() - at ? piece : data.size() - at;
    checker.feed(data.data() + at, n);
    at += n;
    piece = piece * 3 + 1;
  }
}

inline void putPcr(std::uint8_t* pkt, std::uint64_t pcr, bool discontinuity = false) {
  const std::uint64_t base = pcr / 300;
  const unsigned ext = static_cast<unsigned>(pcr % 300);
  pkt[3] = static_cast<std::uint8_t>(0x30 | (pkt[3] & 0x0F));  // adaptation field and payload
  pkt[4] = 7;
  pkt[5] = static_cast<std::uint8_t>(0x10 | (discontinuity ? 0x80 : 0));
  pkt[6] = static_cast<std::uint8_t>(base >> 25);
  pkt[7] = static_cast<std::uint8_t>(base >> 17);
  pkt[8] = static_cast<std::uint8_t>(base >> 9);
  pkt[9] = static_cast<std::uint8_t>(base >> 1);
  pkt[10] = static_cast<std::uint8_t>(((base & 1) << 7) | 0x7E | (ext >> 8));
  pkt[11] = static_cast<std::uint8_t>(ext);
}

// `packets` packets on PID 0x200 with a PCR on every `pcrEvery`-th one from
// packet `firstPcr` on, the clock advancing `ticksPerPacket` per packet.
inline std::vector<std::uint8_t> pcrStream(std::size_t packets, std::size_t pcrEvery, std::size_t firstPcr,
                                           std::uint64_t pcrStart, std::uint64_t ticksPerPacket) {
  std::vector<std::uint8_t> ts(packets * kTsPacketSize);
  for (std::size_t i = 0; i < packets; ++i) {
    std::uint8_t* pkt = ts.data() + i * kTsPacketSize;
    pkt[0] = 0x47;
    pkt[1] = 0x02;
    pkt[2] = 0x00;
    pkt[3] = static_cast<std::uint8_t>(0x10 | (i & 0x0F));
    for (std::size_t j = 4; j < kTsPacketSize; ++j) pkt[j] = static_cast<std::uint8_t>(i * 31 + j);
    if (i >= firstPcr && (i - firstPcr) % pcrEvery == 0) putPcr(pkt, (pcrStart + i * ticksPerPacket) % kPcrWrap);
  }
  return ts;
}

// A file under TMPDIR removed when the object goes.
class TempFile {
 public:
  explicit TempFile(const std::vector<std::uint8_t>& bytes) {
    const char* dir = std::getenv("TMPDIR");
    path_ = std::string(dir && *dir ? dir : "/tmp") + "/pelorin-tools-test-XXXXXX";
    const int fd = ::mkstemp(path_.data());
    if (fd >= 0) {
      std::size_t done = 0;
      while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
      ::close(fd);
    }
  }
  ~TempFile() { std::remove(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace pelorin::tools::teststreams
