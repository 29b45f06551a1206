#include "InspectMux.h"

#include <gtest/gtest.h>

using namespace pelorin::tools;
using namespace pelorin::tools::inspecttest;

TEST(Inspect, ClockRtpAndStrippingOnACleanStream) {
  const auto packets = build({});
  const auto plain = bytes(packets);
  InspectReport r = inspect(plain);
  EXPECT_TRUE(r.priority1Ok());
  EXPECT_FALSE(r.rtp);
  EXPECT_EQ(r.packets, 3000u);
  EXPECT_EQ(r.pcrPid, kVideo);
  // PCRs from 2 ms to 2982 ms; 188 bytes a millisecond.
  ASSERT_TRUE(r.durationSeconds && r.bitrateBps);
  EXPECT_DOUBLE_EQ(*r.durationSeconds, 2.98);
  EXPECT_NEAR(*r.bitrateBps, 188 * 8 * 1000, 1e-6);
  ASSERT_EQ(r.pids.size(), 5u);
  EXPECT_EQ(r.pids[0].pid, 0);
  EXPECT_EQ(r.pids[0].packets, 30u);
  EXPECT_NEAR(*r.pids[0].bitrateBps, 188 * 8 * 10, 1e-6);

  std::vector<std::uint8_t> stripped;
  r = inspect(rtpWrap(packets, 7), &stripped);
  EXPECT_TRUE(r.rtp);
  EXPECT_EQ(r.rtpDatagrams, 428u);
  EXPECT_EQ(r.rtpLost, 1u);
  EXPECT_EQ(stripped.size(), plain.size() - 7 * 188);
  stripped.clear();
  inspect(rtpWrap(packets), &stripped);
  EXPECT_TRUE(stripped == plain);

  // Without a clock nothing is timed, and the report says so.
  r = inspect(bytes(build(with([](Mux& m) { m.pcr = false; }))));
  EXPECT_TRUE(r.priority1Ok());
  EXPECT_FALSE(r.pcrPid);
  EXPECT_FALSE(r.durationSeconds);
  EXPECT_NE(toText(r).find("no PCR"), std::string::npos);
  EXPECT_NE(toJson(r).find("\"duration_s\":null"), std::string::npos);
}

// Loss is datagrams expected minus received; one that comes late is
// reordered, not lost, and a jump it fills is no gap.
TEST(Inspect, RtpLossIsExpectedMinusReceived) {
  struct Case {
    const char* name;
    unsigned firstSeq;
    std::function<void(std::vector<Datagram>&)> edit;
    std::uint64_t datagrams, gaps, lost, reordered;
  };
  const auto swap = [](std::vector<Datagram>& d, std::size_t i) { std::swap(d[i], d[i + 1]); };
  const std::vector<Case> cases = {
      {"in order", 0, [](auto&) {}, 429, 0, 0, 0},
      {"a swapped pair and a duplicate", 0, [&](auto& d) {
         swap(d, 100);
         d.insert(d.begin() + 200, d[200]);
       },
       430, 0, 0, 1},
      {"three in a row lost", 0, [](auto& d) { d.erase(d.begin() + 100, d.begin() + 103); }, 426, 1, 3, 0},
      {"one lost, one three places late", 0, [](auto& d) {
         d.erase(d.begin() + 100);
         d.insert(d.begin() + 203, d[199]);
         d.erase(d.begin() + 199);
       },
       428, 1, 1, 1},
      {"a swapped pair across the wrap", 65500, [&](auto& d) { swap(d, 35); }, 429, 0, 0, 1},
  };
  for (const auto& c : cases) {
    auto d = datagrams(build({}), c.firstSeq);
    c.edit(d);
    const InspectReport r = inspect(join(d));
    EXPECT_EQ(r.rtpDatagrams, c.datagrams) << c.name;
    EXPECT_EQ(r.rtpGaps, c.gaps) << c.name;
    EXPECT_EQ(r.rtpLost, c.lost) << c.name;
    EXPECT_EQ(r.rtpReordered, c.reordered) << c.name;
  }
}

TEST(Inspect, ClockGoesOnWhenItsPidStops) {
  struct Case {
    const char* name;
    Mux mux;
    std::vector<ClockHandOver> handOvers;
    double estimated;
    double duration;
  };
  auto stops = [](bool twoPrograms) {
    return with([=](Mux& m) {
      m.ms = 11000;
      m.twoPrograms = twoPrograms;
      m.noVideo = {5000, 11000};
    });
  };
  const std::vector<Case> cases = {
      // Its last PCR at 4982 ms, the file's end at 11000 ms, all by the last rate.
      {"alone", stops(false), {}, 6.018, 10.998},
      // The other program's PCRs were placed on the clock while both ran; its
      // first PCR more than 0.5 s after the last one of the clock's PID takes over.
      {"beside another program", stops(true), {{kVideo2, 5.481}}, 0, 10.981},
  };
  for (const auto& c : cases) {
    const InspectReport r = inspect(bytes(build(c.mux)));
    EXPECT_EQ(r.pcrPid, kVideo) << c.name;
    ASSERT_EQ(r.clockHandOvers.size(), c.handOvers.size()) << c.name;
    for (std::size_t i = 0; i < c.handOvers.size(); ++i) {
      EXPECT_EQ(r.clockHandOvers[i].pid, c.handOvers[i].pid) << c.name;
      EXPECT_NEAR(r.clockHandOvers[i].atSeconds, c.handOvers[i].atSeconds, 1e-6) << c.name;
    }
    ASSERT_TRUE(r.estimatedSeconds && r.durationSeconds && r.bitrateBps) << c.name;
    EXPECT_NEAR(*r.estimatedSeconds, c.estimated, 1e-6) << c.name;
    EXPECT_NEAR(*r.durationSeconds, c.duration, 1e-6) << c.name;
    EXPECT_NEAR(*r.bitrateBps, 188 * 8 * 1000, 1) << c.name;
    EXPECT_EQ(toText(r).find("clock estimated") != std::string::npos, c.estimated > 0) << c.name;
  }
}
