#include "front/RecordingRun.h"

#include "front/CommandLine.h"
#include "common/ConsoleLine.h"
#include "common/DebugLine.h"
#include "front/StatusLine.h"
#include "pipeline/ChunkQueue.h"
#include "pipeline/WriterThread.h"
#include "receiver/Receiver.h"

#include <cstdio>
#include <ctime>
#include <cwchar>
#include <algorithm>
#include <cstdint>
#include <new>

namespace {

// What "%c" gives in the C locale on Windows: 03/07/11 14:05:09. Spelled out
// because other C libraries format %c differently.
void PrintTimeLine(const char* label)
{
    std::time_t now = std::time(nullptr);
    std::tm local = {};
    char text[80] = {};
    char format[64];
    std::snprintf(format, sizeof format, "%s %%m/%%d/%%y %%H:%%M:%%S", label);
    if (localtime_s(&local, &now) == 0) std::strftime(text, sizeof text, format, &local);
    PrintLine(text);
}

// True when the directory part of the path fits the splitter's buffer; a
// longer one would make the splitter call the C runtime's invalid-parameter
// handler, which ends the process.
bool DirectoryFits(const wchar_t* path)
{
    std::size_t length = 0;
    for (std::size_t i = 0; path[i] != L'\0'; ++i)
        if (path[i] == L'/' || path[i] == L'\\') length = i + 1;
    if (length >= 2 && path[1] == L':') length -= 2;  // the drive has its own buffer
    return length < _MAX_DIR;
}

// Creates the output file's directory (one level, drive included) and opens
// the file, truncating it. The one message for every way this can fail.
HRESULT OpenOutputFile(const wchar_t* path)
{
    // Drive and directory together: on Windows the directory alone would be
    // resolved against the current drive.
    wchar_t drive[_MAX_DRIVE] = {};
    wchar_t* directory = DirectoryFits(path) ? new (std::nothrow) wchar_t[_MAX_DRIVE + _MAX_DIR]() : nullptr;
    if (directory != nullptr) {
        // A directory part too long for its buffer comes back empty: then no
        // directory is made and the open below decides.
        if (_wsplitpath_s(path, drive, _MAX_DRIVE, directory + _MAX_DRIVE, _MAX_DIR, nullptr, 0, nullptr, 0) == 0 &&
            directory[_MAX_DRIVE] != L'\0') {
            std::wcscpy(directory, drive);
            std::wmemmove(directory + std::wcslen(drive), directory + _MAX_DRIVE, std::wcslen(directory + _MAX_DRIVE) + 1);
            CreateDirectoryW(directory, nullptr);
        }
        delete[] directory;
    }
    // A FIFO holds the open until a reader comes: wait no longer than the
    // recording would have lasted.
    const std::int64_t left = g_settings.endTicks - static_cast<std::int64_t>(GetTickCount64());
    if (!WaitForFileReader(path, left > 0 ? static_cast<DWORD>(std::min<std::int64_t>(left, 0x7FFFFFFF)) : 0)) {
        OutputDebugStringW(L"No reader opened the output pipe before the recording's end\n");
        PrintLine("Error occurred while opening output file.");
        return E_FAIL;
    }
    g_outputFile.open(FileSystemPath(path), std::ios::binary | std::ios::out | std::ios::trunc);
    if (!g_outputFile.is_open()) {
        PrintLine("Error occurred while opening output file.");
        return E_FAIL;
    }
    g_outputFile.clear();
    // Recording into standard output (for a player downstream): the time
    // lines must not land in the middle of the stream.
    if (SameFileAsStandardOutput(path)) MoveLinesToStandardError();
    return S_OK;
}

// A person at a terminal sees a status line refreshed about once a second
// while the writer runs, ending with the totals. Anyone else (standard error
// redirected) gets the plain wait, and nothing on standard error.
void WaitForWriter(HANDLE writer, SOCKET socket, int receiveBufferGranted)
{
    if (!StatusLineWanted()) {
        WaitForSingleObject(writer, INFINITE);
        return;
    }
    char advice[256];
    if (ReceiveBufferAdvice(receiveBufferGranted, kReceiveBufferBytes, advice, sizeof advice)) {
        std::fputs(advice, stderr);
        std::fputs("\n", stderr);
    }
    StatusLine status(g_settings.endTime - g_settings.startTime, TakeStatusSample(g_settings.startTime, socket));
    do {
        status.Show(stderr, status.Update(TakeStatusSample(g_settings.startTime, socket)), false);
    } while (WaitForSingleObject(writer, 1000) == WAIT_TIMEOUT);
    status.Show(stderr, status.Final(TakeStatusSample(g_settings.startTime, socket)), true);
}

// One line of totals at the end of every recording, for the debugger channel.
void ReportTotals(SOCKET socket)
{
    StatusSample totals = TakeStatusSample(g_settings.startTime, socket);
    char drops[32] = "unknown";
    if (totals.dropsKnown) std::snprintf(drops, sizeof drops, "%llu", static_cast<unsigned long long>(totals.drops));
    OutputDebugLine("Recording totals: %llu datagrams, %llu bytes stored, %s dropped\n",
                    static_cast<unsigned long long>(totals.datagrams),
                    static_cast<unsigned long long>(totals.bytesStored), drops);
}

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
    WaitForWriter(g_writerThread, socket, receiveBufferGranted);
    DWORD result = 0;
    if (!GetExitCodeThread(g_writerThread, &result)) result = static_cast<DWORD>(E_FAIL);
    CloseHandle(g_writerThread);
    g_writerThread = nullptr;
    return result;
}

}  // namespace

void TearDownReceiver()
{
    Receiver* receiver = g_receiver;
    if (receiver == nullptr) return;
    if (receiver->socket != INVALID_SOCKET) {
        closesocket(receiver->socket);
        receiver->socket = INVALID_SOCKET;
    }
    WSACleanup();  // a no-op when the receive thread has already ended Winsock
    if (receiver->queue != nullptr) {
        delete receiver->queue;
        receiver->queue = nullptr;
    }
    if (receiver->dataEvent != nullptr) {
        CloseHandle(receiver->dataEvent);
        receiver->dataEvent = nullptr;
    }
    delete receiver;
    g_receiver = nullptr;
}

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
        g_outputFile.close();
        if (g_outputFile.fail() && writerResult == 0) {
            // The buffered tail could not be stored.
            PrintLine("Error occurred while writing output file.");
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
