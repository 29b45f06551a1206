#include "front/RecordingRun.h"

#include "front/CommandLine.h"
#include "common/DebugLine.h"
#include "front/StatusLine.h"
#include "pipeline/ChunkQueue.h"
#include "pipeline/WriterThread.h"
#include "receiver/Receiver.h"

#include <cstdio>
#include <ctime>
#include <cwchar>
#include <filesystem>
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
    std::puts(text);
    std::fflush(stdout);
}

// Creates the output file's directory (one level, drive included) and opens
// the file, truncating it. The one message for every way this can fail.
HRESULT OpenOutputFile(const wchar_t* path)
{
    // Drive and directory together: on Windows the directory alone would be
    // resolved against the current drive.
    wchar_t drive[_MAX_DRIVE] = {};
    wchar_t* directory = new (std::nothrow) wchar_t[_MAX_DRIVE + _MAX_DIR]();
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
    g_outputFile.open(std::filesystem::path(path), std::ios::binary | std::ios::out | std::ios::trunc);
    if (!g_outputFile.is_open()) {
        std::puts("Error occurred while opening output file.");
        std::fflush(stdout);
        return E_FAIL;
    }
    g_outputFile.clear();
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
    g_receiver = receiver;
    receiver->port = g_settings.port;

    HRESULT result = E_OUTOFMEMORY;
    if (receiver->queue != nullptr && receiver->dataEvent != nullptr)
        result = receiver->CreateSocket(receiver->groupAddress, receiver->port, receiver->interfaceAddress);
    if (result == 0) result = OpenOutputFile(g_settings.outputPath);

    if (result == 0) {
        // The receive thread closes the socket at the stop; the status line
        // asks the platform about this copy, which stays valid to ask about.
        const SOCKET socket = receiver->socket;
        receiver->StartReceiving();
        PrintTimeLine("Recording started at");
        DWORD writerResult = RunWriter(socket, receiver->receiveBufferGranted);
        ReportTotals(socket);
        g_outputFile.close();
        if (g_outputFile.fail() && writerResult == 0) {
            // The buffered tail could not be stored.
            std::puts("Error occurred while writing output file.");
            std::fflush(stdout);
            writerResult = static_cast<DWORD>(E_FAIL);
        }
        if (receiver->receiveError != 0)
            result = HRESULT_FROM_WIN32(receiver->receiveError);
        else
            result = static_cast<HRESULT>(writerResult);
    }

    PrintTimeLine("Recording finished at");
    TearDownReceiver();
    return result;
}

int PelorinMain(int argc, wchar_t** argv)
{
    if (argc != 11) {
        PrintUsage();
        return 0;
    }
    g_settings.startTime = std::time(nullptr);
    HRESULT status = ParseOptions(argc, argv, &g_settings);
    if (status != S_OK) return status;
    return RunRecording();
}
