// The locked FIFO that hands full chunks from the receive thread to the
// writer thread.
#pragma once

#include "platform/Platform.h"

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
    int Count();
    // The oldest chunk, which stays queued. Only on a non-empty queue.
    Chunk* Front();
    // Removes the oldest node (not its chunk); no effect on an empty queue.
    void PopFront();

private:
    CRITICAL_SECTION lock;
    ChunkNode* head;
    ChunkNode* tail;
    int count;
};
