#include "TsReplay.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "TsStreams.h"

using namespace pelorin::tools;
using namespace pelorin::tools::teststreams;

namespace {

constexpr std::uint64_t kTicks = 2700;  // 100 us per packet
constexpr double kPacketSeconds = 100e-6;

}  // namespace

TEST(PcrTimeline, ConstantRateGivesLinearTimes) {
  // The first PCR comes late; bytes before it are timed at the first segment's rate.
  for (std::uint64_t start : {std::uint64_t{1000}, kPcrWrap - 25 * kTicks}) {  // second one wraps
    const auto ts = pcrStream(400, 10, 3, start, kTicks);
    PcrTimeline timeline(ts.data(), ts.size());
    for (std::size_t packet : {0, 1, 3, 17, 250, 399, 400}) {
      const auto t = timeline.timeAt(packet * kTsPacketSize);
      ASSERT_TRUE(t.has_value());
      EXPECT_NEAR(*t, static_cast<double>(packet) * kPacketSeconds, 1e-9) << "start " << start << " packet " << packet;
    }
    // Going back to the top (as a looping replay does) still works.
    EXPECT_NEAR(*timeline.timeAt(50 * kTsPacketSize), 50 * kPacketSeconds, 1e-9);
  }
}

TEST(PcrTimeline, RateChangesAndDiscontinuities) {
  // Packets 0..99 at 100 us each, then the clock slows to 50 us per packet.
  auto ts = pcrStream(200, 10, 0, 0, kTicks);
  for (std::size_t i = 100; i < 200; i += 10) putPcr(ts.data() + i * kTsPacketSize, 100 * kTicks + (i - 100) * kTicks / 2);
  PcrTimeline timeline(ts.data(), ts.size());
  EXPECT_NEAR(*timeline.timeAt(100 * kTsPacketSize), 0.010, 1e-9);
  EXPECT_NEAR(*timeline.timeAt(155 * kTsPacketSize), 0.010 + 55 * 50e-6, 1e-9);

  // The 33-bit clock wrapping is not a discontinuity: here the segment across
  // the wrap runs at half the rate, which bridging would not reproduce.
  const std::uint64_t start = kPcrWrap - 15 * kTicks;
  ts = pcrStream(100, 10, 0, start, kTicks);
  for (std::size_t i = 20; i < 100; i += 10) putPcr(ts.data() + i * kTsPacketSize, (start + (i + 10) * kTicks) % kPcrWrap);
  PcrTimeline wrapping(ts.data(), ts.size());
  EXPECT_NEAR(*wrapping.timeAt(20 * kTsPacketSize), 0.003, 1e-9);
  EXPECT_NEAR(*wrapping.timeAt(50 * kTsPacketSize), 0.006, 1e-9);

  // A jump back (a spliced file) is bridged at the rate before it.
  ts = pcrStream(200, 10, 0, 5'000'000, kTicks);
  for (std::size_t i = 100; i < 200; i += 10) putPcr(ts.data() + i * kTsPacketSize, (i - 100) * kTicks);
  PcrTimeline spliced(ts.data(), ts.size());
  double previous = -1;
  for (std::size_t packet = 0; packet <= 200; packet += 5) {
    const double t = *spliced.timeAt(packet * kTsPacketSize);
    EXPECT_NEAR(t, static_cast<double>(packet) * kPacketSeconds, 1e-9) << packet;
    EXPECT_GT(t, previous);
    previous = t;
  }
}

TEST(PcrTimeline, NeedsTwoPcrs) {
  auto ts = pcrStream(50, 1000, 7, 0, kTicks);  // a single PCR
  PcrTimeline one(ts.data(), ts.size());
  EXPECT_FALSE(one.timeAt(0).has_value());
  ts = pcrStream(50, 1000, 1000, 0, kTicks);  // none
  PcrTimeline none(ts.data(), ts.size());
  EXPECT_FALSE(none.timeAt(0).has_value());
}

TEST(TsFile, MapsWholePacketsAndRefusesOtherFiles) {
  auto ts = pcrStream(10, 5, 0, 0, kTicks);
  ts.resize(ts.size() + 100);  // a partial packet at the end is left out
  TempFile good(ts);
  TsFile file(good.path());
  EXPECT_EQ(file.size(), 10 * kTsPacketSize);
  EXPECT_EQ(file.data()[kTsPacketSize], 0x47);

  ts.insert(ts.begin(), 4, 0x00);  // 192-byte style prefix
  TempFile shifted(ts);
  EXPECT_THROW(TsFile{shifted.path()}, std::runtime_error);
  TempFile empty({});
  EXPECT_THROW(TsFile{empty.path()}, std::runtime_error);
  EXPECT_THROW(TsFile{"/nonexistent/pelorin.ts"}, std::runtime_error);
}
