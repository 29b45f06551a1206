#include "front/RecordingRun.h"

#include "common/ConsoleLine.h"
#include "common/OutputFile.h"
#include "front/CommandLine.h"
#include "front/StatusLine.h"
#include "pipeline/WriterThread.h"
#include "receiver/Receiver.h"

#include <cwchar>
#include <new>

namespace {

// Ctrl-C, Ctrl-Break, closing the console, SIGINT, SIGTERM, SIGHUP: the
// recording stops as if its time were over, and everything received is kept.
BOOL WINAPI OnConsoleControl(DWORD controlType)
{
    // Asked twice: the system's own action ends the process at once.
    if (!RequestStop()) return FALSE;
    // After a close event the system ends the process as soon as this
    // returns; the recording finishes meanwhile, and the process with it.
    if (controlType == CTRL_CLOSE_EVENT) Sleep(INFINITE);
    return TRUE;
}

// Runs the writer on its own thread and waits for it; its result.
DWORD RunWriter(SOCKET socket, int receiveBufferGranted)
{
    g_writerThread = CreateThread(nullptr, 0, WriterThreadProc, nullptr, 0, nullptr);
    if (g_writerThread == nullptr) {
        // The receive thread is already running and must still be stopped,
        // and what it received written: do the writer's work here.
        return WriterThreadProc(nullptr);
    }
    SetThreadPriority(g_writerThread, THREAD_PRIORITY_TIME_CRITICAL);
    OutputDebugStringW(L"Thread started.\n");
    WaitShowingStatus(g_writerThread, socket, receiveBufferGranted);
    DWORD result = 0;
    if (!GetExitCodeThread(g_writerThread, &result)) result = static_cast<DWORD>(E_FAIL);
    CloseHandle(g_writerThread);
    g_writerThread = nullptr;
    return result;
}

}  // namespace

HRESULT RunRecording()
{
    Receiver* receiver = new (std::nothrow) Receiver();
    if (receiver == nullptr) return E_OUTOFMEMORY;
    receiver->groupAddress = g_settings.groupAddress;
    receiver->interfaceAddress = g_settings.interfaceAddress;
    receiver->sourceAddress = g_settings.sourceAddress;
    g_receiver = receiver;
    receiver->port = g_settings.port;

    HRESULT result = E_OUTOFMEMORY;
    bool stoppable = false;
    if (receiver->queue != nullptr && receiver->dataEvent != nullptr)
        result = receiver->CreateSocket(receiver->groupAddress, receiver->port, receiver->interfaceAddress);
    if (result == 0) result = OpenOutputFile(g_settings.outputPath);

    if (result == 0) {
        // The receive thread closes the socket at the stop; the status line
        // asks the platform about this copy, which stays valid to ask about.
        const SOCKET socket = receiver->socket;
        receiver->StartReceiving();
        AcceptStopRequests(receiver->dataEvent);
        stoppable = SetConsoleCtrlHandler(OnConsoleControl, TRUE) != FALSE;
        PrintTimeLine("Recording started at");
        DWORD writerResult = RunWriter(socket, receiver->receiveBufferGranted);
        ReportTotals(socket);
        RefuseStopRequests();
        if (!CloseOutputFile() && writerResult == 0) {
            // The buffered tail could not be stored.
            ReportWriteFailure();
            writerResult = static_cast<DWORD>(E_FAIL);
        }
        if (receiver->receiveError != 0)
            result = HRESULT_FROM_WIN32(receiver->receiveError);
        else
            result = static_cast<HRESULT>(writerResult);
    }

    PrintTimeLine("Recording finished at");
    TearDownReceiver();
    if (stoppable) SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    return result;
}

int PelorinMain(int argc, wchar_t** argv)
{
    if (argc == 2 && std::wcscmp(argv[1], L"--version") == 0) {
        PrintLine("pelorin " PELORIN_VERSION);
        return 0;
    }
    if (argc != 11) {
        PrintUsage();
        return 0;
    }
    StartRecordingClock(&g_settings);
    HRESULT status = ParseOptions(argc, argv, &g_settings);
    if (status != S_OK) return status;
    HRESULT result = RunRecording();
    // Stopped early: ended the way a program ended by Ctrl-C ends.
    if (StopRequested()) return static_cast<int>(STATUS_CONTROL_C_EXIT);
    return result;
}
