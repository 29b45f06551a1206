#include "StreamCheck.h"
#include "TsStreams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

using namespace pelorin::tools;

namespace {

// A recording of the given datagram indexes, in that order.
std::vector<std::uint8_t> recording(const std::vector<std::uint64_t>& indexes, StreamMode mode = StreamMode::Ts,
                                    std::size_t rawSize = kDefaultRawSize) {
  const std::size_t size = datagramSize(mode, rawSize);
  std::vector<std::uint8_t> bytes(indexes.size() * size);
  for (std::size_t i = 0; i < indexes.size(); ++i) writeDatagram(mode, indexes[i], bytes.data() + i * size, rawSize);
  return bytes;
}

std::vector<std::uint64_t> range(std::uint64_t first, std::uint64_t count) {
  std::vector<std::uint64_t> v(count);
  std::iota(v.begin(), v.end(), first);
  return v;
}

// Feeds the file in awkward pieces so records straddle every boundary.
CheckResult check(const std::vector<std::uint8_t>& file, CheckOptions options = {}) {
  StreamChecker checker(options);
  teststreams::feedInPieces(checker, file);
  return checker.finish();
}

void expectClean(const CheckResult& r) {
  EXPECT_EQ(r.gaps, 0u);
  EXPECT_EQ(r.missing, 0u);
  EXPECT_EQ(r.duplicates, 0u);
  EXPECT_EQ(r.outOfOrder, 0u);
  EXPECT_EQ(r.corrupt, 0u);
  EXPECT_EQ(r.trailingBytes, 0u);
  EXPECT_EQ(r.ccErrors, 0u);
  EXPECT_EQ(r.syncErrors, 0u);
}

}  // namespace

TEST(StreamCheck, GeneratedRunsAreOk) {
  auto r = check(recording(range(0, 500)));
  EXPECT_TRUE(r.ok);
  expectClean(r);
  EXPECT_EQ(r.datagrams, 500u);
  EXPECT_EQ(r.first, 0u);
  EXPECT_EQ(r.last, 499u);
  EXPECT_EQ(verdictLine(r), "OK: 500 datagrams 0..499, byte-exact");

  CheckOptions raw{StreamMode::Raw, 200, 1000, 300};
  r = check(recording(range(1000, 300), StreamMode::Raw, 200), raw);
  EXPECT_TRUE(r.ok) << verdictLine(r);

  CheckOptions largest{StreamMode::Raw, kMaxUdpPayload, {}, {}};
  r = check(recording(range(5, 20), StreamMode::Raw, kMaxUdpPayload), largest);
  EXPECT_TRUE(r.ok) << verdictLine(r);
  EXPECT_EQ(r.first, 5u);

  // An empty recording fails, unless none was expected.
  r = check({});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(verdictLine(r), "FAIL: 0 datagrams: the recording holds no datagram");
  CheckOptions none{StreamMode::Ts, kDefaultRawSize, {}, 0};
  r = check({}, none);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(verdictLine(r), "OK: 0 datagrams");
}

TEST(StreamCheck, MissingRecordsAreCountedAsGaps) {
  auto idx = range(0, 100);
  idx.erase(idx.begin() + 40);                            // one
  idx.erase(idx.begin() + 60, idx.begin() + 70);          // ten more, 61..70
  auto r = check(recording(idx));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.gaps, 2u);
  EXPECT_EQ(r.missing, 11u);
  EXPECT_EQ(r.duplicates, 0u);
  EXPECT_EQ(r.corrupt, 0u);
  EXPECT_EQ(r.outOfOrder, 0u);
  EXPECT_GT(r.ccErrors, 0u);  // a decoder would see the holes too
  EXPECT_EQ(verdictLine(r).rfind("FAIL: 89 datagrams 0..99, 2 gaps (11 missing), 0 duplicates, 0 corrupt", 0), 0u)
      << verdictLine(r);
}

TEST(StreamCheck, DuplicatesAndReorderingAreToldApart) {
  auto idx = range(0, 50);
  idx.insert(idx.begin() + 21, 20);  // 20 twice
  auto r = check(recording(idx, StreamMode::Raw), {StreamMode::Raw, kDefaultRawSize, {}, {}});
  EXPECT_EQ(r.duplicates, 1u);
  EXPECT_EQ(r.outOfOrder, 0u);
  EXPECT_EQ(r.missing, 0u);
  EXPECT_EQ(r.datagrams, 51u);
  EXPECT_FALSE(r.ok);

  idx = range(0, 50);
  std::swap(idx[10], idx[11]);
  r = check(recording(idx));
  EXPECT_EQ(r.outOfOrder, 1u);
  EXPECT_EQ(r.duplicates, 0u);
  EXPECT_EQ(r.missing, 0u);
  EXPECT_EQ(r.gaps, 0u);
  EXPECT_FALSE(r.ok);

  // A late datagram fills the hole it left.
  idx = range(0, 50);
  std::rotate(idx.begin() + 10, idx.begin() + 11, idx.begin() + 30);  // 10 arrives after 29
  r = check(recording(idx));
  EXPECT_EQ(r.outOfOrder, 1u);
  EXPECT_EQ(r.missing, 0u);
}

