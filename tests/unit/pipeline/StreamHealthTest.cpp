#include "pipeline/HealthReport.h"
#include "pipeline/StreamHealth.h"
#include "pipeline/StreamHealthFeed.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

using namespace health_test;

TEST(StreamHealth, CountsTsLossFromContinuityCounters)
{
    struct Case {
        const char* name;
        std::vector<std::vector<Packet>> datagrams;  // 100 ms apart
        std::uint64_t lost;
    };
    const Case cases[] = {
        {"in order across the counter wrap", {{{0x100, 13}, {0x100, 14}, {0x100, 15}}, {{0x100, 0}, {0x100, 1}}}, 0},
        {"one duplicate is allowed", {{{0x100, 4}, {0x100, 5}, {0x100, 5}, {0x100, 6}}}, 0},
        {"a second duplicate is one error", {{{0x100, 4}, {0x100, 5}, {0x100, 5}, {0x100, 5}, {0x100, 6}}}, 1},
        {"discontinuity flag honoured", {{{0x100, 2}, {0x100, 3}}, {{0x100, 11, true}, {0x100, 12}}}, 0},
        {"the same jump unflagged", {{{0x100, 2}, {0x100, 3}}, {{0x100, 11}, {0x100, 12}}}, 7},
        {"gap across the wrap", {{{0x100, 14}, {0x100, 15}}, {{0x100, 3}}}, 3},
        {"null PID skipped", {{{0x1FFF, 3}, {0x1FFF, 9}, {0x100, 0}, {0x1FFF, 0}, {0x100, 1}}}, 0},
        {"one datagram of two PIDs lost",
         {{{0x100, 0}, {0x100, 1}, {0x100, 2}, {0x100, 3}, {0x200, 0}, {0x200, 1}, {0x200, 2}},
          // {0x100, 4..7}, {0x200, 3..5} never came
          {{0x100, 8}, {0x100, 9}, {0x100, 10}, {0x100, 11}, {0x200, 6}, {0x200, 7}, {0x200, 8}}},
         7},
    };
    for (const Case& c : cases) {
        Feed feed;
        std::int64_t at = kBase;
        for (const std::vector<Packet>& packets : c.datagrams) {
            std::vector<std::uint8_t> d;
            for (const Packet& p : packets) AppendPacket(d, p);
            feed.Add(d, at);
            at += 100 * kMs;
        }
        feed.Finish(at);
        EXPECT_EQ(feed.health.TsPacketsLost(), c.lost) << c.name;
        EXPECT_EQ(feed.MlrSum(), c.lost) << c.name;
        EXPECT_FALSE(feed.health.Rtp()) << c.name;
    }

    // Seven-packet datagrams 100 ms apart, the 13th missing: the loss lands
    // in second 1.
    Feed feed;
    for (unsigned n = 0; n < 20; ++n)
        if (n != 12) feed.Add(Datagram(7 * n), kBase + n * 100 * kMs);
    feed.Finish(kBase + 2000 * kMs);
    ASSERT_EQ(feed.health.Intervals().size(), 2u);
    EXPECT_EQ(feed.health.Intervals()[0].mlr, 0u);
    EXPECT_EQ(feed.health.Intervals()[1].mlr, 7u);
    EXPECT_EQ(feed.health.WorstMlr(), 7u);
}

TEST(StreamHealth, CountsRtpLossFromSequenceNumbers)
{
    struct Case {
        const char* name;
        std::vector<int> sequence;  // one seven-packet datagram each, 100 ms apart
        std::uint64_t lost;
    };
    const Case cases[] = {
        {"wrap at 65535", {65533, 65534, 65535, 0, 1}, 0},
        {"one lost across the wrap", {65534, 65535, 1, 2}, 7},
        {"a swap is not loss", {1, 2, 4, 3, 5}, 0},
        {"a duplicate is not loss", {1, 2, 2, 3}, 0},
        {"two lost", {1, 2, 5, 6}, 14},
    };
    for (const Case& c : cases) {
        Feed feed;
        std::int64_t at = kBase;
        for (int n : c.sequence) {
            // The counters follow the sender's order, so a repeated or swapped
            // datagram breaks them: only the sequence numbers may count.
            feed.Add(Datagram(static_cast<unsigned>(7 * n), n), at);
            at += 100 * kMs;
        }
        feed.Finish(at);
        EXPECT_TRUE(feed.health.Rtp()) << c.name;
        EXPECT_EQ(feed.health.TsPacketsLost(), c.lost) << c.name;
        EXPECT_EQ(feed.MlrSum(), c.lost) << c.name;
    }
}

