#include "front/RecordingRun.h"

#include "common/ConsoleLine.h"
#include "common/Counters.h"
#include "common/DebugLine.h"
#include "common/OutputFile.h"
#include "common/Recording.h"
#include "common/SegmentNames.h"
#include "common/UtcTime.h"
#include "front/CommandLine.h"
#include "front/HealthRun.h"
#include "front/LiveMetrics.h"
#include "front/StatusLine.h"
#include "pipeline/ChunkQueue.h"
#include "pipeline/SegmentRotation.h"
#include "pipeline/WriterThread.h"
#include "receiver/Receiver.h"

#include <chrono>
#include <cwchar>
#include <filesystem>
#include <string>
#include <system_error>
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

// Once receiving has ended, the writer stores what is queued for as long as
// its writes make progress; after this long without one completing it is
// given up on, with what it stored so far.
constexpr ULONGLONG kStallMilliseconds = 10000;
constexpr DWORD kRefreshMilliseconds = 1000;
// The status line is refreshed this long after each whole second of the
// recording: by then the writer has closed that second's figures (they wait
// a tenth of a second for late arrivals, and a slow stream's datagrams up to
// a quarter of a second for their hand-over), so the line at second N shows
// second N's figures.
constexpr ULONGLONG kRefreshLagMilliseconds = 500;
// How often the main thread looks for a stop request: the writer sees one at
// once, unless it is held up in a write.
constexpr ULONGLONG kStopPollMilliseconds = 100;

// --no-data: when the datagram count last moved, seen from the main thread's
// polls (a tenth of a second apart at most).
struct SilenceWatch {
    ULONGLONG limitMilliseconds;  // 0: never
    std::uint64_t datagrams;
    ULONGLONG since;
    bool ended;  // the recording ended for it
};

// True once nothing has arrived for the limit: from the join, or from the
// last datagram.
bool SilenceTooLong(SilenceWatch* watch, ULONGLONG now)
{
    const std::uint64_t datagrams = g_counters.datagramsReceived.load(std::memory_order_relaxed);
    if (datagrams != watch->datagrams) {
        watch->datagrams = datagrams;
        watch->since = now;
    }
    return watch->limitMilliseconds != 0 && now - watch->since >= watch->limitMilliseconds;
}

// Waits for the writer thread to end, refreshing the status line. Receiving
// ends at the deadline or on a stop request even while the writer is held up
// in a write (a full pipe, a hung network file system). False when the writer
// then made no progress for kStallMilliseconds: it is left where it is.
bool WaitForWriter(HANDLE writer, const WriterInputs& inputs, StatusDisplay* status, SilenceWatch* silence,
                   LiveMetrics* metrics)
{
    bool ended = false;
    ULONGLONG endedAt = 0;
    // The next whole second of the recording, plus the lag.
    const auto nextSecond = [](ULONGLONG now) {
        const ULONGLONG start = static_cast<ULONGLONG>(g_settings.startTicks);
        const ULONGLONG into = now > start ? now - start : 0;
        return start + (into / kRefreshMilliseconds + 1) * kRefreshMilliseconds + kRefreshLagMilliseconds;
    };
    ULONGLONG nextRefresh = nextSecond(GetTickCount64());
    for (;;) {
        ULONGLONG now = GetTickCount64();
        ULONGLONG wait = nextRefresh > now ? nextRefresh - now : 0;
        if (wait > kStopPollMilliseconds) wait = kStopPollMilliseconds;
        const auto untilEnd = inputs.endTicks + 1 - static_cast<std::int64_t>(now);
        if (!ended && untilEnd > 0 && static_cast<ULONGLONG>(untilEnd) < wait) wait = static_cast<ULONGLONG>(untilEnd);
        if (WaitForSingleObject(writer, static_cast<DWORD>(wait)) != WAIT_TIMEOUT) return true;
        now = GetTickCount64();
        if (now >= nextRefresh) {
            status->Refresh();
            if (metrics != nullptr && !ended) metrics->Write(inputs.dropsSocket, now - silence->since, true);
            nextRefresh = nextSecond(now - kRefreshLagMilliseconds);
        }
        const bool silent = !ended && SilenceTooLong(silence, now);
        if (!ended && (static_cast<std::int64_t>(now) > inputs.endTicks || StopRequested() || silent)) {
            inputs.stopReceiving(inputs.stopContext);
            ended = true;
            endedAt = GetTickCount64();
            if (silent) {
                silence->ended = true;
                OutputDebugLine("No data for %lld s: recording ended\n",
                                static_cast<long long>(silence->limitMilliseconds / 1000));
            }
        }
        if (ended) {
            const ULONGLONG lastWrite = g_counters.lastWriteTicks.load(std::memory_order_relaxed);
            const ULONGLONG progress = lastWrite > endedAt ? lastWrite : endedAt;
            if (GetTickCount64() - progress >= kStallMilliseconds) return false;
        }
    }
}

