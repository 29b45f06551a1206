#include "stream/StreamClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

using pelorin::StreamClock;

namespace {

// Byte positions in 188-byte packets; PCR values in milliseconds.
constexpr std::uint64_t kPacket = 188;
constexpr double kMs = 27'000;
constexpr std::uint16_t kA = 0x100;  // carries the clock first
constexpr std::uint16_t kB = 0x200;  // another program's PCR PID, its own time base

struct Pcr {
    std::uint16_t pid;
    std::int64_t ms;  // may be negative for a value behind the first
    std::uint64_t packet;
    bool discontinuity = false;
};

// PCRs of `pid` every `every` packets in [from, to), the value `offset` ms
// ahead of the packet's number (one packet a millisecond).
void Every(std::vector<Pcr>& out, std::uint16_t pid, std::uint64_t from, std::uint64_t to, std::uint64_t every,
           std::int64_t offset)
{
    for (std::uint64_t p = from; p < to; p += every) out.push_back({pid, static_cast<std::int64_t>(p) + offset, p});
}

}  // namespace

// One table over the clock's rules: every case feeds PCRs (and the clock
// PID's packets without one) and checks the covered and estimated time, the
// hand-overs, and the time the clock gives one byte.
TEST(StreamClock, PlacesBytesBetweenPcrsAndHandsOver)
{
    struct Case {
        const char* name;
        std::vector<Pcr> pcrs;
        std::uint64_t carriedTo;  // kA carries a packet without a PCR on every packet below this
        std::uint64_t end;        // packets in the data
        double coveredMs, estimatedMs;
        std::vector<StreamClock::HandOver> handOvers;  // tau in ms here
        std::uint64_t probe;                           // a packet whose time is checked (0: none)
        double probeMs;
    };
    auto pcrs = [](auto&&... parts) {
        std::vector<Pcr> out;
        (parts(out), ...);
        std::stable_sort(out.begin(), out.end(), [](const Pcr& a, const Pcr& b) { return a.packet < b.packet; });
        return out;
    };
    auto every = [](std::uint16_t pid, std::uint64_t from, std::uint64_t to, std::uint64_t step, std::int64_t offset) {
        return [=](std::vector<Pcr>& out) { Every(out, pid, from, to, step, offset); };
    };
    auto one = [](Pcr p) { return [=](std::vector<Pcr>& out) { out.push_back(p); }; };
    const Case cases[] = {
        {"steady: interpolated", pcrs(every(kA, 0, 200, 20, 0)), 0, 200, 180, 0, {}, 95, 95},
        // From packet 100 on the values are 5 s ahead, unflagged: a new time
        // base; 80..100 are placed by the last rate, the leap is not time.
        {"a step forward without the flag", pcrs(every(kA, 0, 100, 20, 0), every(kA, 100, 200, 20, 5000)), 0, 200,
         180, 20, {}, 150, 150},
        {"a flagged step", pcrs(every(kA, 0, 100, 20, 0), one({kA, 5100, 100, true}), every(kA, 120, 200, 20, 5000)),
         0, 200, 180, 20, {}, 150, 150},
        {"a PCR more than 100 ms back", pcrs(every(kA, 0, 100, 20, 0), every(kA, 100, 200, 20, -2000)), 0, 200, 180,
         20, {}, 150, 150},
        // 3000 null packets after the PCR at 40, the next PCR 20 ms on by its
        // value: the whole stretch is those 20 ms, nothing estimated.
        {"nulls between two PCRs", pcrs(every(kA, 0, 60, 20, 0), every(kA, 3060, 3200, 20, -3000)), 0, 3200, 180, 0,
         {}, 1550, 50},
        {"30000 nulls", pcrs(every(kA, 0, 60, 20, 0), every(kA, 30060, 30200, 20, -30000)), 0, 30200, 180, 0, {},
         15050, 50},
        // Its last PCR at 100; 1.9 s to the end by the last rate, estimated.
        {"stopped, alone", pcrs(every(kA, 0, 101, 20, 0)), 0, 2000, 2000, 1900, {}, 1000, 1000},
        // Stopped within the usual interval before the end: placed, not counted.
        {"the end after its last PCR", pcrs(every(kA, 0, 101, 20, 0)), 110, 115, 100, 0, {}, 0, 0},
        {"went on without its PCR to the end", pcrs(every(kA, 0, 101, 20, 0)), 400, 400, 400, 300, {}, 250, 250},
        // B's PCRs were placed while A ran; at B's first PCR more than 0.5 s
        // past A's last one, B carries the clock on from its mapped time.
        {"stopped, beside another PID", pcrs(every(kA, 0, 101, 20, 0), every(kB, 10, 700, 20, 1000)), 0, 700, 690,
         0, {{kB, 610}}, 650, 650},
        // B begins after A's last PCR, so none of its PCRs has a time: it takes
        // over 0.5 s after A's last PCR by the last rate, the time between estimated.
        {"stopped, another PID begins later", pcrs(every(kA, 0, 101, 20, 0), every(kB, 300, 700, 20, 1000)), 0,
         700, 680, 520, {{kB, 620}}, 650, 650},
        // A goes on carrying packets without its PCR: past 40 ms B takes over.
        {"went on without its PCR, beside another PID", pcrs(every(kA, 0, 101, 20, 0), every(kB, 10, 700, 20, 1000)),
         700, 700, 690, 0, {{kB, 150}}, 650, 650},
    };
    for (const Case& c : cases) {
        StreamClock clock;
        std::vector<StreamClock::Line> lines;
        std::size_t next = 0;
        for (std::uint64_t p = 0; p < c.end; ++p) {
            StreamClock::Line line;
            if (next < c.pcrs.size() && c.pcrs[next].packet == p) {
                const Pcr& pcr = c.pcrs[next++];
                const std::int64_t ticks = (pcr.ms + 3'600'000) * 27'000;  // clear of 0, so steps back stay positive
                if (clock.pcr(pcr.pid, static_cast<std::uint64_t>(ticks), pcr.discontinuity, p * kPacket, &line)) {
                    lines.push_back(line);
                }
            } else if (p < c.carriedTo && clock.started() && clock.pid() == kA) {
                clock.carried(p * kPacket);
            }
        }
        StreamClock::Line last;
        if (clock.finish(c.end * kPacket, &last)) lines.push_back(last);

        EXPECT_NEAR(clock.coveredTicks(), c.coveredMs * kMs, 1) << c.name;
        EXPECT_NEAR(clock.estimatedTicks(), c.estimatedMs * kMs, 1) << c.name;
        ASSERT_EQ(clock.handOvers().size(), c.handOvers.size()) << c.name;
        for (std::size_t i = 0; i < c.handOvers.size(); ++i) {
            EXPECT_EQ(clock.handOvers()[i].pid, c.handOvers[i].pid) << c.name;
            EXPECT_NEAR(clock.handOvers()[i].tau, c.handOvers[i].tau * kMs, 1) << c.name;
        }
        if (c.probe == 0) continue;
        const std::uint64_t byte = c.probe * kPacket;
        bool found = false;
        for (const auto& line : lines) {
            if (byte < line.at || byte >= line.to) continue;
            EXPECT_NEAR(line.time(byte), c.probeMs * kMs, 1) << c.name;
            found = true;
        }
        EXPECT_TRUE(found) << c.name << ": no line places packet " << c.probe;
    }
}