TEST(StreamHealth, DelayFactorFollowsTheVirtualBuffer)
{
    // 1316-byte datagrams sent every millisecond (1.316 MB/s) until 3 s; the
    // ones due in [holdFrom, holdTo) all arrive at holdTo. With PCRs, every
    // tenth datagram carries the time it was sent.
    struct Case {
        const char* name;
        int firstMs, holdFromMs, holdToMs;
        bool pcr;
        std::size_t second;
        double df, tolerance;
    };
    const Case cases[] = {
        {"CBR: one datagram's duration", 0, 0, 0, false, 1, 1.0, 0.01},
        {"CBR with PCRs", 0, 0, 0, true, 0, 1.0, 0.01},
        {"300-ms hold, then a burst", 0, 1300, 1600, false, 1, 301.0, 0.2},
        {"300-ms hold with PCRs", 0, 1300, 1600, true, 1, 301.0, 0.2},
        // The first second's own byte rate would be half the stream's.
        {"late start, rate from PCRs", 500, 0, 0, true, 0, 1.0, 0.01},
    };
    for (const Case& c : cases) {
        Feed feed;
        for (int ms = c.firstMs; ms < 3000; ++ms) {
            const std::int64_t pcr = c.pcr && ms % 10 == 0 ? std::int64_t{ms} * 27000 : -1;
            const int arrivalMs = ms >= c.holdFromMs && ms < c.holdToMs ? c.holdToMs : ms;
            feed.Add(Datagram(static_cast<unsigned>(7 * ms), -1, pcr), kBase + arrivalMs * kMs);
        }
        feed.Finish(kBase + 3000 * kMs);
        ASSERT_EQ(feed.health.Intervals().size(), 3u) << c.name;
        EXPECT_NEAR(feed.health.Intervals()[c.second].dfMs, c.df, c.tolerance) << c.name;
        EXPECT_NEAR(feed.health.WorstDfMs(), c.df, c.tolerance) << c.name;
        EXPECT_EQ(feed.health.RateFromPcr(), c.pcr) << c.name;
        EXPECT_EQ(feed.health.TsPacketsLost(), 0u) << c.name;
    }
}

TEST(StreamHealth, OutagesIatAndOffsets)
{
    struct Outage {
        int startMs, endMs;
        std::uint64_t offset;
    };
    struct Case {
        const char* name;
        std::vector<int> arrivalsMs;  // 100-byte datagrams
        int endMs;
        std::vector<Outage> outages;
        std::uint32_t iatMaxUs;
        std::vector<std::uint64_t> offsets;  // of each second
    };
    const Case cases[] = {
        {"0.9 s of silence is none", {0, 900}, 1000, {}, 900000, {0}},
        {"1.1 s of silence is one", {0, 1100}, 1200, {{0, 1100, 100}}, 1100000, {0, 100}},
        {"silence at the start", {1200}, 1500, {{0, 1200, 0}}, 0, {0, 0}},
        {"one second at the end", {0}, 1000, {{0, 1000, 100}}, 0, {0}},
        {"an empty second takes the next datagram's offset",
         {0, 500, 2700, 3000},
         3200,
         {{500, 2700, 200}},
         2200000,
         {0, 200, 200, 300}},
        {"never resumed", {0, 300}, 2500, {{300, 2500, 200}}, 300000, {0, 200, 200}},
    };
    for (const Case& c : cases) {
        Feed feed;
        const std::vector<std::uint8_t> d(100, 0);
        for (int ms : c.arrivalsMs) feed.Add(d, kBase + ms * kMs);
        feed.Finish(kBase + c.endMs * kMs);
        const std::vector<HealthOutage>& outages = feed.health.Outages();
        ASSERT_EQ(outages.size(), c.outages.size()) << c.name;
        for (std::size_t i = 0; i < outages.size(); ++i) {
            EXPECT_EQ(outages[i].startNs, kBase + c.outages[i].startMs * kMs) << c.name;
            EXPECT_EQ(outages[i].endNs, kBase + c.outages[i].endMs * kMs) << c.name;
            EXPECT_EQ(outages[i].offset, c.outages[i].offset) << c.name;
        }
        EXPECT_EQ(feed.health.IatMaxUs(), c.iatMaxUs) << c.name;
        std::vector<std::uint64_t> offsets;
        for (const HealthInterval& i : feed.health.Intervals()) offsets.push_back(i.offset);
        EXPECT_EQ(offsets, c.offsets) << c.name;
        EXPECT_EQ(feed.health.Datagrams(), c.arrivalsMs.size()) << c.name;
    }
}