// What the last health report is about: the whole file, or the last segment.
HealthTarget LastHealthTarget(const HealthRun& health, const SegmentRotation* segments, std::wstring* reportName)
{
    if (segments == nullptr)
        return HealthTarget{g_settings.outputPath, g_settings.reportPath, health.startedUnixMs,
                            g_counters.bytesStored.load(std::memory_order_relaxed), false, nullptr, -1, false, 0};
    *reportName = segments->CurrentReportName();
    return HealthTarget{segments->CurrentName().c_str(), g_settings.reportPath != nullptr ? reportName->c_str() : nullptr,
                        segments->CurrentStartUnixMs(), segments->CurrentBytes(), segments->CurrentFileRemoved(),
                        &segments->EarlierHealth(), static_cast<std::int64_t>(segments->CurrentDatagrams()),
                        segments->ContinuesOutage(), segments->CurrentBytesAlready()};
}

// The end of a recording's outputs, after the totals: the last segment's
// line, the health line and the last report.
HRESULT EndOutputs(HealthRun* health, SegmentRotation* segments, std::int64_t endedNanoseconds, bool abandoning)
{
    if (segments != nullptr) segments->Close(endedNanoseconds, abandoning);
    std::wstring reportName;
    std::uint64_t outages = 0, tsPacketsLost = 0;
    HRESULT result = EndHealth(health, endedNanoseconds, LastHealthTarget(*health, segments, &reportName), &outages,
                               &tsPacketsLost);
    // The last segment's row, with its figures as final as its report's.
    if (segments != nullptr && !abandoning) segments->ListLast(outages, tsPacketsLost);
    if (segments != nullptr && (segments->ReportFailed() || segments->CloseFailed())) result = E_FAIL;
    return result;
}

// The writer could not store what was received: say so, finish as every
// recording does, and end the process without waiting for the writer,
// which may never come back from its write. With `figures` taken from it the
// last report is written as well.
[[noreturn]] void AbandonStalledWriter(StatusDisplay* status, SOCKET socket, HealthRun* health,
                                      SegmentRotation* segments, bool figures, std::int64_t endedNanoseconds,
                                      LiveMetrics* metrics, const SilenceWatch& silence)
{
    const std::uint64_t left = g_counters.bytesReceived.load() - g_counters.bytesStored.load() -
                               g_counters.bytesNotQueued.load();
    ReportWriteFailure();
    status->Finish();
    OutputDebugLine("Output stalled: %llu bytes left unwritten\n", static_cast<unsigned long long>(left));
    ReportTotals(socket);
    if (figures) EndOutputs(health, segments, endedNanoseconds, true);
    if (metrics != nullptr) metrics->Write(socket, GetTickCount64() - silence.since, false);
    PrintTimeLine("Recording finished at");
    ExitProcess(static_cast<UINT>(ExitCodeFor(StopRequested() ? static_cast<HRESULT>(STATUS_CONTROL_C_EXIT) : E_FAIL)));
}

