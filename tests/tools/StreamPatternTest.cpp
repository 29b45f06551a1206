#include "StreamPattern.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

using namespace pelorin::tools;

namespace {

unsigned pidOf(const std::uint8_t* pkt) { return ((pkt[1] & 0x1F) << 8) | pkt[2]; }

std::vector<std::uint8_t> tsDatagram(std::uint64_t k) {
  std::vector<std::uint8_t> d(kTsDatagramSize);
  writeTsDatagram(k, d.data());
  return d;
}

}  // namespace

TEST(Crc32Mpeg, MatchesKnownValues) {
  const std::uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crc32Mpeg(check, sizeof check), 0x0376E6E7u);  // the catalogue check value
  // A PAT for transport stream 1, program 1 on PID 0x1000, as other muxers emit it.
  const std::uint8_t pat[] = {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xF0, 0x00};
  EXPECT_EQ(crc32Mpeg(pat, sizeof pat), 0x2AB104B2u);
}

TEST(PsiPackets, PatAndPmtDescribeTheProgram) {
  std::array<std::uint8_t, kTsPacketSize> pat{};
  writePatPacket(pat.data(), 5);
  EXPECT_EQ(pat[0], 0x47);
  EXPECT_EQ(pidOf(pat.data()), 0u);
  EXPECT_TRUE(pat[1] & 0x40);  // payload_unit_start
  EXPECT_EQ(pat[3], 0x15);     // payload only, cc 5
  EXPECT_EQ(pat[4], 0);        // pointer_field
  const std::uint8_t* s = pat.data() + 5;
  const std::uint8_t expectedPat[] = {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00,
                                      0x00, 0x01, 0xF0, 0x00, 0x2A, 0xB1, 0x04, 0xB2};
  EXPECT_EQ(std::memcmp(s, expectedPat, sizeof expectedPat), 0);
  for (std::size_t i = 5 + sizeof expectedPat; i < kTsPacketSize; ++i) ASSERT_EQ(pat[i], 0xFF) << i;

  std::array<std::uint8_t, kTsPacketSize> pmt{};
  writePmtPacket(pmt.data(), 0);
  EXPECT_EQ(pidOf(pmt.data()), 0x1000u);
  s = pmt.data() + 5;
  const std::size_t sectionLength = ((s[1] & 0x0F) << 8) | s[2];
  ASSERT_EQ(sectionLength, 18u);
  EXPECT_EQ(s[0], 0x02);
  EXPECT_EQ((s[3] << 8) | s[4], 1);                        // program_number
  EXPECT_EQ(((s[8] & 0x1F) << 8) | s[9], 0x1FFF);          // no PCR
  EXPECT_EQ(s[12], 0x1B);                                  // stream_type
  EXPECT_EQ(((s[13] & 0x1F) << 8) | s[14], 0x100);         // elementary_PID
  // A section checked together with its own CRC leaves no remainder.
  EXPECT_EQ(crc32Mpeg(s, 3 + sectionLength), 0u);
}

TEST(TsDatagrams, RunOfDatagramsIsAValidStream) {
  std::array<int, 8192> lastCc;
  lastCc.fill(-1);
  for (std::uint64_t k = 0; k < 200; ++k) {
    const auto d = tsDatagram(k);
    const bool psi = k % kPsiEvery == 0;
    for (std::size_t pos = 0; pos < kTsPacketsPerDatagram; ++pos) {
      const std::uint8_t* pkt = d.data() + pos * kTsPacketSize;
      ASSERT_EQ(pkt[0], 0x47);
      const unsigned pid = pidOf(pkt);
      if (psi && pos < 2) {
        ASSERT_EQ(pid, pos == 0 ? 0u : 0x1000u) << k;
      } else {
        ASSERT_EQ(pid, 0x100u) << k << " " << pos;
        ASSERT_EQ(getBe64(pkt + 4), 7 * k + pos);
      }
      const int cc = pkt[3] & 0x0F;
      if (lastCc[pid] >= 0) {
        ASSERT_EQ(cc, (lastCc[pid] + 1) & 0x0F) << "pid " << pid << " datagram " << k;
      }
      lastCc[pid] = cc;
    }
    ASSERT_EQ(tsDatagramIndex(d.data()), k);
  }
}

TEST(TsDatagrams, EachDatagramIsAPureFunctionOfItsIndex) {
  EXPECT_EQ(tsDatagram(12345), tsDatagram(12345));
  EXPECT_NE(tsDatagram(12345), tsDatagram(12346));
  const std::uint64_t top = kMaxTsIndex;
  const auto d = tsDatagram(top);
  EXPECT_EQ(tsDatagramIndex(d.data()), top);
  // A record whose video packets are all damaged has no readable index.
  auto broken = tsDatagram(64);
  for (std::size_t pos = 0; pos < kTsPacketsPerDatagram; ++pos) broken[pos * kTsPacketSize + 5] ^= 1;
  EXPECT_FALSE(tsDatagramIndex(broken.data()).has_value());
}

TEST(RawDatagrams, CarryTheirIndexAndPatternAtEverySize) {
  std::vector<std::uint8_t> big(kMaxUdpPayload);
  writeRawDatagram(0x0102030405060708ull, big.data(), big.size());
  EXPECT_EQ(getBe64(big.data()), 0x0102030405060708ull);
  std::vector<std::uint8_t> other(kMaxUdpPayload);
  writeRawDatagram(0x0102030405060709ull, other.data(), other.size());
  // Neighbouring indexes differ all along, not just in the header.
  std::size_t same = 0;
  for (std::size_t i = 8; i < big.size(); ++i) same += big[i] == other[i];
  EXPECT_LT(same, big.size() / 64);

  // The pattern at an offset does not depend on the datagram size.
  std::vector<std::uint8_t> small(1316);
  writeRawDatagram(0x0102030405060708ull, small.data(), small.size());
  EXPECT_EQ(std::memcmp(small.data(), big.data(), small.size()), 0);

  // Below 8 bytes there is only pattern; zero bytes writes nothing.
  std::uint8_t tiny[9];
  std::memset(tiny, 0xAA, sizeof tiny);
  writeRawDatagram(7, tiny, 0);
  for (auto b : tiny) {
    EXPECT_EQ(b, 0xAA);
  }
  writeRawDatagram(7, tiny, 5);
  std::uint8_t pattern[5];
  fillPattern(7, pattern, 5);
  EXPECT_EQ(std::memcmp(tiny, pattern, 5), 0);
  EXPECT_EQ(tiny[5], 0xAA);
}