TEST(StreamHealth, HostDropsAndPeriods)
{
    Feed feed;
    HealthInterval last{};
    EXPECT_FALSE(feed.health.HostDrops().has_value());
    for (int n = 0; n < 10; ++n) feed.Add(Datagram(7 * n), kBase + n * 100 * kMs);
    EXPECT_FALSE(feed.health.LastCompleteSecond(&last));
    feed.health.NoteHostDrops(5, kBase + 1500 * kMs);  // ahead of the datagrams: waits for second 1
    for (int n = 10; n < 30; ++n) feed.Add(Datagram(7 * n), kBase + n * 100 * kMs);
    feed.health.NoteHostDrops(5, kBase + 2200 * kMs);
    feed.health.NoteHostDrops(8, kBase + 2900 * kMs);
    ASSERT_TRUE(feed.health.LastCompleteSecond(&last));
    EXPECT_EQ(last.t, 1);
    EXPECT_EQ(last.datagrams, 10u);
    feed.Finish(kBase + 3000 * kMs);
    std::vector<std::int64_t> drops;
    for (const HealthInterval& i : feed.health.Intervals()) drops.push_back(i.hostDrops);
    EXPECT_EQ(drops, (std::vector<std::int64_t>{-1, 5, 3}));
    EXPECT_EQ(feed.health.HostDrops(), std::optional<std::uint64_t>(8));

    // A new segment: seconds and offsets restart, while a datagram lost at
    // the cut still shows, in the new period.
    feed.health.StartPeriod(kBase + 3000 * kMs);
    feed.offset = 0;
    for (int n = 31; n < 40; ++n) feed.Add(Datagram(7 * n), kBase + n * 100 * kMs);
    feed.health.NoteHostDrops(9, kBase + 3500 * kMs);
    feed.health.Advance(kBase + 5000 * kMs);  // a quiet stretch: the seconds move on
    ASSERT_TRUE(feed.health.LastCompleteSecond(&last));
    EXPECT_EQ(last.t, 1);
    EXPECT_EQ(last.datagrams, 0u);
    feed.Finish(kBase + 5500 * kMs);
    ASSERT_EQ(feed.health.Intervals().size(), 3u);
    EXPECT_EQ(feed.health.Intervals()[0].offset, 0u);
    EXPECT_EQ(feed.health.Intervals()[0].mlr, 7u);
    EXPECT_EQ(feed.health.Intervals()[0].hostDrops, 1);
    EXPECT_EQ(feed.health.Intervals()[1].offset, feed.offset);
    EXPECT_EQ(feed.health.TsPacketsLost(), 7u);
    EXPECT_EQ(feed.health.Datagrams(), 9u);
    EXPECT_EQ(feed.health.HostDrops(), std::optional<std::uint64_t>(1));
    ASSERT_EQ(feed.health.Outages().size(), 1u);  // from the last datagram at 3.9 s to the end
    EXPECT_EQ(feed.health.Outages()[0].startNs, kBase + 3900 * kMs);

    // A datagram reordered across a cut fills its gap in the next period;
    // when it is the last to come, the end confirms it late.
    for (const std::vector<int>& after : {std::vector<int>{3, 5, 6}, std::vector<int>{3}}) {
        Feed cut;
        for (int n : {0, 1, 2, 4}) cut.Add(Datagram(7 * n), kBase + n * 100 * kMs);
        cut.health.FinishPeriod(kBase + 450 * kMs, cut.offset);
        cut.health.StartPeriod(kBase + 450 * kMs);
        for (int n : after) cut.Add(Datagram(7 * n), kBase + 460 * kMs + n * kMs);
        cut.Finish(kBase + 1000 * kMs);
        EXPECT_EQ(cut.health.TsPacketsLost(), 0u) << after.size();
        EXPECT_EQ(cut.health.Reordered(), 1u) << after.size();
    }
}

