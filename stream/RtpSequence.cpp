#include "stream/RtpSequence.h"

namespace pelorin {

namespace {
// Larger "headers" are taken for noise.
constexpr std::size_t kMaxRtpHeader = 1100;
}  // namespace

std::size_t RtpHeaderSize(const std::uint8_t* d, std::size_t avail)
{
    if (avail < 12 || (d[0] & 0xC0) != 0x80) return 0;  // version 2; padding allowed
    std::size_t size = 12 + 4 * std::size_t{d[0] & 0x0Fu};
    if (d[0] & 0x10) {
        if (avail < size + 4) return 0;
        size += 4 + 4 * ((std::size_t{d[size + 2]} << 8) | d[size + 3]);
    }
    if (size > kMaxRtpHeader || size > avail) return 0;
    return size;
}

long RtpPaddingSize(const std::uint8_t* d, std::size_t size, std::size_t header)
{
    if (size < 12 || !(d[0] & 0x20)) return 0;
    const std::size_t padding = d[size - 1];
    if (padding == 0 || padding > size - header) return -1;
    return static_cast<long>(padding);
}

void RtpSequence::Start(std::uint16_t sequenceNumber)
{
    if (started) {
        expectedBefore = Expected();
        receivedBefore += received;
    }
    started = true;
    maxSeq = sequenceNumber;
    cycles = 0;
    baseSeq = sequenceNumber;
    received = 1;
    badSeq = 0x10000;
    seenBits[0] = seenBits[1] = 0;
    MarkSeen(sequenceNumber);
}

bool RtpSequence::Seen(std::uint16_t n) const
{
    return (seenBits[(n >> 6) & 1] >> (n & 63)) & 1u;
}

void RtpSequence::MarkSeen(std::uint16_t n)
{
    seenBits[(n >> 6) & 1] |= std::uint64_t{1} << (n & 63);
}

RtpSequence::Arrival RtpSequence::Add(std::uint16_t n)
{
    if (!started) {
        Start(n);
        return Arrival::First;
    }
    const auto ahead = static_cast<std::uint16_t>(n - maxSeq);
    if (ahead == 0) {
        ++duplicates;
        return Arrival::Duplicate;
    }
    if (ahead < kMaxDropout) {
        // Numbers skipped now may still come late: clear their bits.
        for (std::uint16_t k = 1; k <= ahead && k <= 128; ++k)
            seenBits[((maxSeq + k) >> 6) & 1] &= ~(std::uint64_t{1} << ((maxSeq + k) & 63));
        if (n < maxSeq) cycles += 0x10000;
        maxSeq = n;
        MarkSeen(n);
        ++received;
        badSeq = 0x10000;
        return ahead == 1 ? Arrival::InOrder : Arrival::Gap;
    }
    if (static_cast<std::uint16_t>(maxSeq - n) <= kMaxMisorder) {
        if (Seen(n)) {
            ++duplicates;
            return Arrival::Duplicate;
        }
        MarkSeen(n);
        ++received;
        ++reordered;
        return Arrival::Late;
    }
    // Far from the sequence: the sender restarted, or this is noise. Two in a
    // row start a new sequence (A.3); the first one is then counted as well.
    if (n == badSeq) {
        Start(static_cast<std::uint16_t>(n - 1));
        const Arrival second = Add(n);
        (void)second;
        return Arrival::First;
    }
    badSeq = (n + 1u) & 0xFFFFu;
    return Arrival::Ignored;
}

std::uint64_t RtpSequence::Expected() const
{
    if (!started) return expectedBefore;
    const std::uint64_t extendedMax = std::uint64_t{cycles} + maxSeq;
    return expectedBefore + (extendedMax - baseSeq + 1);
}

std::uint64_t RtpSequence::Lost() const
{
    const std::uint64_t expected = Expected();
    const std::uint64_t got = Received();
    return expected > got ? expected - got : 0;
}

}  // namespace pelorin
