// Helpers for the health figures' tests: TS packets and seven-packet
// datagrams made to order, and a feed that lays them back to back in a file.
#pragma once

#include "pipeline/StreamHealth.h"

#include <cstdint>
#include <vector>

namespace health_test {

constexpr std::int64_t kMs = 1000000;
constexpr std::int64_t kBase = 5000 * kMs;  // the monotonic scale's 0 is arbitrary

struct Packet {
    std::uint16_t pid;
    std::uint8_t cc;
    bool discontinuity = false;
    std::int64_t pcr = -1;  // 27 MHz ticks
};

inline void AppendPacket(std::vector<std::uint8_t>& d, const Packet& p)
{
    const std::size_t at = d.size();
    d.resize(at + 188, 0xFF);
    d[at] = 0x47;
    d[at + 1] = static_cast<std::uint8_t>((p.pid >> 8) & 0x1F);
    d[at + 2] = static_cast<std::uint8_t>(p.pid & 0xFF);
    const bool adaptation = p.discontinuity || p.pcr >= 0;
    d[at + 3] = static_cast<std::uint8_t>((adaptation ? 0x30 : 0x10) | (p.cc & 0x0F));
    if (!adaptation) return;
    d[at + 4] = p.pcr >= 0 ? 7 : 1;
    d[at + 5] = static_cast<std::uint8_t>((p.discontinuity ? 0x80 : 0) | (p.pcr >= 0 ? 0x10 : 0));
    if (p.pcr >= 0) {
        const auto base = static_cast<std::uint64_t>(p.pcr / 300);
        const auto ext = static_cast<unsigned>(p.pcr % 300);
        d[at + 6] = static_cast<std::uint8_t>(base >> 25);
        d[at + 7] = static_cast<std::uint8_t>(base >> 17);
        d[at + 8] = static_cast<std::uint8_t>(base >> 9);
        d[at + 9] = static_cast<std::uint8_t>(base >> 1);
        d[at + 10] = static_cast<std::uint8_t>(((base & 1) << 7) | 0x7E | (ext >> 8));
        d[at + 11] = static_cast<std::uint8_t>(ext & 0xFF);
    }
}

// Seven packets of one PID with counters from `cc` on; an RTP header first
// when `sequence` is not negative.
inline std::vector<std::uint8_t> Datagram(unsigned cc, int sequence = -1, std::int64_t pcr = -1)
{
    std::vector<std::uint8_t> d;
    if (sequence >= 0) d = {0x80, 33, static_cast<std::uint8_t>(sequence >> 8), static_cast<std::uint8_t>(sequence), 0, 0,
                            0, 0, 0x12, 0x34, 0x56, 0x78};
    for (unsigned k = 0; k < 7; ++k)
        AppendPacket(d, Packet{0x100, static_cast<std::uint8_t>((cc + k) & 15), false, k == 0 ? pcr : -1});
    return d;
}

// Feeds datagrams as the recorder writes them: back to back in the file.
struct Feed {
    StreamHealth health;
    std::uint64_t offset = 0;

    explicit Feed(std::int64_t start = kBase) { health.Start(start); }
    void Add(const std::vector<std::uint8_t>& d, std::int64_t atNs)
    {
        health.AddDatagram(d.data(), static_cast<std::uint32_t>(d.size()), atNs, offset);
        offset += d.size();
    }
    void Finish(std::int64_t endNs) { health.Finish(endNs, offset); }
    std::uint64_t MlrSum() const
    {
        std::uint64_t sum = 0;
        for (const HealthInterval& i : health.Intervals()) sum += i.mlr;
        return sum;
    }
};

}  // namespace health_test
