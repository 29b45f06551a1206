// Chunks the writer is done with, kept for the receive thread to fill again.
// A fresh chunk costs page faults on every page it is written to, and the
// allocator hands such large blocks back to the system when they are freed;
// a stream goes through thousands of chunks a second.
#pragma once

#include "platform/Platform.h"

struct Chunk;

// Locked: the receive thread takes, the writer gives back. Keeps at most
// kCapacity chunks (about what the writer frees in one pass at full rate);
// more are released, as are all of them when the pool goes. The first
// kCapacity chunks are always new: the recording allocates its working set
// at its start as it would without the pool, so running out of memory there
// shows at the same chunk.
class ChunkPool {
public:
    static constexpr int kCapacity = 16;

    ChunkPool();
    ~ChunkPool();
    ChunkPool(const ChunkPool&) = delete;
    ChunkPool& operator=(const ChunkPool&) = delete;

    // A kept chunk, emptied, once kCapacity have been made; else a new one.
    // nullptr when memory runs out.
    Chunk* Take();
    // Keeps a data chunk while there is room, else releases it (and any
    // segment marker). nullptr is ignored.
    void Give(Chunk* chunk);
    int Kept();

private:
    CRITICAL_SECTION lock;
    Chunk* kept[kCapacity];
    int count;
    int made;  // chunks made here, counted up to kCapacity
};
