// A buffer of received datagram payloads, stored back to back, with the size
// and arrival time of each datagram in it.
#pragma once

#include <cstdint>

// One receive request offers this many bytes; a chunk is handed to the writer
// once it holds at least as many.
constexpr unsigned kReceiveSize = 65800;
// Twice one request: a request posted at any fill offset below kReceiveSize
// always fits.
constexpr unsigned kChunkSize = 2 * kReceiveSize;
// A chunk is also handed over when its arrival records are full, which only
// a stream of tiny datagrams reaches (1316-byte ones fill a chunk with 50).
constexpr int kMaxArrivalsPerChunk = 1024;

struct DatagramArrival {
    std::int64_t nanoseconds;  // arrival time on the monotonic clock
    std::uint32_t bytes;       // payload size, 0 for an empty datagram
};

// The memory one chunk takes: its data and its arrival records.
constexpr unsigned kChunkMemory = kChunkSize + kMaxArrivalsPerChunk * sizeof(DatagramArrival);

struct Chunk {
    char* data;                  // kChunkSize bytes
    int length;                  // valid bytes, set when the chunk is handed over
    DatagramArrival* arrivals;   // kMaxArrivalsPerChunk records
    int arrivalCount;            // datagrams in the chunk, empty ones included
    // Not 0 in a marker, which carries no data: the next output segment
    // starts here, at this boundary (UTC seconds).
    std::int64_t segmentStart;
};

// nullptr when memory runs out: the recording path never throws.
Chunk* NewChunk();
void FreeChunk(Chunk* chunk);
