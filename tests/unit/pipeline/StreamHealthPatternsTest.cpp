#include "pipeline/StreamHealth.h"
#include "pipeline/StreamHealthFeed.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

using namespace health_test;

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
        int holdMs = 0;  // how long the held-back datagrams are held
        int dropsReadAtMs = -1;  // when the host's count of the datagrams dropped is read
    };
    const Case cases[] = {
        // A swap arrives on the usual rhythm: the buffer sees a steady stream,
        // the late datagram fills its gap.
        {"every 50th swapped with the next", kSwapEvery50th, true, 2, 1.0, 0, 0, 0, 80},
        // Held 20 ms, it comes after twenty others, its counters wrapped nine
        // times over; meanwhile the buffer lacks its bytes: one datagram more.
        {"every 25th held back 20 ms", kHoldEvery25th, true, 2, 2.0, 0, 0, 0, 156, 20},
        // Held 6 ms, it comes after six others: the PID stands at its first
        // counter, which looks like the one repeat a decoder allows, and the
        // rest like the counters going on.
        {"every 25th held back 6 ms", kHoldEvery25th, true, 2, 2.0, 0, 0, 0, 156, 6},
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
        // The same 40 dropped by the host: 280 packets, of which the counters
        // saw 8 and, with PCRs, the clock the other 272; the drop count adds
        // only what neither found, read in the burst's second or the next.
        {"a burst of 40 dropped by the host, no PCRs", kBurstOf40, false, 1, 41.0, 8, 280, 0, 0, 0, 1445},
        {"the same, the drops read a second later", kBurstOf40, false, 1, 41.0, 8, 280, 0, 0, 0, 2500},
        {"the same with PCRs", kBurstOf40, true, 1, 41.0, 8, 280, 0, 0, 0, 1445},
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
        int dropped = 0;
        std::vector<std::uint8_t> previous;
        for (int ms = 0; ms < 4000; ++ms) {
            if (ms == c.dropsReadAtMs) feed.health.NoteHostDrops(static_cast<std::uint64_t>(dropped), kBase + ms * kMs);
            int sent = ms;
            if (c.pattern == kSwapEvery50th && ms % 50 == 10) sent = ms + 1;
            if (c.pattern == kSwapEvery50th && ms % 50 == 11) sent = ms - 1;
            // The sender pauses: its counters do not move meanwhile.
            if (c.pattern == kPause500ms && ms >= 2000 && ms < 2500) continue;
            if (c.pattern == kPause500ms) sent = counted;
            ++counted;
            if ((c.pattern == kBurstOf40 && ms >= 1400 && ms < 1440) ||
                (c.pattern == kSqueezeEvery5th && ms >= 1000 && ms < 2000 && ms % 5 == 2)) {
                ++dropped;
                continue;
            }
            const std::int64_t pcr = c.pcr && sent % 10 == 0 ? std::int64_t{sent} * 27000 : -1;
            const std::vector<std::uint8_t> d = Datagram(static_cast<unsigned>(7 * sent), -1, pcr);
            if (c.pattern == kHoldEvery25th && ms % 25 == 5 && ms < 3900) {
                held.push_back({ms + c.holdMs, d});
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
        std::uint64_t estimatedSum = 0;
        for (const HealthInterval& i : feed.health.Intervals()) estimatedSum += i.lostEstimated;
        EXPECT_EQ(estimatedSum, c.estimated) << c.name;
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
