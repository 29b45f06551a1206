#include "pipeline/Chunk.h"

#include <new>

Chunk* NewChunk()
{
    Chunk* chunk = new (std::nothrow) Chunk{};
    if (chunk == nullptr) return nullptr;
    chunk->data = new (std::nothrow) char[kChunkSize];
    chunk->arrivals = new (std::nothrow) DatagramArrival[kMaxArrivalsPerChunk];
    if (chunk->data == nullptr || chunk->arrivals == nullptr) {
        FreeChunk(chunk);
        return nullptr;
    }
    chunk->length = 0;
    chunk->arrivalCount = 0;
    return chunk;
}

void FreeChunk(Chunk* chunk)
{
    if (chunk == nullptr) return;
    delete[] chunk->data;
    delete[] chunk->arrivals;
    delete chunk;
}
