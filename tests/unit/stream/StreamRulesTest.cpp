#include "stream/RtpSequence.h"
#include "stream/TsLossWindow.h"
#include "stream/TsPacket.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

std::vector<std::uint8_t> Packet(unsigned pid, unsigned cc, bool payload = true, bool discontinuity = false)
{
    std::vector<std::uint8_t> p(188, 0xFF);
    p[0] = 0x47;
    p[1] = static_cast<std::uint8_t>(pid >> 8);
    p[2] = static_cast<std::uint8_t>(pid);
    p[3] = static_cast<std::uint8_t>((payload ? 0x10 : 0x20) | (discontinuity ? 0x20 : 0) | (cc & 15));
    if (!payload) p[4] = 0;
    if (discontinuity) {
        p[4] = 1;
        p[5] = 0x80;
    }
    return p;
}

}  // namespace

TEST(StreamRules, RtpHeaderAndPadding)
{
    struct Case {
        const char* name;
        std::vector<std::uint8_t> head;  // the header's first byte(s) of interest, then the packet's end
        std::size_t size;                // of the whole RTP packet
        std::uint8_t last;               // its last byte
        std::size_t header;
        long padding;
    };
    const Case cases[] = {
        {"plain", {0x80}, 12 + 188, 0xFF, 12, 0},
        {"two CSRCs", {0x82}, 20 + 188, 0xFF, 20, 0},
        {"padding of 4", {0xA0}, 12 + 188 + 4, 4, 12, 4},
        {"padding of 0 is no padding at all", {0xA0}, 12 + 188, 0, 12, -1},
        {"padding longer than the packet", {0xA0}, 12 + 188, 250, 12, -1},
        {"version 1", {0x40}, 12 + 188, 0xFF, 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> d(c.size, 0);
        d[0] = c.head[0];
        d[1] = 33;
        d.back() = c.last;
        EXPECT_EQ(pelorin::RtpHeaderSize(d.data(), d.size()), c.header) << c.name;
        if (c.header != 0) {
            EXPECT_EQ(pelorin::RtpPaddingSize(d.data(), d.size(), c.header), c.padding) << c.name;
        }
    }
    // An extension of two words after the fixed header.
    std::vector<std::uint8_t> x(12 + 4 + 8 + 188, 0);
    x[0] = 0x90;
    x[12 + 3] = 2;
    EXPECT_EQ(pelorin::RtpHeaderSize(x.data(), x.size()), 24u);
}

TEST(StreamRules, LossWindowJudgesGapsLate)
{
    // Counters of one PID in arrival order; each packet its own datagram, 1 ms
    // apart. A jump whose counters fall into an older gap is taken for late
    // until the next packet shows otherwise; only confirmed runs are late.
    struct Case {
        const char* name;
        std::vector<int> counters;  // -1: a packet without payload (counter not checked); 100 + cc: flagged
        int lost;
        std::uint64_t late;  // runs confirmed late
    };
    const Case cases[] = {
        {"in order across the wrap", {14, 15, 0, 1}, 0, 0},
        {"two swapped", {1, 2, 4, 3, 5}, 0, 1},
        {"one late by five", {1, 2, 4, 5, 6, 7, 8, 3, 9}, 0, 1},
        {"one never came", {1, 2, 4, 5, 6}, 1, 0},
        {"a burst of 20 reads as 4", {1, 2, 7}, 4, 0},
        {"adaptation-only packets in between", {1, -1, 2, -1, 3}, 0, 0},
        // The flagged packet's counter falls into the gap, yet it says where
        // the counter goes on: the gap stays a loss, nothing more is.
        {"a discontinuity into an open gap", {1, 2, 4, 5, 103, 4, 5}, 1, 0},
        // Seven-packet datagrams 1 and 3 both held back; their gaps share the
        // counters 7 to 11, and each comes whole into its own.
        {"two late datagrams whose gaps overlap",
         {0, 1, 2, 3, 4, 5, 6, 14, 15, 16, 17, 18, 19, 20, 28, 29, 30, 31, 32, 33, 34,
          7, 8, 9, 10, 11, 12, 13, 21, 22, 23, 24, 25, 26, 27, 35, 36},
         0, 2},
        // The PID has come round to 3 when 3, 4 and 5 come late: their first
        // counter repeats the PID's, yet it fills the gap as the rest do.
        {"late, starting where the PID stands",
         {0, 1, 2, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 3, 4, 5, 20, 21}, 0, 1},
        // The same counters, then 6: 3 was the one repeat allowed and the
        // counter went on; the gap stays lost, and nothing else is.
        {"a repeat, then on through an open gap's counters",
         {0, 1, 2, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 3, 4, 5, 6}, 3, 0},
        // Once the counter has come round, the old values are new packets.
        {"late after the counter came round", {1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 1, 2}, 1, 0},
    };
    for (const Case& c : cases) {
        pelorin::TsLossWindow window;
        window.Reset();
        int lost = 0;
        std::uint64_t datagram = 0;
        for (int cc : c.counters) {
            const std::vector<std::uint8_t> p =
                cc < 0 ? Packet(0x100, 0, false) : Packet(0x100, unsigned(cc % 100), true, cc >= 100);
            ++datagram;
            window.Check(p.data(), datagram, std::int64_t(datagram) * 1000000, 0);
            window.Expire(datagram, std::int64_t(datagram) * 1000000, [&](std::int64_t, int n) { lost += n; });
        }
        window.ExpireAll([&](std::int64_t, int n) { lost += n; });
        EXPECT_EQ(lost, c.lost) << c.name;
        EXPECT_EQ(window.Reordered(), c.late) << c.name;
    }

    // A PID that stops just after a late run into its gap: the gap is judged
    // once its window has passed, while another PID goes on.
    pelorin::TsLossWindow window;
    window.Reset();
    int lost = 0;
    std::uint64_t datagram = 0;
    for (unsigned cc : {1u, 2u, 5u, 3u}) {
        const std::vector<std::uint8_t> p = Packet(0x100, cc);
        ++datagram;
        window.Check(p.data(), datagram, std::int64_t(datagram) * 1000000, 0);
    }
    for (unsigned cc = 0; cc < 60; ++cc) {
        const std::vector<std::uint8_t> p = Packet(0x200, cc);
        ++datagram;
        window.Check(p.data(), datagram, std::int64_t(datagram) * 1000000, 0);
        window.Expire(datagram, std::int64_t(datagram) * 1000000, [&](std::int64_t, int n) { lost += n; });
    }
    EXPECT_EQ(lost, 1);
    EXPECT_EQ(window.Pending(), 0u);
    EXPECT_EQ(window.Reordered(), 1u);
}

TEST(StreamRules, PcrFieldsAndWrap)
{
    std::vector<std::uint8_t> p(188, 0);
    p[0] = 0x47;
    p[3] = 0x30;
    p[4] = 7;
    p[5] = 0x10;
    // base 2^33 - 1, extension 299: the last value before the wrap.
    p[6] = p[7] = p[8] = p[9] = 0xFF;
    p[10] = 0x81;
    p[11] = 0x2B;
    ASSERT_TRUE(pelorin::TsHasPcr(p.data()));
    const std::uint64_t last = pelorin::kPcrWrap - 1;
    EXPECT_EQ(pelorin::TsPcr(p.data()), last);
    EXPECT_EQ(pelorin::PcrForward(last, 26), 27u);
    EXPECT_TRUE(pelorin::PcrAhead(last, 26));
    EXPECT_FALSE(pelorin::PcrAhead(26, last));
}
