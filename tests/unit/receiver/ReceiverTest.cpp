#include "common/Counters.h"
#include "front/CommandLine.h"
#include "front/RecordingRun.h"
#include "pipeline/Chunk.h"
#include "pipeline/ChunkQueue.h"
#include "pipeline/WriterThread.h"
#include "receiver/Receiver.h"
#include "support/BareReceiverTest.h"
#include "support/TestSupport.h"

#include "FaultInjection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <unistd.h>
#include <ctime>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

const std::vector<std::wstring> kSetupSequence = {
    L"Create Socket called.\n",
    L"Setting socket options...\n",
    L"Joining to multicast group.\n",
    L"MCAST_JOIN_GROUP option failed. Selecting NIC by it's Ipv4 ip\n",
    L"Binding socket\n",
};

// The line that ends a successful set-up.
std::wstring BufferLine(long long granted)
{
    return L"Receive buffer: " + std::to_wstring(granted) + L" bytes granted, 8388608 asked\n";
}

// What a plain SO_RCVBUF of `bytes` gives here: capped at rmem_max.
long long PlainGrant(long long bytes)
{
    long long limit = 0;
    std::ifstream("/proc/sys/net/core/rmem_max") >> limit;
    return std::min(bytes, limit);
}

class ReceiverTest : public testing::Test {
protected:
    void SetUp() override
    {
        DebugCapture quiet;
        g_testReceiver = new Receiver(&g_testCounters);
        port = FreeUdpPort();
    }
    void TearDown() override
    {
        DebugCapture quiet;
        DeleteTestReceiver();
    }
    // Sockets bound to 127.0.0.1 with no group: plain unicast on loopback.
    HRESULT CreateLoopbackSocket()
    {
        return g_testReceiver->CreateSocket(0, htons(port), inet_addr("127.0.0.1"));
    }
    // Waits (bounded) until the receive thread has queued `count` chunks.
    bool WaitForQueued(int count)
    {
        for (int i = 0; i < 2000 && TestState()->queue->Count() < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return TestState()->queue->Count() >= count;
    }
    // Sends a burst small enough for the socket buffer, then waits until the
    // receive thread has turned it into one more chunk.
    void SendBurst(std::uint32_t& next, int datagrams, std::size_t size, int chunksAfter)
    {
        for (int i = 0; i < datagrams; ++i) {
            std::vector<char> payload = Payload(next++, size);
            ASSERT_TRUE(sender.Send(port, payload.data(), payload.size()));
        }
        ASSERT_TRUE(WaitForQueued(chunksAfter));
    }
    // The writer's whole run past the deadline, into /dev/null: it ends
    // receiving as a recording's end does.
    DWORD WriteToTheEnd()
    {
        StartRecordingClock(&g_testSettings);
        SetRecordingLength(&g_testSettings, -1);
        g_testOutput.Stream().open("/dev/null", std::ios::binary);
        const DWORD result = RunWriterForReceiver();
        g_testOutput.Stream().close();
        return result;
    }
    std::uint16_t port = 0;
    LoopbackSender sender;
};

}  // namespace

TEST_F(ReceiverTest, SetupWritesTheDebugSequenceAndSecondCallIsANoOp)
{
    DebugCapture capture;
    ASSERT_EQ(CreateLoopbackSocket(), 0);
    std::vector<std::wstring> expected = kSetupSequence;
    expected.push_back(BufferLine(TestState()->receiveBufferGranted));
    EXPECT_EQ(capture.Messages(), expected);
    EXPECT_NE(TestState()->socket, INVALID_SOCKET);

    DebugCapture again;
    EXPECT_EQ(CreateLoopbackSocket(), 0);
    EXPECT_TRUE(again.Messages().empty());
}

