// The locked FIFO that hands full chunks from the receive thread to the
// writer thread.
#pragma once

#include "pipeline/ChunkPool.h"
#include "platform/Platform.h"

#include <cstddef>

struct Chunk;

struct ChunkNode {
    Chunk* chunk;
    ChunkNode* next;
};

// One producer (the receive thread) appends, one consumer (the writer thread)
// takes from the front. The queue owns its nodes, not the chunks.
class ChunkQueue {
public:
    ChunkQueue();
    ~ChunkQueue();
    ChunkQueue(const ChunkQueue&) = delete;
    ChunkQueue& operator=(const ChunkQueue&) = delete;

    // False when no node could be allocated; the chunk then stays the caller's.
    bool Push(Chunk* chunk);

    enum class OfferResult { queued, full, outOfMemory };
    // Push, unless the chunks queued already take the byte limit's memory
    // (`full`); the chunk then stays the caller's.
    OfferResult Offer(Chunk* chunk);
    // The memory the queued chunks may take; none until set.
    void SetByteLimit(std::size_t bytes);
    // The memory the queued chunks take now (whole chunks with their records).
    std::size_t Bytes();
    int Count();
    // The oldest chunk, which stays queued. Only on a non-empty queue.
    Chunk* Front();
    // Removes the oldest node (not its chunk); no effect on an empty queue.
    void PopFront();
    // Where the receive thread takes its chunks and the writer gives them back.
    ChunkPool* Pool() { return &pool; }

private:
    // Appends a node for the chunk; the lock is held. False out of memory.
    bool Link(Chunk* chunk);

    CRITICAL_SECTION lock;
    ChunkNode* head;
    ChunkNode* tail;
    int count;
    std::size_t byteLimit;
    ChunkPool pool;
};

// The queue's byte limit for a machine with `physicalMemory` bytes: a stalled
// disk or pipe must never take the machine's memory, so at most 512 MiB (four
// seconds at 1 Gbit/s) and never more than a quarter of the memory.
std::size_t QueueByteLimit(unsigned long long physicalMemory);
constexpr std::size_t kMaxQueueBytes = std::size_t{512} << 20;