// Runs the writer on its own thread and waits for it; its result.
DWORD RunWriter(Receiver* receiver, SOCKET socket, HealthRun* health, SegmentRotation* segments,
                SilenceWatch* silence, LiveMetrics* metrics)
{
    FiguresHandOver figures;
    WriterInputs inputs = {receiver->queue, receiver->dataEvent, g_settings.endTicks, EndReceiving, ReceivingEnded, receiver,
                           health->health, socket, segments, &figures};
    g_writerThread = CreateThread(nullptr, 0, WriterThreadProc, &inputs, 0, nullptr);
    if (g_writerThread == nullptr) {
        // The receive thread is already running and must still be stopped,
        // and what it received written: do the writer's work here.
        return WriterThreadProc(&inputs);
    }
    SetThreadPriority(g_writerThread, THREAD_PRIORITY_TIME_CRITICAL);
    OutputDebugStringW(L"Thread started.\n");
    StatusDisplay status(socket, receiver->receiveBufferGranted);
    // The writer is given up on only while it sits in its write: then the
    // figures are taken from it for the report. Elsewhere (its write came
    // back just now, or it is opening the next segment), it gets one more
    // stretch of time; after that the process ends without the report.
    for (int stalls = 1; !WaitForWriter(g_writerThread, inputs, &status, silence, metrics); ++stalls) {
        const bool taken = TakeFiguresFromStalledWriter(&figures, receiver->queue, health->health);
        if (taken || stalls == 2)
            AbandonStalledWriter(&status, socket, health, segments, taken, receiver->endedNanoseconds, metrics, *silence);
    }
    status.Finish();
    DWORD result = 0;
    if (!GetExitCodeThread(g_writerThread, &result)) result = static_cast<DWORD>(E_FAIL);
    CloseHandle(g_writerThread);
    g_writerThread = nullptr;
    return result;
}

std::int64_t UnixNanoseconds()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

// Checks of a segmented recording's settings that need no network: names
// that two segments would share, an index that cannot be written. Prints
// the line and returns false.
bool SegmentSettingsUsable()
{
    const std::wstring missing = MissingSegmentConversion(g_settings.outputPath, g_settings.segmentSeconds);
    if (!missing.empty()) {
        const std::string conversion(missing.begin(), missing.end());
        PrintFormattedLine("Segment names would repeat: the -f pattern needs %s for --segment=%lld.",
                           conversion.c_str(), static_cast<long long>(g_settings.segmentSeconds));
        return false;
    }
    if (g_settings.indexPath != nullptr && !PrepareSideOutput(g_settings.indexPath, true)) {
        PrintLine("Error occurred while writing index file.");
        return false;
    }
    return true;
}

// Segments are regular files side by side: standard output, a FIFO or a
// device cannot be cut and turned over.
bool SegmentableOutput(const wchar_t* path)
{
    if (SameFileAsStandardHandle(path, STD_OUTPUT_HANDLE)) return false;
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(FileSystemPath(path), error);
    return !std::filesystem::exists(status) || std::filesystem::is_regular_file(status);
}

// The outputs of extension options, checked before anything is received, so
// that one that cannot be written fails now and not after the recording.
HRESULT PrepareExtensionOutputs(std::int64_t startUnixMs)
{
    if (g_settings.reportPath != nullptr) {
        const std::wstring report = g_settings.segmentSeconds != 0
                                        ? SegmentFileName(g_settings.reportPath, startUnixMs / 1000)
                                        : std::wstring(g_settings.reportPath);
        if (!PrepareSideOutput(report.c_str(), g_settings.segmentSeconds != 0)) {
            PrintLine("Error occurred while writing report file.");
            return E_FAIL;
        }
    }
    if (g_settings.metricsPath != nullptr && !PrepareSideOutput(g_settings.metricsPath, false)) {
        PrintLine("Error occurred while writing metrics file.");
        return E_FAIL;
    }
    return S_OK;
}

}  // namespace

