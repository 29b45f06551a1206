#include "front/Recording.h"

#include "common/ConsoleLine.h"
#include "common/Counters.h"
#include "common/DebugLine.h"
#include "common/OutputFile.h"
#include "common/SegmentNames.h"
#include "common/UtcTime.h"
#include "front/Failures.h"
#include "front/HealthRun.h"
#include "front/LiveMetrics.h"
#include "front/StatusLine.h"
#include "pipeline/ChunkQueue.h"
#include "pipeline/SegmentRotation.h"
#include "pipeline/WriterThread.h"
#include "platform/ConsoleStop.h"
#include "receiver/Receiver.h"

#include <chrono>
#include <fstream>
#include <new>
#include <string>

namespace {

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

// True once nothing has arrived for the limit: from the join, or from the
// last datagram.
bool SilenceTooLong(SilenceWatch* watch, const RecordingCounters& counters, ULONGLONG now)
{
    const std::uint64_t datagrams = counters.datagramsReceived.load(std::memory_order_relaxed);
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
// `poll` is called after each wait.
template <typename Poll>
bool WaitForWriter(HANDLE writer, std::int64_t startTicks, const WriterInputs& inputs, StatusDisplay* status,
                   SilenceWatch* silence, LiveMetrics* metrics, Poll poll)
{
    bool ended = false;
    ULONGLONG endedAt = 0;
    // The next whole second of the recording, plus the lag.
    const auto nextSecond = [startTicks](ULONGLONG now) {
        const ULONGLONG start = static_cast<ULONGLONG>(startTicks);
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
        poll();
        now = GetTickCount64();
        if (now >= nextRefresh) {
            status->Refresh();
            if (metrics != nullptr && !ended) metrics->Write(inputs.dropsSocket, now - silence->since, true);
            nextRefresh = nextSecond(now - kRefreshLagMilliseconds);
        }
        const bool silent = !ended && SilenceTooLong(silence, *inputs.counters, now);
        if (!ended && (static_cast<std::int64_t>(now) > inputs.endTicks || StopRequested() || silent)) {
            inputs.receiving->End();
            ended = true;
            endedAt = GetTickCount64();
            if (silent) {
                silence->ended = true;
                OutputDebugLine("No data for %lld s: recording ended\n",
                                static_cast<long long>(silence->limitMilliseconds / 1000));
            }
        }
        if (ended) {
            const ULONGLONG lastWrite = inputs.counters->lastWriteTicks.load(std::memory_order_relaxed);
            const ULONGLONG progress = lastWrite > endedAt ? lastWrite : endedAt;
            if (GetTickCount64() - progress >= kStallMilliseconds) return false;
        }
    }
}

// What the last health report is about: the whole file, or the last segment.
HealthTarget LastHealthTarget(const RecordingSettings& settings, const HealthRun& health,
                              const SegmentRotation* segments, std::wstring* reportName)
{
    if (segments == nullptr)
        return HealthTarget{settings.outputPath,
                            settings.reportPath,
                            health.startedUnixMs,
                            health.counters->bytesStored.load(std::memory_order_relaxed),
                            false,
                            nullptr,
                            -1,
                            false,
                            0};
    *reportName = segments->CurrentReportName();
    return HealthTarget{segments->CurrentName().c_str(),
                        settings.reportPath != nullptr ? reportName->c_str() : nullptr,
                        segments->CurrentStartUnixMs(),
                        segments->CurrentBytes(),
                        segments->CurrentFileRemoved(),
                        &segments->EarlierHealth(),
                        static_cast<std::int64_t>(segments->CurrentDatagrams()),
                        segments->ContinuesOutage(),
                        segments->CurrentBytesAlready()};
}

// The end of a recording's outputs, after the totals: the last segment's
// line, the health line and the last report.
HRESULT EndOutputs(const RecordingSettings& settings, HealthRun* health, SegmentRotation* segments,
                   std::int64_t endedNanoseconds, bool abandoning)
{
    if (segments != nullptr) segments->Close(endedNanoseconds, abandoning);
    std::wstring reportName;
    std::uint64_t outages = 0, tsPacketsLost = 0;
    HRESULT result = EndHealth(health, endedNanoseconds, LastHealthTarget(settings, *health, segments, &reportName),
                               &outages, &tsPacketsLost);
    // The last segment's row, with its figures as final as its report's.
    if (segments != nullptr && !abandoning) segments->ListLast(outages, tsPacketsLost);
    if (segments != nullptr && (segments->ReportFailed() || segments->CloseFailed())) result = E_FAIL;
    return result;
}

// The writer could not store what was received: say so, finish as every
// recording does, and end the process without waiting for the writer,
// which may never come back from its write. With `figures` taken from it the
// last report is written as well.
[[noreturn]] void AbandonStalledWriter(const RecordingSettings& settings, StatusDisplay* status, SOCKET socket,
                                       HealthRun* health, SegmentRotation* segments, bool figures,
                                       std::int64_t endedNanoseconds, LiveMetrics* metrics, const SilenceWatch& silence,
                                       const Failure& receiving, const OutputFile& output)
{
    const RecordingCounters& counters = *health->counters;
    const std::uint64_t left =
        counters.bytesReceived.load() - counters.bytesStored.load() - counters.bytesNotQueued.load();
    ShowFailure(receiving);
    ShowFailure(output.WriteFailure());
    status->Finish();
    OutputDebugLine("Output stalled: %llu bytes left unwritten\n", static_cast<unsigned long long>(left));
    ReportTotals(counters, settings.startTicks, socket);
    if (figures) EndOutputs(settings, health, segments, endedNanoseconds, true);
    if (metrics != nullptr) metrics->Write(socket, GetTickCount64() - silence.since, false);
    PrintTimeLine("Recording finished at");
    ExitProcess(static_cast<UINT>(ExitCodeFor(StopRequested() ? static_cast<HRESULT>(STATUS_CONTROL_C_EXIT) : E_FAIL)));
}

std::int64_t UnixNanoseconds()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

// The outputs of extension options, checked before anything is received, so
// that one that cannot be written fails now and not after the recording.
HRESULT PrepareExtensionOutputs(const RecordingSettings& settings, std::int64_t startUnixMs)
{
    if (settings.reportPath != nullptr) {
        const std::wstring report = settings.segmentSeconds != 0
                                        ? SegmentFileName(settings.reportPath, startUnixMs / 1000)
                                        : std::wstring(settings.reportPath);
        const HRESULT result =
            ShowFailure(PrepareSideOutput(report.c_str(), settings.segmentSeconds != 0, SideOutput::report));
        if (result != S_OK) return result;
    }
    if (settings.metricsPath != nullptr)
        return ShowFailure(PrepareSideOutput(settings.metricsPath, false, SideOutput::metrics));
    return S_OK;
}

}  // namespace

Recording::Recording(const RecordingSettings& settings) : settings_(settings), receiver_(new (std::nothrow) Receiver(&counters_))
{}

Recording::~Recording()
{
    if (writerThread_ != nullptr) CloseHandle(writerThread_);
    delete segments_;
    delete receiver_;
    if (consoleStops_) ReleaseConsoleStops();
}

HRESULT Recording::SetUp()
{
    receiver_->Configure(settings_);

    HRESULT result = E_OUTOFMEMORY;
    if (receiver_->Queue() != nullptr) {
        MEMORYSTATUSEX memory = {};
        memory.dwLength = sizeof memory;
        receiver_->Queue()->SetByteLimit(QueueByteLimit(GlobalMemoryStatusEx(&memory) ? memory.ullTotalPhys : 0));
    }
    if (receiver_->Queue() != nullptr && receiver_->DataEvent() != nullptr) {
        result = receiver_->CreateSocket(settings_.groupAddress, settings_.port, settings_.interfaceAddress);
        if (result != 0) result = ShowFailure(receiver_->SetupFailure());
    }
    // --no-data counts from the join: the group's datagrams are kept from then on.
    silence_ = SilenceWatch{static_cast<ULONGLONG>(settings_.noDataSeconds) * 1000, 0, GetTickCount64(), false};
    // Segments: the boundaries are mapped to the monotonic clock once, so
    // that a later step of the wall clock moves none of them.
    if (result == 0) result = PrepareExtensionOutputs(settings_, UnixMilliseconds());
    if (result == 0 && settings_.segmentSeconds != 0) {
        // Both clocks to the nanosecond, the wall clock read between two
        // readings of the other: a boundary is then where the wall clock puts
        // it, not up to a millisecond later.
        const std::int64_t before = MonotonicNanoseconds();
        const std::int64_t unixNs = UnixNanoseconds();
        const std::int64_t offset = before + (MonotonicNanoseconds() - before) / 2 - unixNs;
        const std::int64_t unixMs = FloorDivide(unixNs, 1000000);
        segments_ = new (std::nothrow)
            SegmentRotation(SegmentSettings{settings_.outputPath, settings_.reportPath, settings_.indexPath,
                                            settings_.keepSegments, settings_.segmentSeconds, offset, &output_,
                                            &counters_, &shownFailures_});
        if (segments_ == nullptr) {
            result = E_OUTOFMEMORY;
        } else {
            result = segments_->Begin(unixMs);
            const std::int64_t boundaryUnix = NextSegmentBoundary(unixMs / 1000, settings_.segmentSeconds);
            receiver_->CutSegments(settings_.segmentSeconds, boundaryUnix, boundaryUnix * 1000000000 + offset);
        }
    }
    if (result == 0 && segments_ == nullptr)
        result = ShowFailure(output_.Open(settings_.outputPath, settings_.endTicks));
    return result;
}

HRESULT Recording::Run()
{
    HRESULT result = 0;
    // The receive thread closes the socket at the stop; the status line
    // asks the platform about this copy, which stays valid to ask about.
    const SOCKET socket = receiver_->Socket();
    HealthRun health = BeginHealth(settings_.mediaRateMbit, &counters_, &totals_);
    // Before the receive thread exists: a stop asked for as soon as it
    // takes datagrams is kept, never cleared by this.
    AcceptStopRequests(receiver_->DataEvent());
    receiver_->StartReceiving();
    // Receiving that could not even start says so at once, before the start line.
    if (!receiver_->ThreadStarted()) {
        receiveResult_ = ShowFailure(receiver_->ReceiveFailure());
        receiveFailureShown_ = true;
    }
    consoleStops_ = CatchConsoleStops(RequestStop);
    PrintTimeLine("Recording started at");
    LiveMetrics* metrics = settings_.metricsPath != nullptr
                               ? new (std::nothrow)
                                     LiveMetrics(settings_.metricsPath, settings_, health.startedUnixMs, &counters_, &totals_)
                               : nullptr;
    DWORD writerResult = RunWriter(socket, &health, metrics);
    ReportTotals(counters_, settings_.startTicks, socket);
    const HRESULT reportResult = EndOutputs(settings_, &health, segments_, receiver_->EndedNanoseconds(), false);
    // The last state stays in the file.
    const ULONGLONG endedTicks = GetTickCount64();
    SilenceTooLong(&silence_, counters_, endedTicks);
    if (metrics != nullptr) metrics->Write(socket, endedTicks - silence_.since, false);
    delete metrics;
    RefuseStopRequests();
    if (!output_.Close() && writerResult == 0) {
        // The buffered tail could not be stored.
        writerResult = static_cast<DWORD>(ShowFailure(output_.WriteFailure()));
    }
    result = receiveResult_ != 0 ? receiveResult_ : static_cast<HRESULT>(writerResult);
    // The recording is kept either way; the report's failure still tells.
    if (result == 0) result = reportResult;
    if (result == 0 && silence_.ended) result = kNoDataResult;
    return result;
}

// Runs the writer on its own thread and waits for it; its result.
DWORD Recording::RunWriter(SOCKET socket, HealthRun* health, LiveMetrics* metrics)
{
    Receiver* receiver = receiver_;
    SegmentRotation* segments = segments_;
    SilenceWatch* silence = &silence_;
    FiguresHandOver figures;
    WriterInputs inputs = {
        receiver->Queue(), receiver->DataEvent(), settings_.endTicks, receiver, health->health, socket, segments,
        &figures, &output_, &counters_, &totals_};
    writerThread_ = CreateThread(nullptr, 0, WriterThreadProc, &inputs, 0, nullptr);
    if (writerThread_ == nullptr) {
        // The receive thread is already running and must still be stopped,
        // and what it received written: do the writer's work here.
        return ShowRunFailures(WriterThreadProc(&inputs));
    }
    SetThreadPriority(writerThread_, THREAD_PRIORITY_TIME_CRITICAL);
    OutputDebugStringW(L"Thread started.\n");
    StatusDisplay status(settings_, counters_, socket, receiver->ReceiveBufferGranted());
    // The writer is given up on only while it sits in its write: then the
    // figures are taken from it for the report. Elsewhere (its write came
    // back just now, or it is opening the next segment), it gets one more
    // stretch of time; after that the process ends without the report.
    const auto showReceiveFailure = [this] { ShowReceiveFailureOnce(); };
    for (int stalls = 1;
         !WaitForWriter(writerThread_, settings_.startTicks, inputs, &status, silence, metrics, showReceiveFailure);
         ++stalls) {
        const bool taken = TakeFiguresFromStalledWriter(&figures, receiver->Queue(), health->health);
        if (taken || stalls == 2)
            AbandonStalledWriter(settings_, &status, socket, health, segments, taken, receiver->EndedNanoseconds(),
                                 metrics, *silence, UnshownReceiveFailure(), output_);
    }
    DWORD result = 0;
    if (!GetExitCodeThread(writerThread_, &result)) result = static_cast<DWORD>(E_FAIL);
    CloseHandle(writerThread_);
    writerThread_ = nullptr;
    result = ShowRunFailures(result);
    status.Finish();
    return result;
}

DWORD Recording::ShowRunFailures(DWORD writerResult)
{
    // In the order they happened: receiving ends before the writer's last pass.
    if (!receiveFailureShown_) receiveResult_ = ShowFailure(receiver_->ReceiveFailure());
    receiveFailureShown_ = true;
    return ShowWriterResult(writerResult, output_);
}

void Recording::ShowReceiveFailureOnce()
{
    if (receiveFailureShown_ || receiver_->ReceiveFailure().kind == FailureKind::none) return;
    receiveResult_ = ShowFailure(receiver_->ReceiveFailure());
    receiveFailureShown_ = true;
}

Failure Recording::UnshownReceiveFailure() const
{
    return receiveFailureShown_ ? Failure{} : receiver_->ReceiveFailure();
}
