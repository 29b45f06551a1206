#include "pipeline/Chunk.h"
#include "pipeline/ChunkQueue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

TEST(ChunkQueue, KeepsOrderAcrossEmptying)
{
    ChunkQueue queue;
    Chunk a{}, b{}, c{};
    EXPECT_EQ(queue.Count(), 0);
    queue.PopFront();  // no effect on an empty queue
    EXPECT_EQ(queue.Count(), 0);

    ASSERT_TRUE(queue.Push(&a));
    ASSERT_TRUE(queue.Push(&b));
    EXPECT_EQ(queue.Count(), 2);
    EXPECT_EQ(queue.Front(), &a);
    queue.PopFront();
    EXPECT_EQ(queue.Front(), &b);
    EXPECT_EQ(queue.Count(), 1);
    queue.PopFront();
    EXPECT_EQ(queue.Count(), 0);

    // After emptying, a push makes the new node both ends again.
    ASSERT_TRUE(queue.Push(&c));
    EXPECT_EQ(queue.Front(), &c);
    EXPECT_EQ(queue.Count(), 1);
    queue.PopFront();
}

TEST(ChunkQueue, DestructionReleasesNodesButNotChunks)
{
    // Under the address sanitizer a leaked node or a freed chunk shows up.
    Chunk* chunks[3] = {NewChunk(), NewChunk(), NewChunk()};
    {
        ChunkQueue queue;
        for (Chunk* chunk : chunks) ASSERT_TRUE(queue.Push(chunk));
    }
    for (Chunk* chunk : chunks) {
        chunk->data[kChunkSize - 1] = 1;  // still ours
        FreeChunk(chunk);
    }
}

TEST(ChunkQueue, ConcurrentProducerAndConsumerKeepOrder)
{
    constexpr int kChunks = 20000;
    ChunkQueue queue;
    std::vector<Chunk> chunks(kChunks);
    for (int i = 0; i < kChunks; ++i) chunks[static_cast<std::size_t>(i)].length = i;

    std::thread producer([&] {
        for (Chunk& chunk : chunks) ASSERT_TRUE(queue.Push(&chunk));
    });
    // The consumer's protocol: take the count once, then exactly that many.
    int expected = 0;
    while (expected < kChunks) {
        int queued = queue.Count();
        for (int i = 0; i < queued; ++i) {
            Chunk* chunk = queue.Front();
            queue.PopFront();
            ASSERT_EQ(chunk->length, expected);
            ++expected;
        }
        if (queued == 0) std::this_thread::yield();
    }
    producer.join();
    EXPECT_EQ(queue.Count(), 0);
}

TEST(Chunk, HoldsTwoReceiveRequests)
{
    static_assert(kChunkSize == 131600 && kReceiveSize == 65800, "sizes the file format depends on");
    Chunk* chunk = NewChunk();
    ASSERT_NE(chunk, nullptr);
    // The last byte any request can reach: offset 65799 plus 65800 bytes.
    chunk->data[(kReceiveSize - 1) + kReceiveSize - 1] = 0;
    FreeChunk(chunk);
    FreeChunk(nullptr);
}

TEST(ChunkQueue, ByteLimitRefusesBeyondItAndFollowsTheMachinesMemory)
{
    ChunkQueue queue;
    Chunk a{}, b{}, c{};
    queue.SetByteLimit(2 * kChunkMemory);
    EXPECT_EQ(queue.Offer(&a), ChunkQueue::OfferResult::queued);
    EXPECT_EQ(queue.Offer(&b), ChunkQueue::OfferResult::queued);
    EXPECT_EQ(queue.Offer(&c), ChunkQueue::OfferResult::full);
    EXPECT_EQ(queue.Count(), 2);
    EXPECT_EQ(queue.Bytes(), 2 * kChunkMemory);
    queue.PopFront();
    EXPECT_EQ(queue.Offer(&c), ChunkQueue::OfferResult::queued);
    while (queue.Count() != 0) queue.PopFront();

    const unsigned long long GiB = 1ull << 30;
    struct {
        unsigned long long memory;
        std::size_t limit;
    } machines[] = {{0, kMaxQueueBytes}, {GiB, GiB / 4}, {2 * GiB, kMaxQueueBytes}, {64 * GiB, kMaxQueueBytes}};
    for (const auto& machine : machines) EXPECT_EQ(QueueByteLimit(machine.memory), machine.limit) << machine.memory;
}

TEST(ChunkPool, ReusesGivenChunksEmptiedOnceItsWorkingSetIsMade)
{
    // Under the address sanitizer a chunk released twice, or kept and lost, shows up.
    ChunkPool pool;
    std::vector<Chunk*> made{pool.Take()};
    ASSERT_NE(made[0], nullptr);
    pool.Give(made[0]);  // kept, yet the working set is still made new
    for (int i = 1; i < ChunkPool::kCapacity; ++i) {
        made.push_back(pool.Take());
        ASSERT_NE(made.back(), nullptr);
        EXPECT_NE(made.back(), made[0]);
    }
    EXPECT_EQ(pool.Kept(), 1);

    Chunk* used = made[1];
    used->length = 100;
    used->arrivalCount = 3;
    used->segmentStart = 60;
    pool.Give(used);
    Chunk* again = pool.Take();
    EXPECT_EQ(again, used);
    EXPECT_EQ(again->length, 0);
    EXPECT_EQ(again->arrivalCount, 0);
    EXPECT_EQ(again->segmentStart, 0);
    EXPECT_EQ(pool.Kept(), 1);

    pool.Give(nullptr);
    pool.Give(new Chunk{});  // a segment marker carries no data: released
    EXPECT_EQ(pool.Kept(), 1);
    pool.Give(again);
    for (int i = 2; i < ChunkPool::kCapacity; ++i) pool.Give(made[static_cast<std::size_t>(i)]);
    for (int i = 0; i < 3; ++i) pool.Give(NewChunk());
    EXPECT_EQ(pool.Kept(), ChunkPool::kCapacity);  // the rest released; the pool releases these
}
