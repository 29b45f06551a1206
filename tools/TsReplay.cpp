#include "TsReplay.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "StreamPattern.h"
#include "stream/TsPacket.h"

namespace pelorin::tools {

namespace {

constexpr double kTicksPerSecond = 27e6;
constexpr double kMaxPcrStep = 1.0;  // seconds; anything larger is a discontinuity

std::runtime_error fileError(const std::string& path, const char* what) {
  return std::runtime_error(path + ": " + what + ": " + std::strerror(errno));
}

}  // namespace

TsFile::TsFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw fileError(path, "cannot open");
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const auto err = fileError(path, "cannot stat");
    ::close(fd);
    throw err;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    throw std::runtime_error(path + ": not a regular file");
  }
  mappedSize_ = static_cast<std::size_t>(st.st_size);
  size_ = mappedSize_ - mappedSize_ % kTsPacketSize;
  if (size_ == 0) {
    ::close(fd);
    throw std::runtime_error(path + ": holds no whole transport stream packet");
  }
  void* p = ::mmap(nullptr, mappedSize_, PROT_READ, MAP_PRIVATE, fd, 0);
  if (p == MAP_FAILED) {
    const auto err = fileError(path, "cannot map");
    ::close(fd);
    throw err;
  }
  ::close(fd);
  ::madvise(p, mappedSize_, MADV_SEQUENTIAL);
  data_ = static_cast<const std::uint8_t*>(p);
  // Packets must start at offset 0: 192-byte or misaligned files are refused
  // rather than replayed as garbage.
  for (std::size_t off = 0; off < size_ && off < 8 * kTsPacketSize; off += kTsPacketSize) {
    if (data_[off] != 0x47) {
      ::munmap(p, mappedSize_);
      throw std::runtime_error(path + ": not a transport stream of 188-byte packets (no sync byte at offset " +
                               std::to_string(off) + ")");
    }
  }
}

TsFile::~TsFile() {
  if (data_) ::munmap(const_cast<std::uint8_t*>(data_), mappedSize_);
}

PcrTimeline::PcrTimeline(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

void PcrTimeline::addPcr(std::uint64_t offset, std::uint64_t pcr, bool discontinuity) {
  if (points_.empty()) {
    points_.push_back({offset, 0.0});
    lastPcr_ = pcr;
    return;
  }
  const std::uint64_t delta = PcrForward(lastPcr_, pcr);
  lastPcr_ = pcr;
  const double step = static_cast<double>(delta) / kTicksPerSecond;
  const Point& back = points_.back();
  if (discontinuity || step > kMaxPcrStep || delta == 0) {
    if (points_.size() < 2) {
      // No rate known yet: start afresh from here.
      points_.back() = {offset, 0.0};
      return;
    }
    const Point& prev = points_[points_.size() - 2];
    const double rate = static_cast<double>(back.offset - prev.offset) / (back.seconds - prev.seconds);
    points_.push_back({offset, back.seconds + static_cast<double>(offset - back.offset) / rate});
    return;
  }
  points_.push_back({offset, back.seconds + step});
}

void PcrTimeline::scanUntil(std::uint64_t offset) {
  while (scanPos_ + kTsPacketSize <= size_ && (points_.size() < 2 || points_.back().offset <= offset)) {
    const std::uint8_t* pkt = data_ + scanPos_;
    const std::uint64_t at = scanPos_;
    scanPos_ += kTsPacketSize;
    if (pkt[0] != 0x47 || (pkt[3] & 0x20) == 0) continue;  // no adaptation field
    const int pid = ((pkt[1] & 0x1F) << 8) | pkt[2];
    if (pcrPid_ >= 0 && pid != pcrPid_) continue;
    const unsigned afLength = pkt[4];
    if (afLength < 7 || (pkt[5] & 0x10) == 0) continue;  // no PCR
    pcrPid_ = pid;
    const std::uint64_t base = (std::uint64_t{pkt[6]} << 25) | (std::uint64_t{pkt[7]} << 17) |
                               (std::uint64_t{pkt[8]} << 9) | (std::uint64_t{pkt[9]} << 1) | (pkt[10] >> 7);
    const std::uint64_t ext = (std::uint64_t{pkt[10] & 0x01u} << 8) | pkt[11];
    addPcr(at, base * 300 + ext, (pkt[5] & 0x80) != 0);
  }
}

std::optional<double> PcrTimeline::timeAt(std::uint64_t offset) {
  scanUntil(offset);
  if (points_.size() < 2) return std::nullopt;

  if (segment_ + 1 >= points_.size() || points_[segment_].offset > offset) segment_ = 0;
  while (segment_ + 2 < points_.size() && points_[segment_ + 1].offset <= offset) ++segment_;

  auto at = [this](std::size_t seg, std::uint64_t off) {
    const Point& a = points_[seg];
    const Point& b = points_[seg + 1];
    const double perByte = (b.seconds - a.seconds) / static_cast<double>(b.offset - a.offset);
    return a.seconds + (static_cast<double>(off) - static_cast<double>(a.offset)) * perByte;
  };
  return at(segment_, offset) - at(0, 0);
}

}  // namespace pelorin::tools
