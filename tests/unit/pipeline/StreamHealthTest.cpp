#include "pipeline/HealthReport.h"
#include "pipeline/StreamHealth.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t kMs = 1000000;
constexpr std::int64_t kBase = 5000 * kMs;  // the monotonic scale's 0 is arbitrary

struct Packet {
    std::uint16_t pid;
    std::uint8_t cc;
    bool discontinuity = false;
    std::int64_t pcr = -1;  // 27 MHz ticks
};

void AppendPacket(std::vector<std::uint8_t>& d, const Packet& p)
{
    const std::size_t at = d.size();
    d.resize(at + 188, 0xFF);
    d[at] = 0x47;
    d[at + 1] = static_cast<std::uint8_t>((p.pid >> 8) & 0x1F);
    d[at + 2] = static_cast<std::uint8_t>(p.pid & 0xFF);
    const bool adaptation = p.discontinuity || p.pcr >= 0;
    d[at + 3] = static_cast<std::uint8_t>((adaptation ? 0x30 : 0x10) | (p.cc & 0x0F));
    if (!adaptation) return;
    d[at + 4] = p.pcr >= 0 ? 7 : 1;
    d[at + 5] = static_cast<std::uint8_t>((p.discontinuity ? 0x80 : 0) | (p.pcr >= 0 ? 0x10 : 0));
    if (p.pcr >= 0) {
        const auto base = static_cast<std::uint64_t>(p.pcr / 300);
        const auto ext = static_cast<unsigned>(p.pcr % 300);
        d[at + 6] = static_cast<std::uint8_t>(base >> 25);
        d[at + 7] = static_cast<std::uint8_t>(base >> 17);
        d[at + 8] = static_cast<std::uint8_t>(base >> 9);
        d[at + 9] = static_cast<std::uint8_t>(base >> 1);
        d[at + 10] = static_cast<std::uint8_t>(((base & 1) << 7) | 0x7E | (ext >> 8));
        d[at + 11] = static_cast<std::uint8_t>(ext & 0xFF);
    }
}

// Seven packets of one PID with counters from `cc` on; an RTP header first
// when `sequence` is not negative.
std::vector<std::uint8_t> Datagram(unsigned cc, int sequence = -1, std::int64_t pcr = -1)
{
    std::vector<std::uint8_t> d;
    if (sequence >= 0) d = {0x80, 33, static_cast<std::uint8_t>(sequence >> 8), static_cast<std::uint8_t>(sequence), 0, 0,
                            0, 0, 0x12, 0x34, 0x56, 0x78};
    for (unsigned k = 0; k < 7; ++k)
        AppendPacket(d, Packet{0x100, static_cast<std::uint8_t>((cc + k) & 15), false, k == 0 ? pcr : -1});
    return d;
}

// Feeds datagrams as the recorder writes them: back to back in the file.
struct Feed {
    StreamHealth health;
    std::uint64_t offset = 0;

    explicit Feed(std::int64_t start = kBase) { health.Start(start); }
    void Add(const std::vector<std::uint8_t>& d, std::int64_t atNs)
    {
        health.AddDatagram(d.data(), static_cast<std::uint32_t>(d.size()), atNs, offset);
        offset += d.size();
    }
    void Finish(std::int64_t endNs) { health.Finish(endNs, offset); }
    std::uint64_t MlrSum() const
    {
        std::uint64_t sum = 0;
        for (const HealthInterval& i : health.Intervals()) sum += i.mlr;
        return sum;
    }
};

}  // namespace

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
    // datagram of second 2 is a second's worth.
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
  "ts_packets_lost_estimated":7,
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
    {"t":0, "offset":0, "datagrams":2, "bytes":2632, "iat_max_us":500000, "df_ms":500.000, "mlr":7, "ts_packets_lost_estimated":7, "host_drops":2},
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

