// Plain transport stream loss, judged the way a receiver with a small
// re-sequencing buffer would: a continuity gap is only a loss once the
// packets missing from it have had a window to come late (at least
// kWindowDatagrams datagrams and kWindowNs, whichever ends later).
//
// A late datagram shows as a run of packets whose counters fill an open gap
// of their PID while the PID stands elsewhere, or at the run's first counter
// (which a decoder would take for its one allowed repeat). The counter wraps
// at 16, so such a run is only taken for late once the PID's next packet
// confirms it: continuing from where the PID stood before the run (it was
// late), not from the run's end (it was a jump after a loss, whose counters
// happened to fall into an older gap, or the repeat and the counter going
// on). Confirmed, the run's packets are reordered, not lost, and the PID's
// reference does not move.
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
    // back with the gap's loss once it is judged. Late: it may fill a gap
    // (confirmed or not by the PID's next packet). Repeat: a counter repeated
    // more often than allowed, one packet lost at once.
    Packet Check(const std::uint8_t* packet, std::uint64_t datagram, std::int64_t ns, std::int64_t tag);
    // Judges the gaps whose window has passed at datagram `datagram`, time
    // `ns`: lost(tag, packets) for each that still misses packets. A late run
    // into such a gap whose PID has not spoken since is confirmed, as at the
    // end: judging must not wait on a PID that stopped.
    template <typename Lost>
    void Expire(std::uint64_t datagram, std::int64_t ns, Lost lost)
    {
        while (!gaps.empty() &&
               (gaps.size() > kMaxOpenGaps || (gaps.front().untilDatagram <= datagram && gaps.front().untilNs <= ns))) {
            const Gap& front = gaps.front();
            if (front.runs != 0 && runOpen[front.pid] && run[front.pid].gap == front.id) Confirm(front.pid);
            JudgeOldest(lost);
        }
    }
    // Judges every open gap (the end of the stream): runs not confirmed yet are.
    template <typename Lost>
    void ExpireAll(Lost lost)
    {
        for (unsigned pid = 0; pid < 8192; ++pid)
            if (runOpen[pid]) Confirm(pid);
        while (!gaps.empty()) JudgeOldest(lost);
    }
    // True when the packet's PID already stands at the packet's counter.
    bool StandsAt(const std::uint8_t* packet) const;
    // True when the packet's counter is the one after where its PID stands.
    bool Continues(const std::uint8_t* packet) const;
    // True when the packet's counter is missing from an open gap of its PID.
    bool WouldFill(const std::uint8_t* packet) const;
    // Packets in gaps not judged yet, late runs not confirmed counted as filled.
    std::uint64_t Pending() const { return pending; }
    // Datagrams that came late: one for each datagram whose run was confirmed.
    std::uint64_t Reordered() const { return reordered; }

private:
    struct Gap {
        std::uint64_t id;
        std::uint16_t pid;
        std::uint16_t missing;  // one bit per counter value still missing
        std::uint8_t runs;      // late runs into it not confirmed yet
        std::uint64_t untilDatagram;
        std::int64_t untilNs;
        std::int64_t tag;
    };
    // A run of packets of one PID that filled a gap, until the PID's next packet tells.
    struct Run {
        std::uint64_t gap = 0;  // its id
        std::uint16_t filled = 0;
        std::uint8_t first = 0, last = 0;  // counters
        std::uint64_t datagram = 0;
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
    Gap* Find(std::uint64_t id);
    // The oldest open gap of the PID that misses every counter in `bits`.
    Gap* Fillable(unsigned pid, std::uint16_t bits);
    void Confirm(unsigned pid);
    void Undo(unsigned pid, std::uint64_t datagram, std::int64_t ns, std::int64_t tag);
    void Open(unsigned pid, unsigned from, unsigned to, std::uint64_t datagram, std::int64_t ns, std::int64_t tag);

    ContinuityTracker continuity;
    std::deque<Gap> gaps;
    std::uint64_t nextGapId = 0;
    std::uint16_t openGaps[8192] = {};
    Run run[8192];
    // Whether a PID's run is open, apart: looked at for every packet.
    std::uint8_t runOpen[8192] = {};
    std::uint64_t pending = 0;
    std::uint64_t reordered = 0;
    std::uint64_t lastReorderedDatagram = 0;
};

}  // namespace pelorin
