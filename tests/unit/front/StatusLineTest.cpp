#include "front/StatusLine.h"

#include "front/CommandLine.h"
#include "front/RecordingRun.h"
#include "pipeline/Chunk.h"
#include "pipeline/ChunkQueue.h"
#include "pipeline/WriterThread.h"
#include "receiver/Receiver.h"
#include "support/BareReceiverTest.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Duration(std::int64_t seconds)
{
    char text[32];
    FormatDuration(seconds, text, sizeof text);
    return text;
}

std::string Bytes(std::uint64_t bytes)
{
    char text[32];
    FormatBytes(bytes, text, sizeof text);
    return text;
}

std::string Rate(double bitsPerSecond)
{
    char text[32];
    FormatBitRate(bitsPerSecond, text, sizeof text);
    return text;
}

StatusSample Sample(ULONGLONG ticks, std::int64_t elapsed, std::uint64_t datagrams, std::uint64_t received,
                    std::uint64_t stored, std::uint64_t drops = 0, bool dropsKnown = false,
                    std::uint64_t notQueued = 0)
{
    return StatusSample{ticks, elapsed, datagrams, received, stored, drops, dropsKnown, notQueued, false, 0, 0, 0};
}

}  // namespace

TEST(StatusLineFormat, DurationsBytesAndRates)
{
    EXPECT_EQ(Duration(0), "0:00:00");
    EXPECT_EQ(Duration(59), "0:00:59");
    EXPECT_EQ(Duration(3600), "1:00:00");
    EXPECT_EQ(Duration(100 * 3600 + 61), "100:01:01");
    EXPECT_EQ(Duration(2147483647), "596523:14:07");  // the longest recording
    EXPECT_EQ(Duration(-3), "0:00:00");

    EXPECT_EQ(Bytes(0), "0 B");
    EXPECT_EQ(Bytes(999), "999 B");
    EXPECT_EQ(Bytes(1000), "1.00 kB");
    EXPECT_EQ(Bytes(65800), "65.8 kB");
    EXPECT_EQ(Bytes(999499), "999 kB");
    EXPECT_EQ(Bytes(999500), "1.00 MB");  // rounding never shows "1000 kB"
    EXPECT_EQ(Bytes(3000480), "3.00 MB");
    EXPECT_EQ(Bytes(12600000000ull), "12.6 GB");
    EXPECT_EQ(Bytes(1500000000000000000ull), "1500 PB");

    EXPECT_EQ(Rate(0), "0 bit/s");
    EXPECT_EQ(Rate(-5), "0 bit/s");
    EXPECT_EQ(Rate(640000), "640 kbit/s");
    EXPECT_EQ(Rate(8.02e6), "8.02 Mbit/s");
    EXPECT_EQ(Rate(38.8e6), "38.8 Mbit/s");
    EXPECT_EQ(Rate(1.2e9), "1.20 Gbit/s");
}

TEST(StatusLineText, ShowsTimesStoredBytesRateSinceLastRefreshAndDatagrams)
{
    StatusLine line(3600, Sample(5000, 0, 0, 0, 0));
    EXPECT_STREQ(line.Update(Sample(5000, 0, 0, 0, 0)), "0:00:00 / 1:00:00  stored 0 B  0 bit/s  0 datagrams");
    // 1 MB in the last second is 8 Mbit/s, whatever came before.
    line.Update(Sample(16000, 11, 8000, 11000000, 10800000));
    EXPECT_STREQ(line.Update(Sample(17000, 12, 9120, 12000000, 12600000)),
                 "0:00:12 / 1:00:00  stored 12.6 MB  8.00 Mbit/s  9120 datagrams");
    // A slice that took longer than a second is still measured by its length.
    EXPECT_STREQ(line.Update(Sample(19000, 14, 10000, 13000000, 12600000)),
                 "0:00:14 / 1:00:00  stored 12.6 MB  4.00 Mbit/s  10000 datagrams");
}

