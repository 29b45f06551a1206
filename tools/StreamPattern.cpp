#include "StreamPattern.h"

#include <array>
#include <cstring>

namespace pelorin::tools {

namespace {

constexpr std::array<std::uint32_t, 256> makeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i << 24;
    for (int bit = 0; bit < 8; ++bit) {
      c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : (c << 1);
    }
    table[i] = c;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = makeCrcTable();

// splitmix64's finaliser: spreads neighbouring keys over the whole word.
inline std::uint64_t mix64(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

inline void putLe64(std::uint8_t* out, std::uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::memcpy(out, &v, 8);
#else
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
#endif
}

void writeTsHeader(std::uint8_t* out, bool unitStart, std::uint16_t pid, unsigned cc) {
  out[0] = 0x47;
  out[1] = static_cast<std::uint8_t>((unitStart ? 0x40 : 0x00) | ((pid >> 8) & 0x1F));
  out[2] = static_cast<std::uint8_t>(pid & 0xFF);
  out[3] = static_cast<std::uint8_t>(0x10 | (cc & 0x0F));  // payload only
}

// Writes a PSI packet: header, pointer_field 0, the section with its CRC, then stuffing.
void writePsiPacket(std::uint8_t* out, std::uint16_t pid, unsigned cc, const std::uint8_t* section,
                    std::size_t sectionSizeWithoutCrc) {
  writeTsHeader(out, true, pid, cc);
  out[4] = 0x00;
  std::uint8_t* s = out + 5;
  std::memcpy(s, section, sectionSizeWithoutCrc);
  const std::uint32_t crc = crc32Mpeg(s, sectionSizeWithoutCrc);
  s[sectionSizeWithoutCrc + 0] = static_cast<std::uint8_t>(crc >> 24);
  s[sectionSizeWithoutCrc + 1] = static_cast<std::uint8_t>(crc >> 16);
  s[sectionSizeWithoutCrc + 2] = static_cast<std::uint8_t>(crc >> 8);
  s[sectionSizeWithoutCrc + 3] = static_cast<std::uint8_t>(crc);
  const std::size_t used = 5 + sectionSizeWithoutCrc + 4;
  std::memset(out + used, 0xFF, kTsPacketSize - used);
}

}  // namespace

std::uint32_t crc32Mpeg(const std::uint8_t* data, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) {
    crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ data[i]) & 0xFF];
  }
  return crc;
}

void fillPattern(std::uint64_t key, std::uint8_t* out, std::size_t size) {
  const std::uint64_t base = mix64(key ^ 0x6A09E667F3BCC909ull);
  const std::size_t words = size / 8;
  std::uint64_t v = base;
  for (std::size_t j = 0; j < words; ++j) {
    v += 0x9E3779B97F4A7C15ull;
    std::uint64_t w = (v ^ (v >> 31)) * 0xD6E8FEB86659FD93ull;
    putLe64(out + 8 * j, w ^ (w >> 32));
  }
  const std::size_t tail = size % 8;
  if (tail != 0) {
    v += 0x9E3779B97F4A7C15ull;
    std::uint64_t w = (v ^ (v >> 31)) * 0xD6E8FEB86659FD93ull;
    w ^= w >> 32;
    std::uint8_t last[8];
    putLe64(last, w);
    std::memcpy(out + 8 * words, last, tail);
  }
}

void putBe64(std::uint8_t* out, std::uint64_t value) {
  for (int i = 7; i >= 0; --i) {
    out[i] = static_cast<std::uint8_t>(value);
    value >>= 8;
  }
}

std::uint64_t getBe64(const std::uint8_t* in) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | in[i];
  return v;
}

