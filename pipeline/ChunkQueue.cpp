#include "pipeline/ChunkQueue.h"

#include "pipeline/Chunk.h"

#include <limits>
#include <new>

ChunkQueue::ChunkQueue() : head(nullptr), tail(nullptr), count(0), byteLimit(std::numeric_limits<std::size_t>::max())
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
    const bool linked = Link(chunk);
    LeaveCriticalSection(&lock);
    return linked;
}

ChunkQueue::OfferResult ChunkQueue::Offer(Chunk* chunk)
{
    EnterCriticalSection(&lock);
    OfferResult result = OfferResult::full;
    if ((static_cast<std::size_t>(count) + 1) * kChunkMemory <= byteLimit)
        result = Link(chunk) ? OfferResult::queued : OfferResult::outOfMemory;
    LeaveCriticalSection(&lock);
    return result;
}

bool ChunkQueue::Link(Chunk* chunk)
{
    ChunkNode* node = new (std::nothrow) ChunkNode{chunk, nullptr};
    if (node == nullptr) return false;
    if (count >= 1) tail->next = node;
    tail = node;
    if (count == 0) head = node;
    ++count;
    return true;
}

void ChunkQueue::SetByteLimit(std::size_t bytes)
{
    EnterCriticalSection(&lock);
    byteLimit = bytes;
    LeaveCriticalSection(&lock);
}

std::size_t ChunkQueue::Bytes()
{
    return static_cast<std::size_t>(Count()) * kChunkMemory;
}

std::size_t QueueByteLimit(unsigned long long physicalMemory)
{
    const unsigned long long quarter = physicalMemory / 4;
    if (physicalMemory == 0 || quarter >= kMaxQueueBytes) return kMaxQueueBytes;
    return static_cast<std::size_t>(quarter);
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
