// A stream too slow to fill a chunk: the chunk goes to the writer a quarter
// second after its first datagram, however often more datagrams come in
// between, not only once the chunk is full.
#include "pipeline/Chunk.h"
#include "pipeline/ChunkQueue.h"
#include "support/BareReceiverTest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

class QuietHandOverTest : public BareReceiverTest {
protected:
    QuietHandOverTest() : BareReceiverTest("quiet.ts") {}
};

}  // namespace

TEST_F(QuietHandOverTest, ASlowStreamIsHandedOverBeforeItsChunkIsFull)
{
    const std::uint16_t port = FreeUdpPort();
    ASSERT_EQ(g_testReceiver->CreateSocket(0, htons(port), inet_addr("127.0.0.1")), 0);
    {
        DebugCapture quiet;
        g_testReceiver->StartReceiving();
    }
    // 1316-byte datagrams 20 ms apart: 50 fill a chunk after a second, so a
    // chunk with fewer was handed over by the quiet timer. Bounded: at most
    // 60 datagrams, and sending stops once a chunk is queued.
    LoopbackSender sender;
    std::uint32_t sent = 0;
    while (sent < 60 && TestState()->queue->Count() == 0) {
        std::vector<char> payload = Payload(sent++, 1316);
        ASSERT_TRUE(sender.Send(port, payload.data(), payload.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GT(TestState()->queue->Count(), 0);
    Chunk* first = TestState()->queue->Front();
    TestState()->queue->PopFront();
    EXPECT_GT(first->arrivalCount, 0);
    EXPECT_LT(first->arrivalCount, 50);
    ASSERT_EQ(first->length, first->arrivalCount * 1316);
    for (int d = 0; d < first->arrivalCount; ++d)
        EXPECT_EQ(std::memcmp(first->data + d * 1316, Payload(static_cast<std::uint32_t>(d), 1316).data(), 1316), 0);
    FreeChunk(first);

    DebugCapture quiet;
    StartRecordingClock(&g_testSettings);
    SetRecordingLength(&g_testSettings, -1);
    g_testOutput.Stream().open("/dev/null", std::ios::binary);
    EXPECT_EQ(RunWriterForReceiver(), 0u);
    g_testOutput.Stream().close();
}