// 8 MiB through SO_RCVBUFFORCE, else through SO_RCVBUF (capped at rmem_max),
// else the old 131600 the same two ways; only when all of that is refused
// does the set-up fail.
TEST_F(ReceiverTest, ReceiveBufferAsksForEightMebibytesThenFallsBack)
{
    struct Case {
        const char* what;
        unsigned long forceRefusals;
        unsigned long plainRefusals;
        long long granted;  // -1: the set-up fails
    } cases[] = {
        {"privileged", 0, 0, geteuid() == 0 ? kReceiveBufferBytes : PlainGrant(kReceiveBufferBytes)},
        {"capped at rmem_max", 1, 0, PlainGrant(kReceiveBufferBytes)},
        {"8 MiB refused", 1, 1,
         geteuid() == 0 ? kFallbackReceiveBufferBytes : PlainGrant(kFallbackReceiveBufferBytes)},
        {"8 MiB refused, 131600 capped", 2, 1, PlainGrant(kFallbackReceiveBufferBytes)},
        {"everything refused", 2, 2, -1},
    };
    namespace fault = pelorin_win::fault;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        fault::Enable();
        if (c.forceRefusals > 0) fault::Arm(fault::Point::receiveBufferForce, 1, WSAENOBUFS, c.forceRefusals);
        if (c.plainRefusals > 0) fault::Arm(fault::Point::receiveBuffer, 1, WSAENOBUFS, c.plainRefusals);
        DebugCapture capture;
        HRESULT result = CreateLoopbackSocket();
        fault::Disable();
        std::vector<std::wstring> expected = {kSetupSequence[0], kSetupSequence[1]};
        if (c.granted < 0) {
            EXPECT_EQ(static_cast<std::uint32_t>(result), 0x80072747u);  // WSAENOBUFS
            expected.push_back(L"Setting socket buffer size option failed\n");
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(TestState()->receiveBufferGranted, c.granted);
            expected = kSetupSequence;
            expected.push_back(BufferLine(c.granted));
        }
        EXPECT_EQ(capture.Messages(), expected);
    }
}

// Any interface, a group joined on lo (IPv4 by address and by name, IPv6 by
// index), an address the host lacks (0.0.0.1, what -i 1 gives, though Winsock
// would take it as an index for sending): one sequence, ended by the buffer
// line or the failed bind. Each case: group, interface address, lo by index, bound.
TEST_F(ReceiverTest, EveryInterfaceFormHasTheSameSequence)
{
    NET_LUID lo = {};
    ASSERT_EQ(ConvertInterfaceAliasToLuid(L"lo", &lo), NO_ERROR);
    const std::tuple<const char*, const char*, bool, bool> cases[] = {
        {"0", "0", false, true},          {"239.255.0.1", "127.0.0.1", false, true},
        {"239.255.0.1", "0", true, true}, {"ff0e::1:2", "0", true, true},
        {"0", "10.255.255.254", false, false}, {"239.255.0.1", "0.0.0.1", false, false}};
    for (const auto& [groupText, nic, byName, bound] : cases) {
        SCOPED_TRACE(std::string(groupText) + " on " + (byName ? "lo" : nic));
        TearDown();
        SetUp();
        const bool ipv6 = inet_pton(AF_INET6, groupText, &TestState()->extended.group) == 1;
        TestState()->extended.family = ipv6 ? AF_INET6 : 0;
        const ULONG group = ipv6 ? 0 : inet_addr(groupText);
        ASSERT_TRUE(!byName || ConvertInterfaceLuidToIndex(&lo, &TestState()->extended.interfaceIndex) == NO_ERROR);
        DebugCapture capture;
        const HRESULT result = g_testReceiver->CreateSocket(group, htons(port), inet_addr(nic));
        std::vector<std::wstring> expected = kSetupSequence;
        if (bound) expected.push_back(BufferLine(TestState()->receiveBufferGranted));
        if (!bound) expected.insert(expected.end(), {L"Setting output interface failed\n", L"Binding failed\n"});
        EXPECT_EQ(result, bound ? 0 : 2049);
        EXPECT_EQ(capture.Messages(), expected);
    }
}

TEST_F(ReceiverTest, WithoutWinsockTheSocketCannotBeCreated)
{
    WSACleanup();  // undo the constructor's start-up
    DebugCapture capture;
    EXPECT_EQ(static_cast<std::uint32_t>(CreateLoopbackSocket()), 0x8007276Du);
    EXPECT_EQ(capture.Messages(), std::vector<std::wstring>{L"Create Socket called.\n"});
}

