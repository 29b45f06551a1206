// Plain transport stream loss, judged the way a receiver with a small
// re-sequencing buffer would: a continuity gap is only a loss once the
// packets missing from it have had a window to come late (at least
// kWindowDatagrams datagrams and kWindowNs, whichever ends later). A packet
// that fills a gap is reordered, not lost, and does not move the PID's
// reference, so the packet after it is in sequence again.
//
// The counter wraps at 16: a gap shows at most 15 packets missing, whatever
// the burst was. Bursts beyond that are for an estimate from the clock.
#pragma once

#include "stream/TsContinuity.h"

#include <cstdint>
#include <deque>

namespace pelorin {

class TsLossWindow {
public:
    static constexpr std::uint64_t kWindowDatagrams = 32;
    static constexpr std::int64_t kWindowNs = 50000000;
    // Gaps kept open at once; beyond that the oldest is judged early.
    static constexpr std::size_t kMaxOpenGaps = 256;

    enum class Packet : std::uint8_t { Ok, Gap, Late, Repeat, NotChecked };

    void Reset();
    // One packet of datagram number `datagram`, arrived at `ns`. `tag` comes
    // back with the gap's loss once it is judged. Repeat: a counter repeated
    // more often than allowed, one packet lost at once.
    Packet Check(const std::uint8_t* packet, std::uint64_t datagram, std::int64_t ns, std::int64_t tag);
    // Judges the gaps whose window has passed at datagram `datagram`, time
    // `ns`: lost(tag, packets) for each that still misses packets.
    template <typename Lost>
    void Expire(std::uint64_t datagram, std::int64_t ns, Lost lost)
    {
        while (!gaps.empty() && (gaps.size() > kMaxOpenGaps ||
                                 (gaps.front().untilDatagram <= datagram && gaps.front().untilNs <= ns)))
            JudgeOldest(lost);
    }
    // Judges every open gap (the end of the stream).
    template <typename Lost>
    void ExpireAll(Lost lost)
    {
        while (!gaps.empty()) JudgeOldest(lost);
    }
    // True when the packet's PID already stands at the packet's counter.
    bool StandsAt(const std::uint8_t* packet) const;
    // Packets in gaps not judged yet.
    std::uint64_t Pending() const { return pending; }

private:
    struct Gap {
        std::uint16_t pid;
        std::uint16_t missing;  // one bit per counter value still missing
        std::uint8_t span;      // counter values it left out when it opened
        std::uint32_t since;    // the PID's packets counted when it opened
        std::uint64_t untilDatagram;
        std::int64_t untilNs;
        std::int64_t tag;
    };
    template <typename Lost>
    void JudgeOldest(Lost lost)
    {
        const Gap gap = gaps.front();
        gaps.pop_front();
        --openGaps[gap.pid];
        const int count = Count(gap.missing);
        pending -= static_cast<std::uint64_t>(count);
        if (count > 0) lost(gap.tag, count);
    }
    static int Count(std::uint16_t bits);
    bool Fill(unsigned pid, unsigned cc);

    ContinuityTracker continuity;
    std::deque<Gap> gaps;
    std::uint16_t openGaps[8192] = {};
    // Packets of each PID taken in sequence or past a gap: once the counter
    // has come round to a gap's values again, a packet with one of them is
    // no longer a late one.
    std::uint32_t advanced[8192] = {};
    std::uint64_t pending = 0;
};

}  // namespace pelorin