TEST(StatusLineText, WarnsAfterThreeSecondsWithoutADatagramAndClearsWhenDataComes)
{
    StatusLine line(60, Sample(1000, 0, 0, 0, 0));
    EXPECT_EQ(std::string(line.Update(Sample(2000, 1, 0, 0, 0))).find("no data"), std::string::npos);
    EXPECT_EQ(std::string(line.Update(Sample(3999, 3, 0, 0, 0))).find("no data"), std::string::npos);
    EXPECT_STREQ(line.Update(Sample(4000, 3, 0, 0, 0)),
                 "0:00:03 / 0:01:00  stored 0 B  0 bit/s  0 datagrams  no data for 3 s");

    // Data arrives: the warning goes at once.
    EXPECT_STREQ(line.Update(Sample(5000, 4, 10, 13160, 0)),
                 "0:00:04 / 0:01:00  stored 0 B  105 kbit/s  10 datagrams");
    // The stream stalls: counted from the last refresh that saw it move.
    EXPECT_EQ(std::string(line.Update(Sample(6000, 5, 10, 13160, 0))).find("no data"), std::string::npos);
    EXPECT_EQ(std::string(line.Update(Sample(7000, 6, 10, 13160, 0))).find("no data"), std::string::npos);
    EXPECT_STREQ(line.Update(Sample(8000, 7, 10, 13160, 0)),
                 "0:00:07 / 0:01:00  stored 0 B  0 bit/s  10 datagrams  no data for 3 s");
    EXPECT_STREQ(line.Update(Sample(20500, 19, 10, 13160, 0)),
                 "0:00:19 / 0:01:00  stored 0 B  0 bit/s  10 datagrams  no data for 15 s");

    // Empty datagrams carry no bytes, but they do show the stream is alive.
    EXPECT_EQ(std::string(line.Update(Sample(21500, 20, 11, 13160, 0))).find("no data"), std::string::npos);
}

TEST(StatusLineText, SocketDropsShowWhenTheSystemCountedAny)
{
    struct Case {
        std::uint64_t drops;
        bool known;
        const char* live;
        const char* final;
    } cases[] = {
        {0, false, "0:00:02 / 0:00:10  stored 0 B  0 bit/s  5 datagrams",
         "0:00:02 / 0:00:10  stored 0 B  0 bit/s average  5 datagrams"},
        {0, true, "0:00:02 / 0:00:10  stored 0 B  0 bit/s  5 datagrams",
         "0:00:02 / 0:00:10  stored 0 B  0 bit/s average  5 datagrams"},
        {7, false, "0:00:02 / 0:00:10  stored 0 B  0 bit/s  5 datagrams",
         "0:00:02 / 0:00:10  stored 0 B  0 bit/s average  5 datagrams"},
        {114, true, "0:00:02 / 0:00:10  stored 0 B  0 bit/s  5 datagrams  114 dropped",
         "0:00:02 / 0:00:10  stored 0 B  0 bit/s average  5 datagrams  114 dropped"},
    };
    for (const Case& c : cases) {
        StatusLine line(10, Sample(1000, 0, 5, 0, 0));
        EXPECT_STREQ(line.Update(Sample(2000, 2, 5, 0, 0, c.drops, c.known)), c.live);
        StatusLine ended(10, Sample(1000, 0, 5, 0, 0));
        EXPECT_STREQ(ended.Final(Sample(2000, 2, 5, 0, 0, c.drops, c.known)), c.final);
    }
    // The silence warning still comes last.
    StatusLine silent(10, Sample(0, 0, 5, 0, 0));
    EXPECT_STREQ(silent.Update(Sample(4000, 4, 5, 0, 0, 3, true)),
                 "0:00:04 / 0:00:10  stored 0 B  0 bit/s  5 datagrams  3 dropped  no data for 4 s");
}

