// pelorin-healthbench: the CPU the recorder's health pass costs per gigabyte,
// without a network. A generated multiplex (video with a PCR every 40 ms,
// audio, PAT and PMT, null packets; seven packets a datagram, each packet's
// payload its own) is cut into chunks of 100 datagrams as the receive side
// fills them, and each chunk is fed to StreamHealth as the writer feeds it.
// Only the feeding is timed, on the thread's own CPU clock.
//
//   pelorin-healthbench [--gb N] [--mbit RATE] [--rtp] [--repeats N]
//
// Prints one line per repeat and the median CPU seconds per GB.
#include "pipeline/StreamHealth.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr unsigned kPacket = 188;
constexpr unsigned kPerDatagram = 7;
constexpr unsigned kDatagramsPerChunk = 100;
constexpr unsigned kRtpHeader = 12;

double ThreadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The multiplex, packet by packet: which PID comes next and with what.
class Multiplex {
public:
    explicit Multiplex(double bytesPerSecond) : bytesPerSecond(bytesPerSecond) {}

    void NextPacket(std::uint8_t* p, std::int64_t atNs)
    {
        const std::uint64_t n = packets++;
        unsigned pid = 0x100;
        if (n % 4000 == 0)
            pid = 0;  // PAT
        else if (n % 4000 == 1)
            pid = 0x1000;  // PMT
        else if (n % 10 == 3)
            pid = 0x101;  // audio
        else if (n % 50 == 7)
            pid = 0x1FFF;  // null
        const bool pcr = pid == 0x100 && atNs >= nextPcrNs;
        if (pcr) nextPcrNs = atNs + 40000000;
        p[0] = 0x47;
        p[1] = static_cast<std::uint8_t>(pid >> 8);
        p[2] = static_cast<std::uint8_t>(pid);
        p[3] = static_cast<std::uint8_t>((pcr ? 0x30 : 0x10) | (counters[pid] & 0x0F));
        if (pid != 0x1FFF) ++counters[pid];
        unsigned at = 4;
        if (pcr) {
            const auto ticks = static_cast<std::uint64_t>(static_cast<double>(atNs) * 0.027);
            const std::uint64_t base = ticks / 300 % (std::uint64_t{1} << 33);
            const unsigned ext = static_cast<unsigned>(ticks % 300);
            const std::uint8_t field[8] = {7, 0x10, static_cast<std::uint8_t>(base >> 25),
                                           static_cast<std::uint8_t>(base >> 17), static_cast<std::uint8_t>(base >> 9),
                                           static_cast<std::uint8_t>(base >> 1),
                                           static_cast<std::uint8_t>(((base & 1) << 7) | 0x7E | (ext >> 8)),
                                           static_cast<std::uint8_t>(ext)};
            std::memcpy(p + at, field, sizeof field);
            at += sizeof field;
        }
        // A payload of its own, as a real one is: the packet's number first.
        std::memcpy(p + at, &n, sizeof n);
        std::memset(p + at + sizeof n, static_cast<int>(n & 0xFF), kPacket - at - sizeof n);
    }

    double bytesPerSecond;

private:
    std::uint64_t packets = 0;
    std::uint8_t counters[8192] = {};
    std::int64_t nextPcrNs = 0;
};

double RunOnce(std::uint64_t totalBytes, double mbit, bool rtp)
{
    const unsigned datagramSize = kPerDatagram * kPacket + (rtp ? kRtpHeader : 0);
    const double intervalNs = datagramSize * 8.0 / (mbit * 1e6) * 1e9;
    Multiplex mux(mbit * 1e6 / 8);
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(datagramSize) * kDatagramsPerChunk);
    std::vector<std::int64_t> arrivals(kDatagramsPerChunk);
    StreamHealth health;
    const std::int64_t startNs = 1000000000;
    health.Start(startNs);
    std::uint64_t fed = 0, offset = 0, sequence = 0;
    double cpu = 0;
    while (fed < totalBytes) {
        for (unsigned d = 0; d < kDatagramsPerChunk; ++d) {
            std::uint8_t* at = chunk.data() + static_cast<std::size_t>(d) * datagramSize;
            const auto ns = static_cast<std::int64_t>(static_cast<double>(sequence) * intervalNs);
            arrivals[d] = startNs + ns;
            if (rtp) {
                const std::uint8_t header[kRtpHeader] = {0x80, 33, static_cast<std::uint8_t>(sequence >> 8),
                                                         static_cast<std::uint8_t>(sequence), 0, 0, 0, 0, 1, 2, 3, 4};
                std::memcpy(at, header, kRtpHeader);
                at += kRtpHeader;
            }
            for (unsigned k = 0; k < kPerDatagram; ++k) mux.NextPacket(at + k * kPacket, ns);
            ++sequence;
        }
        const double before = ThreadCpuSeconds();
        for (unsigned d = 0; d < kDatagramsPerChunk; ++d) {
            health.AddDatagram(chunk.data() + static_cast<std::size_t>(d) * datagramSize, datagramSize, arrivals[d],
                               offset);
            offset += datagramSize;
        }
        // The writer moves the seconds on once per pass.
        health.Advance(arrivals[kDatagramsPerChunk - 1]);
        cpu += ThreadCpuSeconds() - before;
        fed += chunk.size();
    }
    health.Finish(arrivals[kDatagramsPerChunk - 1] + 1000000, offset);
    if (health.TsPacketsLost() != 0 || health.Datagrams() != sequence) {
        std::fprintf(stderr, "the generated stream should read clean: %llu lost, %llu of %llu datagrams\n",
                     static_cast<unsigned long long>(health.TsPacketsLost()),
                     static_cast<unsigned long long>(health.Datagrams()), static_cast<unsigned long long>(sequence));
        std::exit(1);
    }
    const double gb = static_cast<double>(fed) / 1e9;
    std::printf("%.3f GB, %llu datagrams, %.3f CPU s, %.3f CPU s/GB, %.1f ns/datagram, rate source %s\n", gb,
                static_cast<unsigned long long>(sequence), cpu, cpu / gb, cpu * 1e9 / static_cast<double>(sequence),
                health.RateSourceName());
    return cpu / gb;
}

}  // namespace

int main(int argc, char** argv)
{
    double gb = 1, mbit = 1000;
    int repeats = 7;
    bool rtp = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--gb" && i + 1 < argc)
            gb = std::atof(argv[++i]);
        else if (arg == "--mbit" && i + 1 < argc)
            mbit = std::atof(argv[++i]);
        else if (arg == "--repeats" && i + 1 < argc)
            repeats = std::atoi(argv[++i]);
        else if (arg == "--rtp")
            rtp = true;
        else {
            std::fprintf(stderr, "usage: pelorin-healthbench [--gb N] [--mbit RATE] [--rtp] [--repeats N]\n");
            return 2;
        }
    }
    if (gb <= 0 || mbit <= 0 || repeats <= 0) {
        std::fprintf(stderr, "--gb, --mbit and --repeats must be above 0\n");
        return 2;
    }
    std::vector<double> perGb;
    for (int r = 0; r < repeats; ++r) perGb.push_back(RunOnce(static_cast<std::uint64_t>(gb * 1e9), mbit, rtp));
    std::sort(perGb.begin(), perGb.end());
    std::printf("median of %d: %.3f CPU s/GB (%s, %.0f Mbit/s)\n", repeats, perGb[perGb.size() / 2],
                rtp ? "RTP" : "plain TS", mbit);
    return 0;
}
