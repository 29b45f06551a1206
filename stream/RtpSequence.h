// RTP as transport streams travel in it (RFC 3550): the header's size, and
// the sequence-number accounting of RFC 3550 appendix A.3, shared by the
// recorder's health figures and pelorin-inspect.
//
// Loss is what A.3 calls it: datagrams expected (from the highest extended
// sequence number seen) minus datagrams received. A datagram that comes late
// is counted as reordered, never as lost; one seen before is a duplicate and
// is not counted as received.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pelorin {

// Size of the version-2 RTP header at `d` (fixed part, CSRC list, header
// extension), or 0 when `d` holds none within `avail` bytes.
std::size_t RtpHeaderSize(const std::uint8_t* d, std::size_t avail);
// The padding at the end of the `size`-byte RTP packet at `d` whose header
// takes `header` bytes (RFC 3550 5.1: with the P bit set, the last byte counts
// the padding, itself included); 0 without the bit, and -1 when the count
// does not fit the packet.
long RtpPaddingSize(const std::uint8_t* d, std::size_t size, std::size_t header);
inline std::uint16_t RtpSequenceNumber(const std::uint8_t* header)
{
    return static_cast<std::uint16_t>((header[2] << 8) | header[3]);
}

class RtpSequence {
public:
    enum class Arrival : std::uint8_t {
        First,      // the first datagram, or the first of a new sequence
        InOrder,    // the next number
        Gap,        // ahead of the next number: the ones between are missing so far
        Late,       // behind the highest number, not seen before: reordered
        Duplicate,  // seen before
        Ignored,    // far from the sequence; a second one in order starts a new sequence
    };

    Arrival Add(std::uint16_t sequenceNumber);

    std::uint64_t Expected() const;
    std::uint64_t Received() const { return receivedBefore + received; }
    // Expected minus received, never below 0.
    std::uint64_t Lost() const;
    std::uint64_t Reordered() const { return reordered; }
    std::uint64_t Duplicates() const { return duplicates; }

    // A.3's limits: a jump forward by this much or more, or back by more than
    // kMaxMisorder, is not the same sequence.
    static constexpr std::uint16_t kMaxDropout = 3000;
    static constexpr std::uint16_t kMaxMisorder = 100;

private:
    void Start(std::uint16_t sequenceNumber);
    bool Seen(std::uint16_t sequenceNumber) const;
    void MarkSeen(std::uint16_t sequenceNumber);

    bool started = false;
    std::uint16_t maxSeq = 0;
    std::uint32_t cycles = 0;  // count of wraps, in units of 65536
    std::uint32_t baseSeq = 0;
    std::uint64_t received = 0;
    std::uint64_t expectedBefore = 0;  // of earlier sequences (after a restart)
    std::uint64_t receivedBefore = 0;
    std::uint32_t badSeq = 0x10000;  // one past a number far from the sequence; none yet
    std::uint64_t reordered = 0;
    std::uint64_t duplicates = 0;
    // One bit per number for the last 128 numbers up to maxSeq, which covers
    // kMaxMisorder.
    std::uint64_t seenBits[2] = {0, 0};
};

}  // namespace pelorin
