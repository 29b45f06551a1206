// A chunk, or the queue node that hands it over, that cannot be allocated:
// receiving stops with a message, what was received is written, and the run
// ends with ERROR_NOT_ENOUGH_MEMORY as its result.
#include "FailingAllocator.h"
#include "RecordingHarness.h"

#include "pipeline/Chunk.h"
#include "pipeline/ChunkQueue.h"

#include <gtest/gtest.h>

#include <fstream>

namespace fault = pelorin_win::fault;

namespace {

class AllocationFaults : public testing::Test {
protected:
    void SetUp() override { fault::Enable(); }
    void TearDown() override
    {
        failing_allocator::Disarm();
        fault::Disable();
    }

    RecordingOutcome Record(std::uint32_t datagrams)
    {
        Watchdog watchdog(testing::UnitTest::GetInstance()->current_test_info()->name(), 60);
        RecordingPlan plan;
        plan.lengthSeconds = 1;
        plan.datagrams = datagrams;
        return harness.Record(plan);
    }

    void ExpectOutOfMemory(const RecordingOutcome& outcome)
    {
        EXPECT_EQ(failing_allocator::Failed(), 1u);
        EXPECT_EQ(outcome.result, HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
        EXPECT_TRUE(HasTimeLines(outcome.output, true)) << outcome.output;
        EXPECT_EQ(WithoutTimeLines(outcome.output), "Error occurred while allocating receive buffer.\n");
    }

    RecordingHarness harness;
};

}  // namespace

TEST_F(AllocationFaults, FirstChunk)
{
    failing_allocator::FailNth(kChunkSize, 1, false);
    RecordingOutcome outcome = Record(100);
    ExpectOutOfMemory(outcome);
    EXPECT_EQ(outcome.delivered, 0u);
    EXPECT_EQ(outcome.file, "");
}

TEST_F(AllocationFaults, ChunkAfterTwoFullOnes)
{
    // The first chunk is made at the start, the second after datagram 50;
    // the third, due after datagram 100, cannot be had.
    failing_allocator::FailNth(kChunkSize, 3, false);
    RecordingOutcome outcome = Record(300);
    ExpectOutOfMemory(outcome);
    EXPECT_EQ(outcome.delivered, 100u);
    EXPECT_EQ(outcome.file.size(), 2u * 65800u);
    EXPECT_EQ(FirstDifference(outcome.file, outcome.expected), "");
}

TEST_F(AllocationFaults, QueueNodeForTheSecondChunk)
{
    // On the receive thread the node of a hand-over comes first, then the
    // next chunk's record; when both have the same size they share a count.
    const unsigned long nth = sizeof(ChunkNode) == sizeof(Chunk) ? 3 : 2;
    failing_allocator::FailNth(sizeof(ChunkNode), nth, true);
    RecordingOutcome outcome = Record(300);
    ExpectOutOfMemory(outcome);
    // The chunk that could not be queued is still written, at the stop.
    EXPECT_EQ(outcome.delivered, 100u);
    EXPECT_EQ(outcome.file.size(), 2u * 65800u);
    EXPECT_EQ(FirstDifference(outcome.file, outcome.expected), "");
}

TEST_F(AllocationFaults, QueueOfTheReceiver)
{
    // Nothing can be received without the queue: the run ends at once, with
    // only the finish line, and no file is made.
    failing_allocator::FailNth(sizeof(ChunkQueue), 1, false);
    RecordingOutcome outcome = Record(10);
    EXPECT_EQ(failing_allocator::Failed(), 1u);
    EXPECT_EQ(outcome.result, E_OUTOFMEMORY);
    EXPECT_TRUE(HasTimeLines(outcome.output, false)) << outcome.output;
    EXPECT_EQ(WithoutTimeLines(outcome.output), "");
    EXPECT_FALSE(std::ifstream(harness.path).good());
}
