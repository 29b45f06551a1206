#include "front/CommandLine.h"
#include "front/RecordingRun.h"
#include "pipeline/Chunk.h"
#include "pipeline/ChunkQueue.h"
#include "pipeline/WriterThread.h"
#include "receiver/Receiver.h"
#include "support/BareReceiverTest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>

namespace {

Chunk* FilledChunk(int length, char fill)
{
    Chunk* chunk = NewChunk();
    for (int i = 0; i < length; ++i) chunk->data[i] = static_cast<char>(fill + i % 7);
    chunk->length = length;
    chunk->arrivalCount = length > 0 ? 1 : 0;  // as if one datagram brought the bytes
    chunk->arrivals[0] = DatagramArrival{0, static_cast<std::uint32_t>(length)};
    return chunk;
}

std::string Expected(int length, char fill)
{
    std::string bytes(static_cast<std::size_t>(length), '\0');
    for (int i = 0; i < length; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<char>(fill + i % 7);
    return bytes;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A receiver without socket or receive thread: the writer sees only its
// queue, its events and its current chunk.
class WriterThreadTest : public BareReceiverTest {
protected:
    WriterThreadTest() : BareReceiverTest("writer_test.out") {}
    void Open(const std::string& target)
    {
        g_testOutput.Stream().open(target, std::ios::binary | std::ios::trunc);
        ASSERT_TRUE(g_testOutput.Stream().is_open());
    }
};

}  // namespace

TEST_F(WriterThreadTest, PastDeadlineWritesQueuedChunksInOrderThenThePartialOne)
{
    Open(path);
    TestState()->queue->Push(FilledChunk(65800, 'a'));
    TestState()->queue->Push(FilledChunk(131599, 'b'));
    TestState()->currentChunk = FilledChunk(0, 'c');
    std::string partial = Expected(1234, 'c');
    for (int i = 0; i < 1234; ++i) TestState()->currentChunk->data[i] = partial[static_cast<std::size_t>(i)];
    TestState()->currentChunk->arrivalCount = 1;
    TestState()->bytesInChunk = 1234;
    StartRecordingClock(&g_testSettings);
    SetRecordingLength(&g_testSettings, -5);

    EXPECT_EQ(RunWriterForReceiver(), 0u);
    g_testOutput.Stream().close();

    EXPECT_EQ(ReadFile(path), Expected(65800, 'a') + Expected(131599, 'b') + partial);
    EXPECT_EQ(TestState()->currentChunk, nullptr);
    EXPECT_EQ(TestState()->queue->Count(), 0);
}

TEST_F(WriterThreadTest, EmptyCurrentChunkIsDiscarded)
{
    Open(path);
    TestState()->currentChunk = NewChunk();
    TestState()->bytesInChunk = 0;
    StartRecordingClock(&g_testSettings);
    SetRecordingLength(&g_testSettings, -1);
    EXPECT_EQ(RunWriterForReceiver(), 0u);
    g_testOutput.Stream().close();
    EXPECT_EQ(ReadFile(path), "");
    EXPECT_EQ(TestState()->currentChunk, nullptr);
}

namespace {
// Plays the receive thread: pushes chunks while the writer runs, then ends.
DWORD WINAPI PushChunks(LPVOID parameter)
{
    auto* expected = static_cast<std::string*>(parameter);
    for (int i = 0; i < 40; ++i) {
        TestState()->queue->Push(FilledChunk(65800 + i, static_cast<char>('A' + i % 20)));
        *expected += Expected(65800 + i, static_cast<char>('A' + i % 20));
        SetEvent(TestState()->dataEvent);
    }
    return 0;
}
}  // namespace

TEST_F(WriterThreadTest, ChunksPushedWhileRunningAreAllWrittenByTheStop)
{
    Open(path);
    // Whenever the deadline falls, the stop waits for the thread that pushes,
    // and the last drain then takes everything it pushed.
    StartRecordingClock(&g_testSettings);
    SetRecordingLength(&g_testSettings, 0);
    std::string expected;
    TestState()->receiveThread = CreateThread(nullptr, 0, PushChunks, &expected, 0, nullptr);
    ASSERT_NE(TestState()->receiveThread, nullptr);
    EXPECT_EQ(RunWriterForReceiver(), 0u);
    g_testOutput.Stream().close();
    EXPECT_EQ(TestState()->receiveThread, nullptr);
    EXPECT_EQ(ReadFile(path), expected);
}

TEST_F(WriterThreadTest, WriteFailureIsReportedOnceAndStopsAtOnce)
{
    Open("/dev/full");
    // Far away: only the failure can end this recording.
    StartRecordingClock(&g_testSettings);
    SetRecordingLength(&g_testSettings, 3600);
    for (int i = 0; i < 3; ++i) TestState()->queue->Push(FilledChunk(65800, 'x'));
    TestState()->currentChunk = FilledChunk(100, 'y');
    TestState()->bytesInChunk = 100;
    testing::internal::CaptureStdout();
    DWORD result = RunWriterForReceiver();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error occurred while writing output file.\n");
    EXPECT_EQ(static_cast<HRESULT>(result), E_FAIL);
    EXPECT_EQ(TestState()->queue->Count(), 0);
    EXPECT_EQ(TestState()->currentChunk, nullptr);
}

TEST_F(WriterThreadTest, AStopRequestEndsTheRecordingLikeItsDeadlineAndWakesTheWriter)
{
    Open(path);
    // Far away: only the request can end this recording, and it comes while
    // the writer sleeps in its wait.
    StartRecordingClock(&g_testSettings);
    SetRecordingLength(&g_testSettings, 3600);
    TestState()->queue->Push(FilledChunk(65800, 'a'));
    TestState()->currentChunk = FilledChunk(500, 'b');
    TestState()->bytesInChunk = 500;
    AcceptStopRequests(TestState()->dataEvent);
    EXPECT_FALSE(StopRequested());
    WriterInputs inputs = InputsForReceiver();
    HANDLE writer = CreateThread(nullptr, 0, WriterThreadProc, &inputs, 0, nullptr);
    ASSERT_NE(writer, nullptr);
    EXPECT_TRUE(RequestStop());
    EXPECT_FALSE(RequestStop());  // the second one lets the system end the process
    EXPECT_EQ(WaitForSingleObject(writer, 60000), WAIT_OBJECT_0);
    CloseHandle(writer);
    RefuseStopRequests();
    g_testOutput.Stream().close();
    EXPECT_EQ(ReadFile(path), Expected(65800, 'a') + Expected(500, 'b'));
    EXPECT_TRUE(StopRequested());
    AcceptStopRequests(nullptr);  // the next recording starts without one
    EXPECT_FALSE(StopRequested());
    RefuseStopRequests();
}
