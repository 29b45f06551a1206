#include "common/Recording.h"
#include "front/RecordingRun.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A set-up that fails once the socket is bound and joined releases
// everything in one place: the socket (its port is free at once) and Winsock
// (a socket needs a new start-up).
TEST(RecordingTeardown, AFailedSetUpLeavesNoSocketAndNoWinsock)
{
    const std::wstring folder = [] {
        const std::string temp = testing::TempDir();
        return std::wstring(temp.begin(), temp.end());
    }();
    const std::wstring file = folder + L"teardown.ts";
    struct Case {
        std::wstring output;
        std::wstring report;  // empty for none
        const char* line;
    } cases[] = {
        {folder, L"", "Error occurred while opening output file.\n"},
        {file, folder, "Error occurred while writing report file.\n"},
    };
    for (const Case& c : cases) {
        RecordingSettings settings = {};
        settings.outputPath = c.output.c_str();
        settings.reportPath = c.report.empty() ? nullptr : c.report.c_str();
        settings.interfaceAddress = inet_addr("127.0.0.1");
        const std::uint16_t port = FreeUdpPort();
        settings.port = htons(port);
        StartRecordingClock(&settings);
        SetRecordingLength(&settings, 1);
        testing::internal::CaptureStdout();
        HRESULT result;
        {
            DebugCapture quiet;
            result = RunRecording(settings);
        }
        const std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, E_FAIL);
        EXPECT_NE(output.find(c.line), std::string::npos) << output;
        EXPECT_TRUE(UdpPortFree(port));
        EXPECT_EQ(WSASocketW(AF_INET, SOCK_DGRAM, 0, nullptr, 0, 0), INVALID_SOCKET);
        EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    }
}

}  // namespace