TEST_F(ReceiverTest, TransportStreamDatagramsFillChunksOf65800Bytes)
{
    ASSERT_EQ(CreateLoopbackSocket(), 0);
    {
        DebugCapture quiet;
        g_testReceiver->StartReceiving();
    }
    std::uint32_t next = 0;
    for (int chunk = 1; chunk <= 3; ++chunk) SendBurst(next, 50, 1316, chunk);

    std::uint32_t index = 0;
    for (int chunk = 0; chunk < 3; ++chunk) {
        Chunk* full = TestState()->queue->Front();
        TestState()->queue->PopFront();
        ASSERT_EQ(full->length, 65800);
        for (int d = 0; d < 50; ++d, ++index) {
            std::vector<char> expected = Payload(index, 1316);
            ASSERT_EQ(std::memcmp(full->data + d * 1316, expected.data(), 1316), 0) << index;
        }
        FreeChunk(full);
    }

    // The writer's stop ends the receive thread and closes its event and socket.
    testing::internal::CaptureStdout();
    DebugCapture capture;
    EXPECT_EQ(WriteToTheEnd(), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(TestState()->socket, INVALID_SOCKET);
    EXPECT_EQ(TestState()->stopEvent, nullptr);
    EXPECT_EQ(TestState()->receiveThread, nullptr);
    EXPECT_EQ(TestState()->receiveError, 0u);
    ASSERT_FALSE(capture.Messages().empty());
    EXPECT_EQ(capture.Messages().back(), L"Stopped receiving:");
}

TEST_F(ReceiverTest, AFullQueueDropsWholeChunksAndCountsThemWhileReceivingGoesOn)
{
    ASSERT_EQ(CreateLoopbackSocket(), 0);
    TestState()->queue->SetByteLimit(kChunkMemory);  // room for one chunk
    const std::uint64_t droppedBefore = g_testCounters.datagramsNotQueued.load();
    {
        DebugCapture quiet;
        g_testReceiver->StartReceiving();
    }
    std::uint32_t next = 0;
    SendBurst(next, 50, 1316, 1);
    // Two more chunks' worth find the queue full: dropped, counted, and the
    // chunk already queued stays as it was.
    for (int burst = 0; burst < 2; ++burst) {
        for (int i = 0; i < 50; ++i) {
            std::vector<char> payload = Payload(next++, 1316);
            ASSERT_TRUE(sender.Send(port, payload.data(), payload.size()));
        }
        for (int i = 0; i < 2000 && g_testCounters.datagramsNotQueued.load() < droppedBefore + 50 * (burst + 1); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(g_testCounters.datagramsNotQueued.load() - droppedBefore, 100u);
    EXPECT_EQ(TestState()->queue->Count(), 1);
    Chunk* kept = TestState()->queue->Front();
    TestState()->queue->PopFront();
    EXPECT_EQ(std::memcmp(kept->data, Payload(0, 1316).data(), 1316), 0);
    FreeChunk(kept);

    // With room again, receiving goes on where it is.
    SendBurst(next, 50, 1316, 1);
    Chunk* after = TestState()->queue->Front();
    TestState()->queue->PopFront();
    EXPECT_EQ(std::memcmp(after->data, Payload(150, 1316).data(), 1316), 0);
    FreeChunk(after);

    DebugCapture quiet;
    EXPECT_EQ(WriteToTheEnd(), 0u);
}

TEST_F(ReceiverTest, LargestDatagramsAndEmptyOnesAreHandled)
{
    ASSERT_EQ(CreateLoopbackSocket(), 0);
    {
        DebugCapture quiet;
        g_testReceiver->StartReceiving();
    }
    std::uint32_t next = 0;
    // Two of the largest datagrams make one chunk of 131014 bytes.
    SendBurst(next, 2, 65507, 1);
    Chunk* big = TestState()->queue->Front();
    TestState()->queue->PopFront();
    EXPECT_EQ(big->length, 131014);
    EXPECT_EQ(std::memcmp(big->data + 65507, Payload(1, 65507).data(), 65507), 0);
    FreeChunk(big);

    // An empty datagram in the middle stores nothing and receiving goes on.
    for (int i = 0; i < 10; ++i) {
        std::vector<char> payload = Payload(next++, 1316);
        ASSERT_TRUE(sender.Send(port, payload.data(), payload.size()));
    }
    ASSERT_TRUE(sender.Send(port, "", 0));
    SendBurst(next, 40, 1316, 1);
    Chunk* chunk = TestState()->queue->Front();
    TestState()->queue->PopFront();
    EXPECT_EQ(chunk->length, 65800);
    EXPECT_EQ(std::memcmp(chunk->data + 10 * 1316, Payload(12, 1316).data(), 1316), 0);
    FreeChunk(chunk);

    DebugCapture quiet;
    EXPECT_EQ(WriteToTheEnd(), 0u);
    EXPECT_EQ(TestState()->receiveError, 0u);
}

TEST_F(ReceiverTest, FailedFirstRequestEndsTheThreadAndIsRemembered)
{
    ASSERT_EQ(CreateLoopbackSocket(), 0);
    // A socket Winsock no longer owns makes the first request fail at once.
    SOCKET real = TestState()->socket;
    closesocket(real);
    TestState()->socket = static_cast<SOCKET>(12345);
    testing::internal::CaptureStdout();
    {
        DebugCapture quiet;
        g_testReceiver->StartReceiving();
        EXPECT_EQ(WriteToTheEnd(), 0u);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "WSARecv() failed with error 10038\n");
    EXPECT_EQ(TestState()->receiveError, static_cast<DWORD>(WSAENOTSOCK));
    EXPECT_EQ(TestState()->currentChunk, nullptr);
    EXPECT_EQ(TestState()->stopEvent, nullptr);
    TestState()->socket = INVALID_SOCKET;
}

// A segment boundary between two bursts: the first burst's chunk, one marker
// for the boundary, then the second burst, whether the boundary is seen by the
// clock while the line is quiet or only by the arrival time of a datagram
// that waited in the socket (that datagram moves out of the first chunk).
TEST_F(ReceiverTest, ASegmentBoundaryBetweenTwoBurstsIsMarkedOnceBetweenThem)
{
    struct Case {
        const char* what;
        bool bothBurstsWaiting;  // sent before the receive thread starts
    } cases[] = {{"quiet at the boundary", false}, {"both bursts waiting in the socket", true}};
    const std::int64_t boundaryUnix = 1700000000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        ASSERT_EQ(CreateLoopbackSocket(), 0);
        TestState()->segmentSeconds = 3600;  // no second boundary in this test
        TestState()->nextBoundaryUnix = boundaryUnix;
        std::uint32_t next = 0;
        auto send = [&](int datagrams) {
            for (int i = 0; i < datagrams; ++i) {
                std::vector<char> payload = Payload(next++, 1316);
                ASSERT_TRUE(sender.Send(port, payload.data(), payload.size()));
            }
        };
        auto waitPast = [](std::int64_t ns) {
            while (MonotonicNanoseconds() <= ns) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        };
        if (c.bothBurstsWaiting) {
            // Kernel arrival times place each burst, however late the thread reads them.
            send(10);
            TestState()->nextBoundaryNs = MonotonicNanoseconds() + 50000000;
            waitPast(TestState()->nextBoundaryNs + 50000000);
            send(50);
            DebugCapture quiet;
            g_testReceiver->StartReceiving();
            ASSERT_TRUE(WaitForQueued(3));
        } else {
            // Far enough ahead that the first burst is sent well before it.
            const std::int64_t boundaryNs = MonotonicNanoseconds() + 1000000000;
            TestState()->nextBoundaryNs = boundaryNs;
            {
                DebugCapture quiet;
                g_testReceiver->StartReceiving();
            }
            send(10);
            ASSERT_LT(MonotonicNanoseconds(), boundaryNs);
            ASSERT_TRUE(WaitForQueued(2));
            send(50);
            ASSERT_TRUE(WaitForQueued(3));
        }

        Chunk* first = TestState()->queue->Front();
        TestState()->queue->PopFront();
        EXPECT_EQ(first->segmentStart, 0);
        EXPECT_EQ(first->arrivalCount, 10);
        ASSERT_EQ(first->length, 10 * 1316);
        for (std::uint32_t d = 0; d < 10; ++d)
            EXPECT_EQ(std::memcmp(first->data + d * 1316, Payload(d, 1316).data(), 1316), 0) << d;
        FreeChunk(first);
        Chunk* marker = TestState()->queue->Front();
        TestState()->queue->PopFront();
        EXPECT_EQ(marker->segmentStart, boundaryUnix);
        EXPECT_EQ(marker->length, 0);
        FreeChunk(marker);
        Chunk* second = TestState()->queue->Front();
        TestState()->queue->PopFront();
        EXPECT_EQ(second->segmentStart, 0);
        EXPECT_EQ(second->arrivalCount, 50);
        ASSERT_EQ(second->length, 50 * 1316);
        for (std::uint32_t d = 0; d < 50; ++d)
            EXPECT_EQ(std::memcmp(second->data + d * 1316, Payload(10 + d, 1316).data(), 1316), 0) << d;
        FreeChunk(second);
        EXPECT_EQ(TestState()->queue->Count(), 0);
        EXPECT_EQ(TestState()->nextBoundaryUnix, boundaryUnix + 3600);

        DebugCapture quiet;
        EXPECT_EQ(WriteToTheEnd(), 0u);
    }
}