TEST(StatusLineText, AdviceOnlyWhenTheSystemGrantedLessThanAsked)
{
    char text[256];
    EXPECT_FALSE(ReceiveBufferAdvice(kReceiveBufferBytes, kReceiveBufferBytes, text, sizeof text));
    EXPECT_FALSE(ReceiveBufferAdvice(kReceiveBufferBytes - 1, kReceiveBufferBytes - 1, text, sizeof text));
    ASSERT_TRUE(ReceiveBufferAdvice(kReceiveBufferBytes - 1, kReceiveBufferBytes, text, sizeof text));
    EXPECT_FALSE(ReceiveBufferAdvice(0, kReceiveBufferBytes, text, sizeof text));  // not known
    ASSERT_TRUE(ReceiveBufferAdvice(212992, kReceiveBufferBytes, text, sizeof text));  // capped at rmem_max
    EXPECT_STREQ(text, "receive buffer 212992 bytes, 8388608 asked: datagrams may be lost in a stall; raise "
                       "net.core.rmem_max, or run as root or with CAP_NET_ADMIN");
}

TEST(StatusLineText, FinalTotalsAverageOverTheWholeRun)
{
    StatusLine line(10, Sample(1000, 0, 0, 0, 0));
    line.Update(Sample(2000, 1, 100, 131600, 0));
    line.Update(Sample(3000, 2, 100, 131600, 131600));  // a silent last second
    EXPECT_STREQ(line.Final(Sample(11000, 11, 3000, 3948000, 3948000)),
                 "0:00:11 / 0:00:10  stored 3.95 MB  3.16 Mbit/s average  3000 datagrams");

    StatusLine empty(1, Sample(0, 0, 0, 0, 0));
    EXPECT_STREQ(empty.Final(Sample(2000, 2, 0, 0, 0)),
                 "0:00:02 / 0:00:01  stored 0 B  0 bit/s average  0 datagrams  no data");
}

TEST(StatusLineText, EachRefreshOverwritesThePreviousLineAndTheLastEndsIt)
{
    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    StatusLine line(10, Sample(0, 0, 0, 0, 0));
    line.Show(stream, "a longer line", false);
    line.Show(stream, "short", false);
    line.Show(stream, "done", true);
    line.Show(stream, "x", false);  // a new line starts clean

    std::rewind(stream);
    char buffer[128] = {};
    std::size_t length = std::fread(buffer, 1, sizeof buffer - 1, stream);
    std::fclose(stream);
    EXPECT_EQ(std::string(buffer, length), "\ra longer line\rshort        \rdone \n\rx");
}

TEST(StatusLineText, ClippedOneColumnShortOfTheTerminalWidth)
{
    const char* text = "0:00:12 / 1:00:00  stored 15.8 MB  10.0 Mbit/s  12000 datagrams  no data for 10 s";
    for (int width : {20, 40, 80}) {
        std::FILE* stream = std::tmpfile();
        ASSERT_NE(stream, nullptr);
        StatusLine line(3600, Sample(0, 0, 0, 0, 0));
        line.Show(stream, text, false, 200);  // before a resize to `width`
        line.Show(stream, text, false, width);
        line.Show(stream, "short", true, width);
        std::rewind(stream);
        char buffer[1024] = {};
        std::size_t length = std::fread(buffer, 1, sizeof buffer - 1, stream);
        std::fclose(stream);
        std::string written(buffer, length);
        std::string afterResize = written.substr(written.find('\r', 1));
        const std::string clipped(text, static_cast<std::size_t>(width - 1));
        const std::string blanks(static_cast<std::size_t>(width - 1 - 5), ' ');
        EXPECT_EQ(afterResize, "\r" + clipped + "\rshort" + blanks + "\n") << width;
    }
}