HRESULT RunRecording()
{
    Receiver* receiver = new (std::nothrow) Receiver();
    if (receiver == nullptr) return E_OUTOFMEMORY;
    receiver->groupAddress = g_settings.groupAddress;
    receiver->interfaceAddress = g_settings.interfaceAddress;
    receiver->sourceAddress = g_settings.sourceAddress;
    receiver->extended = g_settings.extended;
    g_receiver = receiver;
    receiver->port = g_settings.port;

    HRESULT result = E_OUTOFMEMORY;
    bool stoppable = false;
    if (receiver->queue != nullptr) {
        MEMORYSTATUSEX memory = {};
        memory.dwLength = sizeof memory;
        receiver->queue->SetByteLimit(QueueByteLimit(GlobalMemoryStatusEx(&memory) ? memory.ullTotalPhys : 0));
    }
    if (receiver->queue != nullptr && receiver->dataEvent != nullptr)
        result = receiver->CreateSocket(receiver->groupAddress, receiver->port, receiver->interfaceAddress);
    // --no-data counts from the join: the group's datagrams are kept from then on.
    SilenceWatch silence = {static_cast<ULONGLONG>(g_settings.noDataSeconds) * 1000, 0, GetTickCount64(), false};
    // Segments: the boundaries are mapped to the monotonic clock once, so
    // that a later step of the wall clock moves none of them.
    SegmentRotation* segments = nullptr;
    const wchar_t* firstFile = g_settings.outputPath;
    if (result == 0) result = PrepareExtensionOutputs(UnixMilliseconds());
    if (result == 0 && g_settings.segmentSeconds != 0) {
        // Both clocks to the nanosecond, the wall clock read between two
        // readings of the other: a boundary is then where the wall clock puts
        // it, not up to a millisecond later.
        const std::int64_t before = MonotonicNanoseconds();
        const std::int64_t unixNs = UnixNanoseconds();
        const std::int64_t offset = before + (MonotonicNanoseconds() - before) / 2 - unixNs;
        const std::int64_t unixMs = FloorDivide(unixNs, 1000000);
        segments = new (std::nothrow) SegmentRotation(SegmentSettings{
            g_settings.outputPath, g_settings.reportPath, g_settings.indexPath, g_settings.keepSegments,
            g_settings.segmentSeconds, offset});
        if (segments == nullptr) {
            result = E_OUTOFMEMORY;
        } else {
            result = segments->Begin(unixMs);
            receiver->segmentSeconds = g_settings.segmentSeconds;
            receiver->nextBoundaryUnix = NextSegmentBoundary(unixMs / 1000, g_settings.segmentSeconds);
            receiver->nextBoundaryNs = receiver->nextBoundaryUnix * 1000000000 + offset;
        }
    }
    if (result == 0 && segments == nullptr) result = OpenOutputFile(firstFile);

    if (result == 0) {
        // The receive thread closes the socket at the stop; the status line
        // asks the platform about this copy, which stays valid to ask about.
        const SOCKET socket = receiver->socket;
        HealthRun health = BeginHealth();
        // Before the receive thread exists: a stop asked for as soon as it
        // takes datagrams is kept, never cleared by this.
        AcceptStopRequests(receiver->dataEvent);
        receiver->StartReceiving();
        stoppable = SetConsoleCtrlHandler(OnConsoleControl, TRUE) != FALSE;
        PrintTimeLine("Recording started at");
        LiveMetrics* metrics = g_settings.metricsPath != nullptr
                                   ? new (std::nothrow) LiveMetrics(g_settings.metricsPath, g_settings, health.startedUnixMs)
                                   : nullptr;
        DWORD writerResult = RunWriter(receiver, socket, &health, segments, &silence, metrics);
        ReportTotals(socket);
        const HRESULT reportResult = EndOutputs(&health, segments, receiver->endedNanoseconds, false);
        // The last state stays in the file.
        const ULONGLONG endedTicks = GetTickCount64();
        SilenceTooLong(&silence, endedTicks);
        if (metrics != nullptr) metrics->Write(socket, endedTicks - silence.since, false);
        delete metrics;
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
        // The recording is kept either way; the report's failure still tells.
        if (result == 0) result = reportResult;
        if (result == 0 && silence.ended) result = kNoDataResult;
    }

    PrintTimeLine("Recording finished at");
    delete segments;
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
    // Extension options lead; the five pairs follow them as always, and the
    // argument count is theirs.
    HRESULT extensionStatus = S_OK;
    const int extensions = ParseExtensionOptions(argc, argv, &g_settings, &extensionStatus);
    if (extensionStatus != S_OK) return extensionStatus;
    argc -= extensions;
    argv += extensions;
    if (argc != 11) {
        PrintUsage();
        return 0;
    }
    StartRecordingClock(&g_settings);
    HRESULT status = ParseOptions(argc, argv, &g_settings);
    if (status != S_OK) return status;
    if (g_settings.segmentSeconds != 0 && !SegmentableOutput(g_settings.outputPath)) {
        PrintLine("--segment needs a regular output file, not standard output, a pipe or a device.");
        return E_FAIL;
    }
    if (g_settings.segmentSeconds != 0 && !SegmentSettingsUsable()) return E_FAIL;
    HRESULT result = RunRecording();
    // Stopped early: ended the way a program ended by Ctrl-C ends.
    if (StopRequested()) return static_cast<int>(STATUS_CONTROL_C_EXIT);
    return result;
}
