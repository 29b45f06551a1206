// What a recording has received, stored and lost so far: counted by the
// worker threads, read by the status line and the totals. The recording owns
// them and hands them to each of these.
#pragma once

#include "platform/Platform.h"

#include <atomic>
#include <cstdint>

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
    // Received, but dropped by the receive thread because the queue to the
    // writer had reached its limit: the output could not take them in time.
    std::atomic<std::uint64_t> datagramsNotQueued{0};
    std::atomic<std::uint64_t> bytesNotQueued{0};
    // GetTickCount64 when the writer last finished a write.
    std::atomic<std::uint64_t> lastWriteTicks{0};
    // Arrival times came from the system, not from the completions.
    std::atomic<bool> kernelTimestamps{false};
    // The health figures of the last complete second, published by the
    // writer for the status line; valid once healthSeconds is not 0.
    std::atomic<std::uint64_t> healthSeconds{0};
    std::atomic<std::uint32_t> healthIatMaxUs{0};
    std::atomic<std::uint64_t> healthDfMicroseconds{0};
    std::atomic<std::uint64_t> healthMlr{0};
    // Segmented output: the time the current segment is named from (UTC
    // milliseconds): its start, or a run's first segment's boundary.
    std::atomic<std::int64_t> segmentStartUnixMs{0};
};

// Receive thread: one completed datagram, empty ones included.
inline void CountDatagram(RecordingCounters& counters, DWORD bytes)
{
    counters.datagramsReceived.store(counters.datagramsReceived.load(std::memory_order_relaxed) + 1,
                                       std::memory_order_relaxed);
    counters.bytesReceived.store(counters.bytesReceived.load(std::memory_order_relaxed) + bytes,
                                   std::memory_order_relaxed);
}

// Receive thread: the system time-stamps arrivals.
inline void NoteKernelTimestamps(RecordingCounters& counters)
{
    if (!counters.kernelTimestamps.load(std::memory_order_relaxed))
        counters.kernelTimestamps.store(true, std::memory_order_relaxed);
}

// Receive thread: datagrams dropped because the queue was full.
inline void CountNotQueued(RecordingCounters& counters, int datagrams, unsigned long bytes)
{
    counters.datagramsNotQueued.store(
        counters.datagramsNotQueued.load(std::memory_order_relaxed) + static_cast<std::uint64_t>(datagrams),
        std::memory_order_relaxed);
    counters.bytesNotQueued.store(counters.bytesNotQueued.load(std::memory_order_relaxed) + bytes,
                                    std::memory_order_relaxed);
}

// Writer thread: bytes handed to the output file.
inline void CountStored(RecordingCounters& counters, int bytes)
{
    counters.bytesStored.store(
        counters.bytesStored.load(std::memory_order_relaxed) + static_cast<std::uint64_t>(bytes),
        std::memory_order_relaxed);
    counters.lastWriteTicks.store(GetTickCount64(), std::memory_order_relaxed);
}

// Receive thread, once, before it closes the socket: the system's drop count.
inline void NoteSocketDrops(RecordingCounters& counters, ULONGLONG drops)
{
    counters.socketDrops.store(drops, std::memory_order_relaxed);
    counters.socketDropsKnown.store(true, std::memory_order_release);
}