TEST(StreamHealth, ArrivalPatternsOfAMisbehavingNetwork)
{
    // Seven-packet datagrams sent every millisecond (1.316 MB/s) for 4 s; with
    // PCRs, every tenth carries the time it was sent. Each pattern changes
    // what arrives, in which order, and when; the figures are those of the
    // second `second` and of the whole run.
    enum Pattern {
        kSwapEvery50th,
        kHoldEvery25th,
        kRepeatEvery100th,
        kRepeatAfterTheNext,
        kPause500ms,
        kBurstOf40,
        kSqueezeEvery5th
    };
    struct Case {
        const char* name;
        Pattern pattern;
        bool pcr;
        std::size_t second;
        double df;                     // ms, to 0.05
        std::uint64_t lost, estimated;  // TS packets, the run
        std::uint64_t duplicates, reordered;
    };
    const Case cases[] = {
        // A swap arrives on the usual rhythm: the buffer sees a steady stream,
        // the late datagram fills its gap.
        {"every 50th swapped with the next", kSwapEvery50th, true, 2, 1.0, 0, 0, 0, 80},
        // Held 20 ms, it comes after twenty others, its counters wrapped nine
        // times over; meanwhile the buffer lacks its bytes: one datagram more.
        {"every 25th held back 20 ms", kHoldEvery25th, true, 2, 2.0, 0, 0, 0, 156},
        // The copy is no media and no loss: 40 copies in 4 s.
        {"every 100th duplicated", kRepeatEvery100th, false, 2, 1.0, 0, 0, 40, 0},
        // The copy comes after the next datagram: its counters go back, it
        // neither opens a gap nor fills one.
        {"every 100th duplicated after the next", kRepeatAfterTheNext, false, 2, 1.0, 0, 0, 40, 0},
        // Nothing sent in [2.0, 2.5) s: the silence is not rate, and the
        // clean second after it reads clean.
        {"a 500-ms pause, no PCRs", kPause500ms, false, 3, 1.0, 0, 0, 0, 0},
        // Datagrams 1400..1439 lost: 280 packets, of which the counters see
        // 280 mod 16 = 8; the PCRs at 1390 and 1440 ms span 350 packets' time
        // with 70 here, so 280 were lost, 272 beyond the counters. The buffer
        // runs 40 ms dry.
        {"a burst of 40 datagrams lost", kBurstOf40, true, 1, 41.0, 8, 280, 0, 0},
        // A bucket below the rate drops every 5th datagram of second 1: 200
        // datagrams, 1400 packets, all seen by the counters. The buffer,
        // drained at the PCRs' rate, falls behind by 200 datagrams' time, on
        // top of one datagram's own.
        {"a squeeze drops every 5th datagram", kSqueezeEvery5th, true, 1, 201.0, 1400, 1400, 0, 0},
    };
    for (const Case& c : cases) {
        Feed feed;
        std::vector<std::pair<int, std::vector<std::uint8_t>>> held;  // due, datagram
        int counted = 0;  // datagrams sent so far
        std::vector<std::uint8_t> previous;
        for (int ms = 0; ms < 4000; ++ms) {
            int sent = ms;
            if (c.pattern == kSwapEvery50th && ms % 50 == 10) sent = ms + 1;
            if (c.pattern == kSwapEvery50th && ms % 50 == 11) sent = ms - 1;
            // The sender pauses: its counters do not move meanwhile.
            if (c.pattern == kPause500ms && ms >= 2000 && ms < 2500) continue;
            if (c.pattern == kPause500ms) sent = counted;
            ++counted;
            if (c.pattern == kBurstOf40 && ms >= 1400 && ms < 1440) continue;
            if (c.pattern == kSqueezeEvery5th && ms >= 1000 && ms < 2000 && ms % 5 == 2) continue;
            const std::int64_t pcr = c.pcr && sent % 10 == 0 ? std::int64_t{sent} * 27000 : -1;
            const std::vector<std::uint8_t> d = Datagram(static_cast<unsigned>(7 * sent), -1, pcr);
            if (c.pattern == kHoldEvery25th && ms % 25 == 5 && ms < 3900) {
                held.push_back({ms + 20, d});
                continue;
            }
            feed.Add(d, kBase + ms * kMs);
            // The held ones come in just after the one due at their time.
            while (!held.empty() && held.front().first <= ms) {
                feed.Add(held.front().second, kBase + ms * kMs + 500000);
                held.erase(held.begin());
            }
            if (c.pattern == kRepeatEvery100th && ms % 100 == 50) feed.Add(d, kBase + ms * kMs + 100000);
            if (c.pattern == kRepeatAfterTheNext && ms % 100 == 51) feed.Add(previous, kBase + ms * kMs + 100000);
            previous = d;
        }
        feed.Finish(kBase + 4000 * kMs);
        ASSERT_EQ(feed.health.Intervals().size(), 4u) << c.name;
        EXPECT_NEAR(feed.health.Intervals()[c.second].dfMs, c.df, 0.05) << c.name;
        EXPECT_EQ(feed.health.TsPacketsLost(), c.lost) << c.name;
        EXPECT_EQ(feed.health.TsPacketsLostEstimated(), c.estimated) << c.name;
        EXPECT_EQ(feed.health.Duplicates(), c.duplicates) << c.name;
        EXPECT_EQ(feed.health.Reordered(), c.reordered) << c.name;
        EXPECT_STREQ(feed.health.RateSourceName(), c.pcr ? "pcr" : "measured") << c.name;
    }

    // A nominal rate, where it is known, is the one the buffer drains at.
    Feed configured;
    configured.health.ConfigureMediaRate(1316000.0 / 2);
    configured.health.Start(kBase);
    for (int ms = 0; ms < 2000; ++ms) configured.Add(Datagram(static_cast<unsigned>(7 * ms)), kBase + ms * kMs);
    configured.Finish(kBase + 2000 * kMs);
    EXPECT_STREQ(configured.health.RateSourceName(), "configured");
    // Twice the nominal rate: from the second's first arrival to after its
    // last, the buffer gains 658 bytes in each of the 999 ms between them and
    // 1316 with the last one; at 658 bytes a millisecond, 999 + 2 = 1001 ms.
    EXPECT_NEAR(configured.health.Intervals()[1].dfMs, 1001.0, 0.05);

    // A file looped every second, its PCR going back without the flag: each
    // pass is a new time base, and the rate stays the PCRs' past the window.
    Feed looped;
    for (int ms = 0; ms < 12000; ++ms)
        looped.Add(Datagram(static_cast<unsigned>(7 * ms), -1, ms % 10 == 0 ? std::int64_t{ms % 1000} * 27000 : -1),
                   kBase + ms * kMs);
    looped.Finish(kBase + 12000 * kMs);
    EXPECT_STREQ(looped.health.RateSourceName(), "pcr");
    EXPECT_NEAR(looped.health.Intervals()[11].dfMs, 1.0, 0.01);
}