TEST(StreamCheck, DamagedBytesMakeACorruptRecordNotAGap) {
  const auto clean = recording(range(0, 60));
  // Payload byte, packet-number byte, and a whole record of zeros.
  for (std::size_t offset : {std::size_t{7 * 1316 + 700}, std::size_t{7 * 1316 + 2 * 188 + 11}}) {
    auto file = clean;
    file[offset] ^= 0x01;
    const auto r = check(file);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.corrupt, 1u) << offset;
    EXPECT_EQ(r.missing, 0u) << offset;
    EXPECT_EQ(r.datagrams, 60u);
    EXPECT_EQ(r.first, 0u);
    EXPECT_EQ(r.last, 59u);
  }
  auto file = clean;
  std::fill(file.begin() + 59 * 1316, file.end(), 0);  // the last record
  auto r = check(file);
  EXPECT_EQ(r.corrupt, 1u);
  EXPECT_EQ(r.syncErrors, 7u);
  EXPECT_EQ(r.missing, 0u);
  EXPECT_EQ(r.last, 58u);

  // Raw: a flipped index byte must not send the range off to 2^56.
  auto raw = recording(range(0, 30), StreamMode::Raw);
  raw[12 * 1316] ^= 0x80;
  r = check(raw, {StreamMode::Raw, kDefaultRawSize, {}, {}});
  EXPECT_EQ(r.corrupt, 1u);
  EXPECT_EQ(r.missing, 0u);
  EXPECT_EQ(r.last, 29u);
}

TEST(StreamCheck, TsLayerErrorsAreCounted) {
  auto file = recording(range(0, 40));
  // Video packet 3 of datagram 5 gets the wrong continuity counter.
  std::uint8_t& ccByte = file[5 * 1316 + 3 * 188 + 3];
  ccByte = static_cast<std::uint8_t>((ccByte & 0xF0) | ((ccByte + 5) & 0x0F));
  auto r = check(file);
  EXPECT_EQ(r.ccErrors, 2u);  // the packet itself and the one after it
  EXPECT_EQ(r.corrupt, 1u);
  EXPECT_EQ(r.syncErrors, 0u);
  EXPECT_NE(verdictLine(r).find("2 cc errors"), std::string::npos);

  file = recording(range(0, 40));
  file[9 * 1316 + 4 * 188] = 0x46;
  r = check(file);
  EXPECT_EQ(r.syncErrors, 1u);
  EXPECT_EQ(r.corrupt, 1u);
  EXPECT_EQ(r.missing, 0u);
}

TEST(StreamCheck, TruncatedTailIsReported) {
  auto file = recording(range(0, 10));
  file.resize(file.size() - 1000);
  const auto r = check(file);
  EXPECT_EQ(r.datagrams, 9u);
  EXPECT_EQ(r.trailingBytes, 316u);
  EXPECT_EQ(r.last, 8u);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(verdictLine(r).find("316 trailing bytes"), std::string::npos);
}

TEST(StreamCheck, ExpectationsDemandTheExactRange) {
  const auto file = recording(range(10, 4990));
  auto r = check(file, {StreamMode::Ts, 0, 0, 5000});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.gaps, 1u);
  EXPECT_EQ(r.missing, 10u);
  EXPECT_EQ(verdictLine(r), "FAIL: 4990 datagrams 10..4999, 1 gap (10 missing), 0 duplicates, 0 corrupt");

  r = check(file, {StreamMode::Ts, 0, 10, 4990});
  EXPECT_TRUE(r.ok);
  r = check(file, {StreamMode::Ts, 0, {}, 4980});  // ten too many at the end
  EXPECT_EQ(r.unexpected, 10u);
  EXPECT_FALSE(r.ok);
  r = check(file, {StreamMode::Ts, 0, 11, {}});
  EXPECT_EQ(r.unexpected, 1u);
  EXPECT_FALSE(r.ok);

  r = check({}, {StreamMode::Ts, 0, {}, 5});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.missing, 5u);
  r = check({}, {StreamMode::Ts, 0, 3, 0});
  EXPECT_TRUE(r.ok);
}

TEST(StreamCheck, ShortRawRecordsAreCheckedAgainstTheirPosition) {
  CheckOptions o{StreamMode::Raw, 3, 100, {}};
  auto file = recording(range(100, 50), StreamMode::Raw, 3);
  EXPECT_TRUE(check(file, o).ok);
  file[3 * 20] ^= 0xFF;
  const auto r = check(file, o);
  EXPECT_EQ(r.corrupt, 1u);
  EXPECT_EQ(r.missing, 0u);
}

TEST(StreamCheck, JsonCarriesEveryField) {
  auto idx = range(0, 20);
  idx.erase(idx.begin() + 3);
  const std::string json = toJson(check(recording(idx)));
  for (const char* key : {"\"ok\":false", "\"datagrams\":19", "\"first\":0", "\"last\":19", "\"gaps\":1",
                          "\"missing\":1", "\"duplicates\":0", "\"out_of_order\":0", "\"corrupt\":0",
                          "\"trailing_bytes\":0", "\"cc_errors\":1", "\"sync_errors\":0"}) {
    EXPECT_NE(json.find(key), std::string::npos) << key << " in " << json;
  }
  EXPECT_NE(toJson(check({})).find("\"first\":null"), std::string::npos);
}

TEST(IndexSet, MergesRunsInAnyOrder) {
  IndexSet s;
  for (std::uint64_t i : {5, 7, 6, 3, 9, 4}) EXPECT_TRUE(s.insert(i));
  EXPECT_FALSE(s.insert(6));
  EXPECT_EQ(s.min(), 3u);
  EXPECT_EQ(s.max(), 9u);
  auto st = s.stats(0, 12);  // missing 0-2, 8, 10-12
  EXPECT_EQ(st.gaps, 3u);
  EXPECT_EQ(st.missing, 7u);
  EXPECT_EQ(st.outside, 0u);
  st = s.stats(4, 6);
  EXPECT_EQ(st.missing, 0u);
  EXPECT_EQ(st.outside, 3u);  // 3, 7, 9
  EXPECT_TRUE(s.insert(UINT64_MAX));
  st = s.stats(9, UINT64_MAX);
  EXPECT_EQ(st.gaps, 1u);
  EXPECT_EQ(st.missing, UINT64_MAX - 10);
}
