#include "pipeline/ChunkQueue.h"

#include "pipeline/Chunk.h"

#include <new>

ChunkQueue::ChunkQueue() : head(nullptr), tail(nullptr), count(0)
{
    InitializeCriticalSection(&lock);
}

ChunkQueue::~ChunkQueue()
{
    // Releases the nodes left, never their chunks.
    while (count != 0) PopFront();
    DeleteCriticalSection(&lock);
}

bool ChunkQueue::Push(Chunk* chunk)
{
    EnterCriticalSection(&lock);
    ChunkNode* node = new (std::nothrow) ChunkNode{chunk, nullptr};
    if (node != nullptr) {
        if (count >= 1) tail->next = node;
        tail = node;
        if (count == 0) head = node;
        ++count;
    }
    LeaveCriticalSection(&lock);
    return node != nullptr;
}

int ChunkQueue::Count()
{
    EnterCriticalSection(&lock);
    int value = count;
    LeaveCriticalSection(&lock);
    return value;
}

Chunk* ChunkQueue::Front()
{
    EnterCriticalSection(&lock);
    Chunk* chunk = head->chunk;
    LeaveCriticalSection(&lock);
    return chunk;
}

void ChunkQueue::PopFront()
{
    EnterCriticalSection(&lock);
    if (count > 0) {
        ChunkNode* old = head;
        head = old->next;
        delete old;
        --count;
    }
    LeaveCriticalSection(&lock);
}