TEST(StatusLineText, OutputThatCouldNotKeepUpAndTheNetworksFiguresFollowTodaysFields)
{
    StatusLine line(10, Sample(0, 0, 0, 0, 0));
    EXPECT_STREQ(line.Update(Sample(1000, 1, 100, 131600, 0, 3, true, 50)),
                 "0:00:01 / 0:00:10  stored 0 B  1.05 Mbit/s  100 datagrams  3 dropped  50 not written in time");
    StatusSample sample = Sample(2000, 2, 200, 263200, 131600);
    sample.healthKnown = true;
    sample.iatMaxUs = 12345;
    sample.dfMicroseconds = 3140;
    sample.mlr = 7;
    EXPECT_STREQ(line.Update(sample),
                 "0:00:02 / 0:00:10  stored 132 kB  1.05 Mbit/s  200 datagrams  IAT max 12.3 ms  MDI 3.1:7");
}

TEST(StatusLineText, NarrowTerminalsKeepWhatAnOperatorReadsFirst)
{
    StatusSample healthy = Sample(12000, 12, 9120, 1000000, 12600000);
    healthy.healthKnown = true;
    healthy.iatMaxUs = 12345;
    healthy.dfMicroseconds = 3140;
    healthy.mlr = 7;
    StatusSample dropping = healthy;
    dropping.drops = 114;
    dropping.dropsKnown = true;
    const StatusSample silent = Sample(15000, 15, 9120, 0, 12600000);
    struct Case {
        int width;
        StatusSample sample;
        const char* trailer;
        const char* text;
    } cases[] = {
        {80, healthy, "", "0:00:12/1:00:00  8.00 Mbit/s  12.6 MB  IAT 12.3ms MDI 3.1:7  9120 datagrams"},
        {80, dropping, "", "0:00:12/1:00:00  8.00 Mbit/s  114 dropped  12.6 MB  IAT 12.3ms MDI 3.1:7"},
        {80, silent, "", "0:00:15 / 1:00:00  stored 12.6 MB  0 bit/s  9120 datagrams  no data for 4 s"},
        {40, healthy, "", "0:00:12/1:00:00  8.00 Mbit/s  12.6 MB"},
        {40, dropping, "", "0:00:12/1:00:00 8.00 Mbit/s 114 dropped"},
        {40, silent, "", "0:00:15/1:00:00  0 bit/s  no data 4s"},
        // A segment's name keeps its end, where the time is.
        {80, healthy, "/srv/recordings/channel-one/ch1-20261208-170000.ts",
         "0:00:12/1:00:00  8.00 Mbit/s  12.6 MB  IAT 12.3ms MDI 3.1:7  ...61208-170000.ts"},
        {40, healthy, "/srv/recordings/ch1-20261208-170000.ts", "0:00:12/1:00:00  8.00 Mbit/s  12.6 MB"},
        {60, healthy, "/srv/recordings/ch1-20261208-170000.ts",
         "0:00:12/1:00:00  8.00 Mbit/s  12.6 MB  IAT 12.3ms MDI 3.1:7"},
        {200, healthy, "/srv/ch1-20261208-170000.ts",
         "0:00:12 / 1:00:00  stored 12.6 MB  8.00 Mbit/s  9120 datagrams  IAT max 12.3 ms  MDI 3.1:7  "
         "/srv/ch1-20261208-170000.ts"},
    };
    for (const Case& c : cases) {
        StatusLine line(3600, Sample(11000, 11, 9120, 0, 0));
        line.SetWidth(c.width);
        line.SetTrailer(c.trailer);
        const std::string text = line.Update(c.sample);
        EXPECT_EQ(text, c.text) << c.width;
        EXPECT_LE(text.size(), static_cast<std::size_t>(c.width - 1));
    }
}

