// Receive failures in a whole recording: each is reported, ends with its own
// error as the result, never hangs, and what was received before it is in
// the file, byte for byte.
#include "RecordingHarness.h"

#include "pipeline/WriterThread.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace fault = pelorin_win::fault;
using fault::Point;

namespace {

constexpr int kNetworkReset = 10052;  // WSAENETRESET

class ReceiveFaults : public testing::Test {
protected:
    void SetUp() override { fault::Enable(); }
    void TearDown() override { fault::Disable(); }

    // A recording that ends a second or two after it starts, of `datagrams`
    // datagrams sent as soon as it receives.
    RecordingOutcome Record(std::uint32_t datagrams, StreamShape shape = StreamShape{})
    {
        Watchdog watchdog(testing::UnitTest::GetInstance()->current_test_info()->name(), 60);
        RecordingPlan plan;
        plan.lengthSeconds = 1;
        plan.shape = shape;
        plan.datagrams = datagrams;
        return harness.Record(plan);
    }

    RecordingHarness harness;
};

}  // namespace

TEST_F(ReceiveFaults, FailedFirstRequest)
{
    fault::Arm(Point::postReceive, 1, WSAENETDOWN);
    RecordingOutcome outcome = Record(100);
    EXPECT_EQ(outcome.result, HRESULT_FROM_WIN32(WSAENETDOWN));
    EXPECT_TRUE(HasTimeLines(outcome.output, true)) << outcome.output;
    EXPECT_EQ(WithoutTimeLines(outcome.output), "WSARecv() failed with error 10050\n");
    EXPECT_EQ(outcome.delivered, 0u);
    EXPECT_EQ(outcome.file, "");
    EXPECT_EQ(outcome.totals, "Recording totals: 0 datagrams, 0 bytes stored, 0 dropped, 0 not written in time\n");
}

TEST_F(ReceiveFaults, FailedCompletionMidStreamKeepsEverythingBeforeIt)
{
    // Completion 120 fails: 119 datagrams are two full chunks and 19 more.
    fault::Arm(Point::completion, 120, WSAECONNRESET);
    RecordingOutcome outcome = Record(400);
    EXPECT_EQ(outcome.result, HRESULT_FROM_WIN32(WSAECONNRESET));
    EXPECT_TRUE(HasTimeLines(outcome.output, true)) << outcome.output;
    EXPECT_EQ(WithoutTimeLines(outcome.output), "WSARecv failed: 10054\n");
    EXPECT_EQ(outcome.delivered, 119u);
    EXPECT_EQ(FirstDifference(outcome.file, outcome.expected), "");
    // The socket's drop count is read before the receive thread closes it.
    EXPECT_EQ(outcome.totals, "Recording totals: 119 datagrams, 156604 bytes stored, 0 dropped, 0 not written in time\n");
}

TEST_F(ReceiveFaults, FailedReceiveIsShownWhileTheRecordingGoesOn)
{
    // An hour-long recording whose receive fails: the line is out before
    // the stop that ends the recording, not at its end.
    fault::Arm(Point::completion, 120, WSAECONNRESET);
    Watchdog watchdog("FailedReceiveIsShownWhileTheRecordingGoesOn", 60);
    std::atomic<bool> shownBeforeStop{false};
    // Beside the recording, never on its sender: the stream must go on to
    // the failing datagram whatever this waits for.
    std::thread watcher([&shownBeforeStop] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        // Standard output is captured into a file once receiving has begun:
        // read what is in it so far.
        bool shown = false;
        while (!shown && std::chrono::steady_clock::now() < until) {
            struct stat target {};
            if (fault::Calls(Point::completion) > 0 && ::stat("/proc/self/fd/1", &target) == 0 &&
                S_ISREG(target.st_mode)) {
                std::ifstream captured("/proc/self/fd/1");
                std::stringstream text;
                text << captured.rdbuf();
                shown = text.str().find("WSARecv failed: 10054\n") != std::string::npos;
            }
            if (!shown) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        shownBeforeStop.store(shown);
        RequestStop();
    });
    RecordingPlan plan;
    plan.lengthSeconds = 3600;
    plan.datagrams = 400;
    RecordingOutcome outcome = harness.Record(plan);
    watcher.join();
    EXPECT_TRUE(shownBeforeStop.load());
    EXPECT_EQ(outcome.result, HRESULT_FROM_WIN32(WSAECONNRESET));
    EXPECT_EQ(WithoutTimeLines(outcome.output), "WSARecv failed: 10054\n");
    EXPECT_EQ(outcome.delivered, 119u);
}

