#include "stream/RtpSequence.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

struct SequenceCase {
    const char* name;
    std::vector<std::uint16_t> numbers;
    std::uint64_t expected, received, lost, reordered, duplicates;
};

}  // namespace

TEST(RtpSequence, CountsLossAsExpectedMinusReceived)
{
    const SequenceCase cases[] = {
        {"in order", {10, 11, 12, 13}, 4, 4, 0, 0, 0},
        {"swapped pair", {1, 2, 4, 3, 5}, 5, 5, 0, 1, 0},
        {"swap and duplicate", {1, 3, 2, 2, 4}, 4, 4, 0, 1, 1},
        {"immediate duplicate", {1, 2, 2, 3}, 3, 3, 0, 0, 1},
        {"gap of three", {1, 2, 6, 7}, 7, 4, 3, 0, 0},
        {"wrap at 65535", {65534, 65535, 0, 1}, 4, 4, 0, 0, 0},
        {"gap across the wrap", {65534, 1, 2}, 5, 3, 2, 0, 0},
        {"late across the wrap", {65535, 1, 0, 2}, 4, 4, 0, 1, 0},
        {"one stray far away is ignored", {1, 2, 30000, 3}, 3, 3, 0, 0, 0},
        {"two in order far away restart", {1, 2, 30000, 30001, 30002}, 5, 5, 0, 0, 0},
        {"late datagram filling a gap", {1, 4, 2, 5}, 5, 4, 1, 1, 0},
    };
    for (const SequenceCase& c : cases) {
        pelorin::RtpSequence sequence;
        for (std::uint16_t n : c.numbers) sequence.Add(n);
        EXPECT_EQ(sequence.Expected(), c.expected) << c.name;
        EXPECT_EQ(sequence.Received(), c.received) << c.name;
        EXPECT_EQ(sequence.Lost(), c.lost) << c.name;
        EXPECT_EQ(sequence.Reordered(), c.reordered) << c.name;
        EXPECT_EQ(sequence.Duplicates(), c.duplicates) << c.name;
    }
}

TEST(RtpSequence, HeaderSizeHonoursCsrcsAndExtension)
{
    std::uint8_t header[64] = {0x80, 33, 0, 1};
    EXPECT_EQ(pelorin::RtpHeaderSize(header, sizeof header), 12u);
    header[0] = 0x82;  // two CSRCs
    EXPECT_EQ(pelorin::RtpHeaderSize(header, sizeof header), 20u);
    header[0] = 0x90;  // an extension of one word
    header[15] = 1;
    EXPECT_EQ(pelorin::RtpHeaderSize(header, sizeof header), 20u);
    EXPECT_EQ(pelorin::RtpHeaderSize(header, 18), 0u);  // cut short
    header[0] = 0x47;  // a transport stream packet, not RTP
    EXPECT_EQ(pelorin::RtpHeaderSize(header, sizeof header), 0u);
}