// The decision goes through the platform's console query on standard error:
// a pipe or a file is no terminal, a pseudo-terminal is one.
TEST(StatusLineWanted, OnlyWhenStandardErrorIsATerminal)
{
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    ASSERT_GE(saved, 0);

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    dup2(pipeFds[1], STDERR_FILENO);
    const bool forPipe = StatusLineWanted();

    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDERR_FILENO);
    const bool forDevNull = StatusLineWanted();

    bool forTerminal = false;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
        const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
        if (terminal >= 0) {
            dup2(terminal, STDERR_FILENO);
            forTerminal = StatusLineWanted();
            close(terminal);
        }
    }

    dup2(saved, STDERR_FILENO);
    close(saved);
    close(pipeFds[0]);
    close(pipeFds[1]);
    close(devNull);
    if (master >= 0) close(master);

    EXPECT_FALSE(forPipe);
    EXPECT_FALSE(forDevNull);
    EXPECT_TRUE(forTerminal);
    EXPECT_EQ(GetStdHandle(0x1234), INVALID_HANDLE_VALUE);
}

// The counters the line shows are fed by the receive and writer paths.
class StatusCountersTest : public BareReceiverTest {
protected:
    StatusCountersTest() : BareReceiverTest("status_counters.out") {}
};

TEST_F(StatusCountersTest, WriterCountsEveryByteItStoresAndNothingItCouldNot)
{
    Chunk* full = NewChunk();
    full->length = 65800;
    TestState()->queue->Push(full);
    TestState()->currentChunk = NewChunk();
    TestState()->currentChunk->arrivalCount = 1;
    TestState()->bytesInChunk = 1316;
    StartRecordingClock(&g_testSettings);
    SetRecordingLength(&g_testSettings, -5);
    g_testOutput.Stream().open(path, std::ios::binary | std::ios::trunc);
    ASSERT_TRUE(g_testOutput.Stream().is_open());

    const std::uint64_t before = g_testCounters.bytesStored.load();
    EXPECT_EQ(RunWriterForReceiver(), 0u);
    EXPECT_EQ(g_testCounters.bytesStored.load() - before, 65800u + 1316u);

    // A stream that cannot be written stores nothing and counts nothing.
    g_testOutput.Stream().close();
    g_testOutput.Stream().clear();
    g_testOutput.Stream().setstate(std::ios::badbit);
    Chunk* lost = NewChunk();
    lost->length = 65800;
    TestState()->queue->Push(lost);
    testing::internal::CaptureStdout();
    const std::uint64_t beforeFailure = g_testCounters.bytesStored.load();
    EXPECT_EQ(RunWriterForReceiver(), static_cast<DWORD>(E_FAIL));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(g_testCounters.bytesStored.load(), beforeFailure);
}

TEST_F(StatusCountersTest, ReceiveThreadCountsDatagramsAndTheirBytesEmptyOnesIncluded)
{
    const std::uint16_t port = FreeUdpPort();
    LoopbackSender sender;
    ASSERT_EQ(g_testReceiver->CreateSocket(0, htons(port), inet_addr("127.0.0.1")), 0);
    const std::uint64_t datagramsBefore = g_testCounters.datagramsReceived.load();
    const std::uint64_t bytesBefore = g_testCounters.bytesReceived.load();
    {
        DebugCapture quiet;
        g_testReceiver->StartReceiving();
    }
    for (std::uint32_t i = 0; i < 20; ++i) {
        std::vector<char> payload = Payload(i, 1316);
        ASSERT_TRUE(sender.Send(port, payload.data(), payload.size()));
    }
    ASSERT_TRUE(sender.Send(port, "", 0));
    for (int i = 0; i < 2000 && g_testCounters.datagramsReceived.load() - datagramsBefore < 21; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(g_testCounters.datagramsReceived.load() - datagramsBefore, 21u);
    EXPECT_EQ(g_testCounters.bytesReceived.load() - bytesBefore, 20u * 1316u);

    StartRecordingClock(&g_testSettings);
    SetRecordingLength(&g_testSettings, -1);
    g_testOutput.Stream().open("/dev/null", std::ios::binary);
    DebugCapture quiet;
    const std::uint64_t storedBefore = g_testCounters.bytesStored.load();
    EXPECT_EQ(RunWriterForReceiver(), 0u);
    EXPECT_EQ(g_testCounters.bytesStored.load() - storedBefore, 20u * 1316u);
}