TEST_F(ReceiveFaults, FailedCompletionWithDatagramsOfMixedSizes)
{
    StreamShape mixed;
    mixed.seed = 0x5EED;
    fault::Arm(Point::completion, 333, kNetworkReset);
    RecordingOutcome outcome = Record(500, mixed);
    EXPECT_EQ(outcome.result, HRESULT_FROM_WIN32(kNetworkReset));
    EXPECT_EQ(WithoutTimeLines(outcome.output), "WSARecv failed: 10052\n");
    EXPECT_EQ(outcome.delivered, 332u);
    EXPECT_EQ(FirstDifference(outcome.file, outcome.expected), "");
}

TEST_F(ReceiveFaults, RequestRefusedAfterACompletionEndsOnAChunkBoundary)
{
    // The 151st request is the one posted after datagram 150: 150 datagrams
    // of 1316 bytes are exactly three full chunks and nothing partial.
    fault::Arm(Point::postReceive, 151, WSAENOBUFS);
    RecordingOutcome outcome = Record(400);
    EXPECT_EQ(outcome.result, HRESULT_FROM_WIN32(WSAENOBUFS));
    EXPECT_TRUE(HasTimeLines(outcome.output, true)) << outcome.output;
    EXPECT_EQ(WithoutTimeLines(outcome.output), "WSARecv failed: 10055\n");
    EXPECT_EQ(outcome.delivered, 150u);
    EXPECT_EQ(outcome.file.size(), 3u * 65800u);
    EXPECT_EQ(FirstDifference(outcome.file, outcome.expected), "");
}

TEST_F(ReceiveFaults, FailedWaitEndsReceivingWithItsError)
{
    // Each earlier wait ran at least one completion before it returned.
    fault::Arm(Point::alertableWait, 3, WSAEINVAL);
    RecordingOutcome outcome = Record(400);
    EXPECT_EQ(outcome.result, HRESULT_FROM_WIN32(WSAEINVAL));
    EXPECT_TRUE(HasTimeLines(outcome.output, true)) << outcome.output;
    EXPECT_EQ(WithoutTimeLines(outcome.output), "");
    EXPECT_GE(outcome.delivered, 2u);
    EXPECT_EQ(FirstDifference(outcome.file, outcome.expected), "");
}

TEST_F(ReceiveFaults, ReceiveThreadThatCannotBeCreated)
{
    fault::Arm(Point::createThread, 1, static_cast<int>(ERROR_NOT_ENOUGH_MEMORY));
    RecordingOutcome outcome = Record(100);
    EXPECT_EQ(outcome.result, HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_TRUE(HasTimeLines(outcome.output, true)) << outcome.output;
    EXPECT_EQ(outcome.delivered, 0u);
    EXPECT_EQ(outcome.file, "");
}

TEST_F(ReceiveFaults, WriterThreadThatCannotBeCreatedLeavesTheWorkToTheMainThread)
{
    fault::Arm(Point::createThread, 2, static_cast<int>(ERROR_NOT_ENOUGH_MEMORY));
    RecordingOutcome outcome = Record(300);
    EXPECT_EQ(fault::Failures(Point::createThread), 1u);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(WithoutTimeLines(outcome.output), "");
    EXPECT_EQ(outcome.delivered, 300u);
    EXPECT_EQ(FirstDifference(outcome.file, outcome.expected), "");
    EXPECT_EQ(outcome.totals, "Recording totals: 300 datagrams, 394800 bytes stored, 0 dropped, 0 not written in time\n");
}
