#include "pipeline/ChunkPool.h"

#include "pipeline/Chunk.h"

ChunkPool::ChunkPool() : kept{}, count(0), made(0)
{
    InitializeCriticalSection(&lock);
}

ChunkPool::~ChunkPool()
{
    while (count > 0) FreeChunk(kept[--count]);
    DeleteCriticalSection(&lock);
}

Chunk* ChunkPool::Take()
{
    Chunk* chunk = nullptr;
    EnterCriticalSection(&lock);
    if (made < kCapacity)
        ++made;
    else if (count > 0)
        chunk = kept[--count];
    LeaveCriticalSection(&lock);
    if (chunk == nullptr) return NewChunk();
    chunk->length = 0;
    chunk->arrivalCount = 0;
    chunk->segmentStart = 0;
    return chunk;
}

void ChunkPool::Give(Chunk* chunk)
{
    if (chunk == nullptr) return;
    if (chunk->data != nullptr && chunk->arrivals != nullptr) {
        EnterCriticalSection(&lock);
        const bool room = count < kCapacity;
        if (room) kept[count++] = chunk;
        LeaveCriticalSection(&lock);
        if (room) return;
    }
    FreeChunk(chunk);
}

int ChunkPool::Kept()
{
    EnterCriticalSection(&lock);
    const int n = count;
    LeaveCriticalSection(&lock);
    return n;
}
