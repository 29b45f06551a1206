// A fixture with the one Receiver in place but no socket and no receive
// thread, and an output path to record to: what the writer's tests need.
#pragma once

#include "front/CommandLine.h"
#include "common/Counters.h"
#include "common/OutputFile.h"
#include "front/Failures.h"
#include "front/RecordingRun.h"
#include "pipeline/WriterThread.h"
#include "receiver/Receiver.h"
#include "support/TestSettings.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

// The counters the tests' receivers and writers count into, as a recording's own.
inline RecordingCounters g_testCounters;

// The receiver the tests below drive, created and deleted by their fixtures.
inline Receiver* g_testReceiver = nullptr;

// Its state, which the tests set up and look into.
inline ReceiverState* TestState()
{
    return &StateOf(*g_testReceiver);
}

inline void DeleteTestReceiver()
{
    delete g_testReceiver;
    g_testReceiver = nullptr;
}

// The output file the tests' writers write to.
inline OutputFile g_testOutput{&g_testCounters};

// The writer's inputs for g_testReceiver, as a recording hands them over.
inline WriterInputs InputsForReceiver()
{
    return WriterInputs{TestState()->queue, TestState()->dataEvent, g_testSettings.endTicks, g_testReceiver,
                        nullptr, INVALID_SOCKET, nullptr, nullptr, &g_testOutput, &g_testCounters, nullptr};
}

// The writer's whole run on this thread; what ended receiving early and the
// writer's result are shown as a recording shows them.
inline DWORD RunWriterForReceiver()
{
    WriterInputs inputs = InputsForReceiver();
    const DWORD result = WriterThreadProc(&inputs);
    ShowFailure(g_testReceiver->ReceiveFailure());
    return ShowWriterResult(result, g_testOutput);
}

class BareReceiverTest : public testing::Test {
protected:
    explicit BareReceiverTest(const char* fileName) : path(testing::TempDir() + fileName) {}
    void SetUp() override
    {
        DebugCapture quiet;
        g_testReceiver = new Receiver(&g_testCounters);
    }
    void TearDown() override
    {
        g_testOutput.Drop();
        DebugCapture quiet;
        DeleteTestReceiver();
        std::remove(path.c_str());
    }
    std::string path;
};
