#include "stream/TsLossWindow.h"

#include "stream/TsPacket.h"

#include <algorithm>

namespace pelorin {

void TsLossWindow::Reset()
{
    continuity.reset();
    gaps.clear();
    nextGapId = 0;
    std::fill(std::begin(openGaps), std::end(openGaps), std::uint16_t{0});
    std::fill(std::begin(run), std::end(run), Run{});
    std::fill(std::begin(runOpen), std::end(runOpen), std::uint8_t{0});
    pending = 0;
    reordered = 0;
    lastReorderedDatagram = 0;
}

int TsLossWindow::Count(std::uint16_t bits)
{
    int n = 0;
    for (; bits != 0; bits &= static_cast<std::uint16_t>(bits - 1)) ++n;
    return n;
}

bool TsLossWindow::StandsAt(const std::uint8_t* p) const
{
    return continuity.last(TsPid(p)) == static_cast<int>(TsContinuityCounter(p));
}

bool TsLossWindow::WouldFill(const std::uint8_t* p) const
{
    const unsigned pid = TsPid(p);
    if (openGaps[pid] == 0) return false;
    const auto bit = static_cast<std::uint16_t>(1u << TsContinuityCounter(p));
    for (const Gap& gap : gaps)
        if (gap.pid == pid && (gap.missing & bit)) return true;
    return false;
}

bool TsLossWindow::Continues(const std::uint8_t* p) const
{
    const int last = continuity.last(TsPid(p));
    return last >= 0 && ((static_cast<unsigned>(last) + 1) & 0x0F) == TsContinuityCounter(p);
}

TsLossWindow::Gap* TsLossWindow::Find(std::uint64_t id)
{
    for (Gap& gap : gaps)
        if (gap.id == id) return &gap;
    return nullptr;
}

TsLossWindow::Gap* TsLossWindow::Fillable(unsigned pid, std::uint16_t bits)
{
    // The oldest gap first: what was held back longest tends to come first.
    for (Gap& gap : gaps)
        if (gap.pid == pid && (gap.missing & bits) == bits) return &gap;
    return nullptr;
}

void TsLossWindow::Open(unsigned pid, unsigned from, unsigned to, std::uint64_t datagram, std::int64_t ns,
                        std::int64_t tag)
{
    std::uint16_t missing = 0;
    for (unsigned k = from & 0x0F; k != (to & 0x0F); k = (k + 1) & 0x0F)
        missing = static_cast<std::uint16_t>(missing | (1u << k));
    if (missing == 0) return;
    gaps.push_back(Gap{nextGapId++, static_cast<std::uint16_t>(pid), missing, 0, datagram + kWindowDatagrams,
                       ns + kWindowNs, tag});
    ++openGaps[pid];
    pending += static_cast<std::uint64_t>(Count(missing));
}

void TsLossWindow::Confirm(unsigned pid)
{
    Run& r = run[pid];
    if (Gap* gap = Find(r.gap)) --gap->runs;
    if (r.datagram != lastReorderedDatagram) {
        ++reordered;
        lastReorderedDatagram = r.datagram;
    }
    runOpen[pid] = 0;
}

void TsLossWindow::Undo(unsigned pid, std::uint64_t datagram, std::int64_t ns, std::int64_t tag)
{
    // The run was a jump after a loss: its counters go back into the gap, and
    // the packets between the PID's reference and the run are a gap of their own.
    Run& r = run[pid];
    if (Gap* gap = Find(r.gap)) {
        --gap->runs;
        gap->missing = static_cast<std::uint16_t>(gap->missing | r.filled);
        pending += static_cast<std::uint64_t>(Count(r.filled));
    }
    // A run that began on the PID's own counter was its one allowed repeat,
    // the rest going on in sequence: nothing lies between.
    const int last = continuity.last(pid);
    if (static_cast<int>(r.first) != last) Open(pid, static_cast<unsigned>(last) + 1, r.first, datagram, ns, tag);
    continuity.take(pid, r.last);
    runOpen[pid] = 0;
}

TsLossWindow::Packet TsLossWindow::Check(const std::uint8_t* p, std::uint64_t datagram, std::int64_t ns,
                                         std::int64_t tag)
{
    const unsigned pid = TsPid(p);
    if (pid == kNullPid || !TsHasPayload(p)) return continuity.check(p) == CcVerdict::Ok ? Packet::Ok : Packet::NotChecked;
    const int last = continuity.last(pid);
    const unsigned cc = TsContinuityCounter(p);
    const unsigned next = (static_cast<unsigned>(last) + 1) & 0x0F;
    // Almost every packet: its PID has nothing open and its counter goes on.
    // What the full rules below would conclude, without walking them.
    if (cc == next && last >= 0 && runOpen[pid] == 0 && openGaps[pid] == 0) {
        continuity.take(pid, static_cast<int>(cc));
        return Packet::Ok;
    }
    // The discontinuity flag says where the counter goes on: never a late fill.
    if (TsDiscontinuity(p)) {
        if (runOpen[pid]) Confirm(pid);
    } else if (runOpen[pid]) {
        Run& r = run[pid];
        const unsigned runNext = (r.last + 1u) & 0x0F;
        Gap* gap = Find(r.gap);
        const auto bit = static_cast<std::uint16_t>(1u << cc);
        if (cc == runNext && gap != nullptr && !(gap->missing & bit)) {
            // Gaps of one PID may share counter values: the run may belong to
            // another one that misses all of it.
            if (Gap* other = Fillable(pid, static_cast<std::uint16_t>(r.filled | bit))) {
                gap->missing = static_cast<std::uint16_t>(gap->missing | r.filled);
                --gap->runs;
                other->missing = static_cast<std::uint16_t>(other->missing & ~r.filled);
                ++other->runs;
                r.gap = other->id;
                gap = other;
            }
        }
        // The run goes on while it fills its gap, even through the counter
        // value that would also continue the PID.
        if (cc == runNext && gap != nullptr && (gap->missing & bit)) {
            gap->missing = static_cast<std::uint16_t>(gap->missing & ~(1u << cc));
            r.filled = static_cast<std::uint16_t>(r.filled | (1u << cc));
            r.last = static_cast<std::uint8_t>(cc);
            --pending;
            return Packet::Late;
        }
        if (cc == runNext && cc != next)
            Undo(pid, datagram, ns, tag);
        else
            Confirm(pid);
    }
    // The run closed, this packet may begin the next one. A late datagram
    // may begin on the very counter the PID stands at (seven-packet datagrams
    // overtaken by six): a run too, not the repeat a decoder allows, when it
    // fills a gap; the PID's next packet tells which it was.
    const int reference = continuity.last(pid);
    const unsigned expected = (static_cast<unsigned>(reference) + 1) & 0x0F;
    if (reference >= 0 && openGaps[pid] != 0 && !TsDiscontinuity(p) && cc != expected) {
        if (Gap* gap = Fillable(pid, static_cast<std::uint16_t>(1u << cc))) {
            gap->missing = static_cast<std::uint16_t>(gap->missing & ~(1u << cc));
            ++gap->runs;
            --pending;
            run[pid] = Run{gap->id, static_cast<std::uint16_t>(1u << cc), static_cast<std::uint8_t>(cc),
                           static_cast<std::uint8_t>(cc), datagram};
            runOpen[pid] = 1;
            return Packet::Late;
        }
    }

    const int before = continuity.last(pid);
    const CcVerdict verdict = continuity.check(p);
    if (verdict == CcVerdict::Ok || verdict == CcVerdict::Duplicate) return Packet::Ok;
    if (verdict == CcVerdict::NotChecked) return Packet::NotChecked;
    if (cc == static_cast<unsigned>(before)) return Packet::Repeat;
    Open(pid, static_cast<unsigned>(before) + 1, cc, datagram, ns, tag);
    return Packet::Gap;
}

}  // namespace pelorin
