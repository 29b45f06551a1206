// Reading one 188-byte transport stream packet (ISO/IEC 13818-1, 2.4.3.2 and
// 2.4.3.4): its header, its adaptation field and the PCR in it. The one place
// the recorder's health figures and the tools take these fields from.
#pragma once

#include <cstdint>

namespace pelorin {

constexpr unsigned kTsPacketSize = 188;
constexpr std::uint8_t kTsSync = 0x47;
constexpr unsigned kNullPid = 0x1FFF;
// The PCR counts 27 MHz ticks in 33 bits of base times 300 plus the extension.
constexpr std::uint64_t kPcrHz = 27000000;
constexpr std::uint64_t kPcrWrap = (std::uint64_t{1} << 33) * 300;

inline unsigned TsPid(const std::uint8_t* p) { return ((p[1] & 0x1Fu) << 8) | p[2]; }
inline unsigned TsContinuityCounter(const std::uint8_t* p) { return p[3] & 0x0Fu; }
inline bool TsHasAdaptation(const std::uint8_t* p) { return (p[3] & 0x20u) != 0; }
inline bool TsHasPayload(const std::uint8_t* p) { return (p[3] & 0x10u) != 0; }
// The discontinuity_indicator of a non-empty adaptation field.
inline bool TsDiscontinuity(const std::uint8_t* p) { return TsHasAdaptation(p) && p[4] > 0 && (p[5] & 0x80u); }
inline bool TsHasPcr(const std::uint8_t* p) { return TsHasAdaptation(p) && p[4] >= 7 && (p[5] & 0x10u); }

// The PCR of a packet for which TsHasPcr holds, in 27 MHz ticks.
inline std::uint64_t TsPcr(const std::uint8_t* p)
{
    const std::uint64_t base = (std::uint64_t{p[6]} << 25) | (std::uint64_t{p[7]} << 17) |
                               (std::uint64_t{p[8]} << 9) | (std::uint64_t{p[9]} << 1) | (p[10] >> 7);
    return base * 300 + ((std::uint64_t{p[10]} & 1u) << 8 | p[11]);
}

// Ticks from `from` forward to `to`, across the wrap.
inline std::uint64_t PcrForward(std::uint64_t from, std::uint64_t to) { return (to + kPcrWrap - from) % kPcrWrap; }
// True when `to` lies ahead of `from` (by less than half the wrap).
inline bool PcrAhead(std::uint64_t from, std::uint64_t to) { return PcrForward(from, to) < kPcrWrap / 2; }

}  // namespace pelorin
