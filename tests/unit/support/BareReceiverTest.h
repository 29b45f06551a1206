// A fixture with the one Receiver in place but no socket and no receive
// thread, and an output path to record to: what the writer's tests need.
#pragma once

#include "front/CommandLine.h"
#include "front/Failures.h"
#include "front/RecordingRun.h"
#include "pipeline/WriterThread.h"
#include "receiver/Receiver.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

// The receiver the tests below drive, created and deleted by their fixtures.
inline Receiver* g_testReceiver = nullptr;

inline void DeleteTestReceiver()
{
    delete g_testReceiver;
    g_testReceiver = nullptr;
}

// The writer's inputs for g_testReceiver, as a recording hands them over.
inline WriterInputs InputsForReceiver()
{
    return WriterInputs{g_testReceiver->queue, g_testReceiver->dataEvent, g_settings.endTicks, g_testReceiver,
                        nullptr, INVALID_SOCKET, nullptr, nullptr};
}

// The writer's whole run on this thread; what ended receiving early and the
// writer's result are shown as a recording shows them.
inline DWORD RunWriterForReceiver()
{
    WriterInputs inputs = InputsForReceiver();
    const DWORD result = WriterThreadProc(&inputs);
    ShowFailure(Failure{g_testReceiver->receiveFailure, g_testReceiver->receiveError, 0, {}});
    return ShowWriterResult(result);
}

class BareReceiverTest : public testing::Test {
protected:
    explicit BareReceiverTest(const char* fileName) : path(testing::TempDir() + fileName) {}
    void SetUp() override
    {
        DebugCapture quiet;
        g_testReceiver = new Receiver();
    }
    void TearDown() override
    {
        if (g_outputFile.is_open()) g_outputFile.close();
        g_outputFile.clear();
        DebugCapture quiet;
        DeleteTestReceiver();
        std::remove(path.c_str());
    }
    std::string path;
};
