// The live status line a person at a terminal sees during a recording, and
// the counters behind it. Scripts never see it: it goes to standard error,
// and only when standard error is a console.
#pragma once

#include "platform/Platform.h"

#include <atomic>
#include <cstdint>
#include <cstdio>

// Each counter has a single writer (the receive thread or the writer
// thread); the main thread only reads them, once a second. A plain load and
// store is then enough, and costs no locked instruction per datagram.
struct RecordingCounters {
    std::atomic<std::uint64_t> datagramsReceived{0};
    std::atomic<std::uint64_t> bytesReceived{0};
    std::atomic<std::uint64_t> bytesStored{0};
    // Datagrams the system dropped at the socket, as the receive thread read
    // them just before closing it; valid once socketDropsKnown is set.
    std::atomic<std::uint64_t> socketDrops{0};
    std::atomic<bool> socketDropsKnown{false};
};

extern RecordingCounters g_counters;

// Receive thread: one completed datagram, empty ones included.
inline void CountDatagram(DWORD bytes)
{
    g_counters.datagramsReceived.store(g_counters.datagramsReceived.load(std::memory_order_relaxed) + 1,
                                       std::memory_order_relaxed);
    g_counters.bytesReceived.store(g_counters.bytesReceived.load(std::memory_order_relaxed) + bytes,
                                   std::memory_order_relaxed);
}

// Writer thread: bytes handed to the output file.
inline void CountStored(int bytes)
{
    g_counters.bytesStored.store(
        g_counters.bytesStored.load(std::memory_order_relaxed) + static_cast<std::uint64_t>(bytes),
        std::memory_order_relaxed);
}

// Receive thread, once, before it closes the socket: the system's drop count.
inline void NoteSocketDrops(SOCKET socket)
{
    ULONGLONG drops = 0;
    if (!QuerySocketDrops(socket, &drops)) return;
    g_counters.socketDrops.store(drops, std::memory_order_relaxed);
    g_counters.socketDropsKnown.store(true, std::memory_order_release);
}

// True when standard error is a console (a terminal), so a person watches.
bool StatusLineWanted();

// What the line shows at one moment.
struct StatusSample {
    ULONGLONG ticks;              // GetTickCount64
    std::int64_t elapsedSeconds;  // since the recording's start time
    std::uint64_t datagrams;
    std::uint64_t bytesReceived;
    std::uint64_t bytesStored;
    std::uint64_t drops;  // at the socket, when dropsKnown
    bool dropsKnown;
};

// The counters and clocks now, for a recording that started at startTime on
// `socket`. The socket value is a copy taken before receiving began: the
// platform answers for a socket that has been closed since.
StatusSample TakeStatusSample(std::int64_t startTime, SOCKET socket);

// The advice shown once at a terminal when the system granted a smaller
// receive buffer than asked; false (no text) when it granted enough or
// could not tell.
bool ReceiveBufferAdvice(int granted, int asked, char* text, std::size_t size);

// "1:02:03": hours are not limited to two digits. Negative values show as 0.
void FormatDuration(std::int64_t seconds, char* text, std::size_t size);
// "0 B", "1316 B", "65.8 kB", "12.6 MB", "1.23 GB" (powers of 1000).
void FormatBytes(std::uint64_t bytes, char* text, std::size_t size);
// "0 bit/s", "640 kbit/s", "8.02 Mbit/s", "1.20 Gbit/s".
void FormatBitRate(double bitsPerSecond, char* text, std::size_t size);

// One line, rewritten in place with a carriage return: elapsed and total
// time, bytes stored, the bit rate since the previous refresh, datagrams
// received, and "no data for N s" once nothing has arrived for 3 s.
class StatusLine {
public:
    static constexpr ULONGLONG kSilenceWarningMilliseconds = 3000;

    StatusLine(std::int64_t totalSeconds, const StatusSample& start);

    // The live text for this sample (no carriage return); it stays valid
    // until the next call.
    const char* Update(const StatusSample& now);
    // The final totals, with the average bit rate over the whole run.
    const char* Final(const StatusSample& now);

    // Writes the text over the previous one: "\r", the text, and blanks over
    // whatever is left of a longer previous line; a newline if `last`.
    void Show(std::FILE* stream, const char* text, bool last);

private:
    void Compose(const StatusSample& now, double bitsPerSecond, const char* rateSuffix, const char* warning);

    std::int64_t totalSeconds;
    StatusSample first;
    StatusSample previous;
    ULONGLONG lastArrivalTicks;  // when the datagram count was last seen moving
    std::size_t shownLength = 0;
    char text[192] = {};
};