void writePatPacket(std::uint8_t* out, unsigned continuityCounter) {
  constexpr std::uint8_t section[] = {
      0x00,                                   // table_id: program_association_section
      0xB0, 13,                               // syntax indicator, section_length
      kTransportStreamId >> 8, kTransportStreamId & 0xFF,
      0xC1,                                   // version 0, current_next 1
      0x00, 0x00,                             // section_number, last_section_number
      kProgramNumber >> 8, kProgramNumber & 0xFF,
      0xE0 | (kPmtPid >> 8), kPmtPid & 0xFF,  // program_map_PID
  };
  writePsiPacket(out, kPatPid, continuityCounter, section, sizeof section);
}

void writePmtPacket(std::uint8_t* out, unsigned continuityCounter) {
  constexpr std::uint8_t section[] = {
      0x02,                                       // table_id: TS_program_map_section
      0xB0, 18,                                   // syntax indicator, section_length
      kProgramNumber >> 8, kProgramNumber & 0xFF,
      0xC1,                                       // version 0, current_next 1
      0x00, 0x00,                                 // section_number, last_section_number
      0xE0 | (kNoPcrPid >> 8), kNoPcrPid & 0xFF,  // PCR_PID
      0xF0, 0x00,                                 // program_info_length 0
      kVideoStreamType,
      0xE0 | (kVideoPid >> 8), kVideoPid & 0xFF,  // elementary_PID
      0xF0, 0x00,                                 // ES_info_length 0
  };
  writePsiPacket(out, kPmtPid, continuityCounter, section, sizeof section);
}

void writeTsDatagram(std::uint64_t k, std::uint8_t* out) {
  const bool psi = (k % kPsiEvery) == 0;
  // Datagrams before k that carried PAT+PMT, so two fewer video packets each.
  const std::uint64_t psiBefore = k / kPsiEvery + (psi ? 0 : 1);
  // Only the low 4 bits matter, so wrap-around in the product is harmless.
  const std::uint64_t videoBefore = kTsPacketsPerDatagram * k - 2 * psiBefore;

  std::size_t pos = 0;
  if (psi) {
    const unsigned cc = static_cast<unsigned>((k / kPsiEvery) & 0x0F);
    writePatPacket(out, cc);
    writePmtPacket(out + kTsPacketSize, cc);
    pos = 2;
  }
  std::uint64_t cc = videoBefore;
  for (; pos < kTsPacketsPerDatagram; ++pos, ++cc) {
    std::uint8_t* pkt = out + pos * kTsPacketSize;
    writeTsHeader(pkt, false, kVideoPid, static_cast<unsigned>(cc & 0x0F));
    const std::uint64_t packetNumber = kTsPacketsPerDatagram * k + pos;
    fillPattern(packetNumber, pkt + 4, kTsPacketSize - 4);
    putBe64(pkt + 4, packetNumber);
  }
}

void writeRawDatagram(std::uint64_t k, std::uint8_t* out, std::size_t size) {
  fillPattern(k, out, size);
  if (size >= 8) putBe64(out, k);
}

std::size_t writeDatagram(StreamMode mode, std::uint64_t k, std::uint8_t* out, std::size_t rawSize) {
  if (mode == StreamMode::Ts) {
    writeTsDatagram(k, out);
    return kTsDatagramSize;
  }
  writeRawDatagram(k, out, rawSize);
  return rawSize;
}

std::optional<std::uint64_t> tsDatagramIndex(const std::uint8_t* record) {
  for (std::size_t pos = 0; pos < kTsPacketsPerDatagram; ++pos) {
    const std::uint8_t* pkt = record + pos * kTsPacketSize;
    const unsigned pid = ((pkt[1] & 0x1F) << 8) | pkt[2];
    if (pkt[0] != 0x47 || pid != kVideoPid || (pkt[3] & 0x30) != 0x10) continue;
    const std::uint64_t packetNumber = getBe64(pkt + 4);
    if (packetNumber % kTsPacketsPerDatagram != pos) continue;
    const std::uint64_t k = packetNumber / kTsPacketsPerDatagram;
    if (k > kMaxTsIndex) continue;
    return k;
  }
  return std::nullopt;
}

}  // namespace pelorin::tools
