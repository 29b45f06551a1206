#include "common/OutputFile.h"
#include "common/Recording.h"
#include "front/Failures.h"
#include "front/RecordingRun.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
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

// The output's failures travel up as values and are shown once at the front:
// the line on standard output, the system's cause on standard error (none
// without a system error), and E_FAIL for the recording.
TEST(OutputFailures, EachIsShownAtTheFrontWithItsLineAndCause)
{
    const struct Case {
        Failure failure;
        const char* line;
        const char* cause;  // "" for none
    } cases[] = {
        {{FailureKind::openOutput, 0, ENOENT, "open /x/y.ts"}, "Error occurred while opening output file.\n",
         "pelorin: open /x/y.ts: "},
        {{FailureKind::writeOutput, 0, ENOSPC, "write /x/y.ts"}, "Error occurred while writing output file.\n",
         "pelorin: write /x/y.ts: "},
        {{FailureKind::writeOutput, 0, 0, ""}, "Error occurred while writing output file.\n", ""},
        {SideOutputFailure(SideOutput::report, EISDIR, "open /r"), "Error occurred while writing report file.\n",
         "pelorin: open /r: "},
        {SideOutputFailure(SideOutput::index), "Error occurred while writing index file.\n", ""},
        {SideOutputFailure(SideOutput::metrics, EACCES, "open /m"), "Error occurred while writing metrics file.\n",
         "pelorin: open /m: "},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        ShownFailures display;
        display.Show(c.failure);
        const HRESULT result = ShowFailure(c.failure);
        const std::string errors = testing::internal::GetCapturedStderr();
        const std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, E_FAIL);
        // Shown twice here, once by the display and once directly: the same each time.
        EXPECT_EQ(output, std::string(c.line) + c.line);
        if (*c.cause == '\0') {
            EXPECT_EQ(errors, "");
        } else {
            ASSERT_EQ(errors.rfind(c.cause, 0), 0u) << errors;
            EXPECT_EQ(errors.find(c.cause, 1), errors.size() / 2) << errors;
        }
    }
}

}  // namespace
