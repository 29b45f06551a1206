// The media rate the delay factor drains its virtual buffer at, over a
// sliding window of kWindowSeconds seconds, so that one lost pair of PCRs, a
// silence or a burst moves it by no more than its share of the window.
//
// In order of preference:
// - configured: the nominal rate given on the command line;
// - pcr: TS bytes between consecutive PCRs of the clock's PID over their
//   27 MHz difference, summed over the clean pairs in the window (the caller
//   leaves out pairs across a discontinuity, a loss or a reordering);
// - measured: TS bytes over the time with arrivals in the window: an
//   inter-arrival longer than kSilenceNs is a silence, and neither it nor the
//   bytes that end it count.
#pragma once

#include <cstdint>

enum class RateSource : std::uint8_t { Measured, Pcr, Configured };

class MediaRate {
public:
    static constexpr int kWindowSeconds = 5;
    static constexpr std::int64_t kSilenceNs = 100000000;
    // Pairs covering less clock time than this in the window are too few to go by.
    static constexpr std::uint64_t kMinPcrTicks = 27000000 / 10;

    // Forgets everything but a configured rate.
    void Reset();
    // Bytes per second of TS, 0 for none.
    void Configure(double bytesPerSecond) { configured = bytesPerSecond; }
    void AddPcrPair(std::uint64_t bytes, std::uint64_t ticks);
    // A datagram of `bytes` TS bytes, `iatNs` after the one before it.
    void AddArrival(std::uint64_t bytes, std::int64_t iatNs);
    // The rate for the second now ending, over the window up to it (bytes/s,
    // 0 when nothing is known), and where it came from. The window then moves
    // on by a second.
    double CloseSecond(RateSource* source);
    // The last rate CloseSecond gave, 0 before the first.
    double Current() const { return current; }

private:
    struct Second {
        std::uint64_t pcrBytes, pcrTicks;
        std::uint64_t activeBytes;
        std::int64_t activeNs;
        std::uint64_t allBytes;  // silences included, for arrivals that are all far apart
        std::int64_t allNs;
    };
    Second window[kWindowSeconds] = {};
    int now = 0;
    double configured = 0;
    double current = 0;
};
