#include "stream/TsLossWindow.h"

#include "stream/TsPacket.h"

#include <algorithm>

namespace pelorin {

void TsLossWindow::Reset()
{
    continuity.reset();
    gaps.clear();
    std::fill(std::begin(openGaps), std::end(openGaps), std::uint16_t{0});
    std::fill(std::begin(advanced), std::end(advanced), std::uint32_t{0});
    pending = 0;
}

int TsLossWindow::Count(std::uint16_t bits)
{
    int n = 0;
    for (; bits != 0; bits &= static_cast<std::uint16_t>(bits - 1)) ++n;
    return n;
}

bool TsLossWindow::Fill(unsigned pid, unsigned cc)
{
    // The newest gap first: a late packet most likely belongs to it.
    for (auto gap = gaps.rbegin(); gap != gaps.rend(); ++gap) {
        if (gap->pid != pid || !(gap->missing & (1u << cc))) continue;
        if (advanced[pid] - gap->since >= 16u - gap->span) return false;
        gap->missing = static_cast<std::uint16_t>(gap->missing & ~(1u << cc));
        --pending;
        return true;
    }
    return false;
}

bool TsLossWindow::StandsAt(const std::uint8_t* p) const
{
    return continuity.last(TsPid(p)) == static_cast<int>(TsContinuityCounter(p));
}

TsLossWindow::Packet TsLossWindow::Check(const std::uint8_t* p, std::uint64_t datagram, std::int64_t ns,
                                         std::int64_t tag)
{
    const unsigned pid = TsPid(p);
    const int last = continuity.last(pid);
    const unsigned cc = TsContinuityCounter(p);
    if (openGaps[pid] != 0 && last >= 0 && TsHasPayload(p) && cc != ((static_cast<unsigned>(last) + 1) & 0x0F) &&
        cc != static_cast<unsigned>(last) && Fill(pid, cc))
        return Packet::Late;

    const CcVerdict verdict = continuity.check(p);
    if (verdict == CcVerdict::NotChecked) return Packet::NotChecked;
    if (verdict != CcVerdict::Duplicate) ++advanced[pid];
    if (verdict == CcVerdict::Ok || verdict == CcVerdict::Duplicate) return Packet::Ok;
    if (cc == static_cast<unsigned>(last)) return Packet::Repeat;

    std::uint16_t missing = 0;
    for (unsigned k = (static_cast<unsigned>(last) + 1) & 0x0F; k != cc; k = (k + 1) & 0x0F)
        missing = static_cast<std::uint16_t>(missing | (1u << k));
    const int span = Count(missing);
    gaps.push_back(Gap{static_cast<std::uint16_t>(pid), missing, static_cast<std::uint8_t>(span), advanced[pid],
                       datagram + kWindowDatagrams, ns + kWindowNs, tag});
    ++openGaps[pid];
    pending += static_cast<std::uint64_t>(span);
    return Packet::Gap;
}

}  // namespace pelorin
