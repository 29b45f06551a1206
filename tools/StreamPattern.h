// The test stream shared by pelorin-send and pelorin-check.
//
// Datagram k is a pure function of k (and, in raw mode, of the datagram size),
// so the checker can regenerate every byte it expects from the index it reads
// back out of a recording.
//
// ts mode: 7 transport stream packets of 188 bytes per datagram. Datagrams
// whose index is a multiple of kPsiEvery start with a PAT and a PMT; every
// other packet is on the video PID. A video packet's 184-byte payload starts
// with its global packet number (7*k + position in the datagram, 8 bytes big
// endian) followed by a pattern derived from that number. Continuity counters
// are computed from k, so they run on across datagrams as a real multiplexer's
// would.
//
// raw mode: bytes 0..7 hold k big endian (when the datagram is at least 8
// bytes long), the rest is a pattern derived from k and the byte offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace pelorin::tools {

enum class StreamMode { Ts, Raw };

constexpr std::size_t kTsPacketSize = 188;
constexpr std::size_t kTsPacketsPerDatagram = 7;
constexpr std::size_t kTsDatagramSize = kTsPacketSize * kTsPacketsPerDatagram;  // 1316
constexpr std::size_t kMaxUdpPayload = 65507;
constexpr std::size_t kDefaultRawSize = 1316;

constexpr std::uint16_t kPatPid = 0x0000;
constexpr std::uint16_t kPmtPid = 0x1000;
constexpr std::uint16_t kVideoPid = 0x0100;
constexpr std::uint8_t kVideoStreamType = 0x1B;
constexpr std::uint16_t kProgramNumber = 1;
constexpr std::uint16_t kTransportStreamId = 1;
// The stream carries no clock, so the PMT says so (0x1FFF = no PCR).
constexpr std::uint16_t kNoPcrPid = 0x1FFF;
// PAT and PMT lead every 32nd datagram: at 10 Mbit/s that is about every 34 ms.
constexpr std::uint64_t kPsiEvery = 32;
// Global packet numbers must fit 64 bits, so ts indexes stay below this.
constexpr std::uint64_t kMaxTsIndex = UINT64_MAX / kTsPacketsPerDatagram - 1;

// CRC-32 as used by MPEG-2 PSI sections (poly 0x04C11DB7, init ~0, no reflection,
// no final xor).
std::uint32_t crc32Mpeg(const std::uint8_t* data, std::size_t size);

// Fills `size` bytes with the pattern keyed by `key`; byte o depends on key and o only.
void fillPattern(std::uint64_t key, std::uint8_t* out, std::size_t size);

void putBe64(std::uint8_t* out, std::uint64_t value);
std::uint64_t getBe64(const std::uint8_t* in);

// Writes one full 188-byte PAT / PMT packet with the given continuity counter.
void writePatPacket(std::uint8_t* out, unsigned continuityCounter);
void writePmtPacket(std::uint8_t* out, unsigned continuityCounter);

// Writes datagram k of the ts stream (kTsDatagramSize bytes). k <= kMaxTsIndex.
void writeTsDatagram(std::uint64_t k, std::uint8_t* out);

// Writes datagram k of the raw stream (`size` bytes, 0..kMaxUdpPayload).
void writeRawDatagram(std::uint64_t k, std::uint8_t* out, std::size_t size);

// Size of one datagram for the mode (rawSize is used in raw mode only).
inline std::size_t datagramSize(StreamMode mode, std::size_t rawSize) {
  return mode == StreamMode::Ts ? kTsDatagramSize : rawSize;
}

// Writes datagram k for the mode; returns its size.
std::size_t writeDatagram(StreamMode mode, std::uint64_t k, std::uint8_t* out, std::size_t rawSize);

// Reads the datagram index a ts record claims from its first video packet that
// is self-consistent (sync byte, video PID, packet number matching its
// position). Returns nothing when no packet qualifies.
std::optional<std::uint64_t> tsDatagramIndex(const std::uint8_t* record);

}  // namespace pelorin::tools