TEST(StreamHealth, ReportJson)
{
    // Second 0: two datagrams half a second apart, seven packets lost between
    // them, two host drops; second 1 empty; second 2 one datagram, then the end.
    // Every arrival is a silence apart from the one before, so the rate is the
    // window's bytes over its whole span: 2632 bytes over 2 s, and the lone
    // datagram of second 2 is a second's worth. The two host drops are two
    // seven-packet datagrams gone: 14 packets estimated, of which the counters
    // saw 7 (not counted twice).
    Feed feed;
    feed.Add(Datagram(0), kBase);
    feed.Add(Datagram(14), kBase + 500 * kMs);
    feed.health.NoteHostDrops(2, kBase + 600 * kMs);
    feed.Add(Datagram(5), kBase + 2000 * kMs);
    feed.Finish(kBase + 2500 * kMs);
    const HealthReportInfo info{"/rec/caf\xC3\xA9 \"1\"\xFF.ts", 1714564800250, 1714564802750, true};
    const std::string expected = R"({
  "file":"/rec/café \"1\"�.ts",
  "started":"2024-05-01T12:00:00.250Z",
  "ended":"2024-05-01T12:00:02.750Z",
  "seconds":2.500,
  "datagrams":3,
  "bytes":3948,
  "timestamp_source":"kernel",
  "rate_source":"measured",
  "host_drops":2,
  "ts_packets_lost":7,
  "ts_packets_lost_estimated":14,
  "duplicates":0,
  "reordered":0,
  "rtp":false,
  "iat_max_us":1500000,
  "iat_histogram":{"262144":1, "1048576":1},
  "mdi_worst":{"df_ms":1000.000, "mlr":7},
  "outages":[
    {"start":0.500, "end":2.000, "seconds":1.500, "offset":2632}
  ],
  "intervals":[
    {"t":0, "offset":0, "datagrams":2, "bytes":2632, "iat_max_us":500000, "df_ms":500.000, "mlr":7, "ts_packets_lost_estimated":14, "host_drops":2},
    {"t":1, "offset":2632, "datagrams":0, "bytes":0, "iat_max_us":0, "df_ms":0.000, "mlr":0, "ts_packets_lost_estimated":0, "host_drops":0},
    {"t":2, "offset":2632, "datagrams":1, "bytes":1316, "iat_max_us":1500000, "df_ms":1000.000, "mlr":0, "ts_packets_lost_estimated":0, "host_drops":0}
  ]
}
)";
    EXPECT_EQ(HealthReportJson(info, feed.health), expected);

    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "pelorin-health-test";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::filesystem::path report = dir / "report.json";
    {
        std::ofstream old(report);
        old << "an earlier report";
    }
    ASSERT_TRUE(WriteHealthReport(report, info, feed.health));
    std::ifstream in(report, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), expected);
    EXPECT_FALSE(WriteHealthReport(dir / "missing" / "report.json", info, feed.health));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 1);
    std::filesystem::remove_all(dir);
}
