#include "pipeline/Chunk.h"

#include <new>

Chunk* NewChunk()
{
    Chunk* chunk = new (std::nothrow) Chunk;
    if (chunk == nullptr) return nullptr;
    chunk->data = new (std::nothrow) char[kChunkSize];
    if (chunk->data == nullptr) {
        delete chunk;
        return nullptr;
    }
    chunk->length = 0;
    return chunk;
}

void FreeChunk(Chunk* chunk)
{
    if (chunk == nullptr) return;
    delete[] chunk->data;
    delete chunk;
}
