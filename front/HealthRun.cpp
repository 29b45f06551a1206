#include "front/HealthRun.h"

#include "common/Counters.h"
#include "common/DebugLine.h"
#include "common/OutputFile.h"
#include "common/Recording.h"
#include "front/Failures.h"
#include "pipeline/HealthReport.h"
#include "pipeline/HealthTotals.h"
#include "pipeline/StreamHealth.h"
#include "pipeline/PublishedTotals.h"
#include "pipeline/WriterThread.h"

#include <chrono>
#include <new>

namespace {

void ReportHealthTotals(const StreamHealth& health, const HealthTotals* earlier)
{
    HealthTotals totals = earlier != nullptr ? *earlier : HealthTotals();
    AddHealthTotals(&totals, health);
    OutputDebugLine("Recording health: IAT max %.1f ms, worst MDI %.1f:%llu, %llu TS packets lost, %llu outages "
                    "(longest %.1f s)\n",
                    totals.iatMaxUs / 1000.0, totals.worstDfMs, static_cast<unsigned long long>(totals.worstMlr),
                    static_cast<unsigned long long>(totals.tsPacketsLost),
                    static_cast<unsigned long long>(totals.outages), totals.longestOutageSeconds);
}

}  // namespace

std::int64_t UnixMilliseconds()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

HealthRun BeginHealth(double mediaRateMbit, const RecordingCounters* counters, PublishedTotals* totals)
{
    HealthRun run = {new (std::nothrow) StreamHealth(), UnixMilliseconds(), counters, totals};
    if (run.health != nullptr) {
        // Mbit/s of transport stream, as bytes per second.
        run.health->ConfigureMediaRate(mediaRateMbit * 1e6 / 8);
        run.health->Start(MonotonicNanoseconds());
    }
    return run;
}

HRESULT EndHealth(HealthRun* run, std::int64_t endNs, const HealthTarget& target, std::uint64_t* outages,
                  std::uint64_t* tsPacketsLost)
{
    if (outages != nullptr) *outages = 0;
    if (tsPacketsLost != nullptr) *tsPacketsLost = 0;
    if (run->health == nullptr) return S_OK;
    StreamHealth& health = *run->health;
    // The receive thread's last word on the system's drops, from just before
    // it closed the socket.
    const RecordingCounters& counters = *run->counters;
    if (counters.socketDropsKnown.load(std::memory_order_acquire))
        health.NoteHostDrops(counters.socketDrops.load(std::memory_order_relaxed), endNs);
    health.Finish(endNs, target.fileSize);
    if (target.continuesOutage) health.MarkOutageContinued(endNs, target.fileSize);
    run->totals->Publish(health);
    ReportHealthTotals(health, target.earlier);
    if (outages != nullptr) *outages = health.Outages().size();
    if (tsPacketsLost != nullptr) *tsPacketsLost = health.TsPacketsLost();

    HRESULT result = S_OK;
    if (target.report != nullptr) {
        HealthReportInfo info;
        info.file = FileSystemPath(target.file).u8string();
        info.startedUnixMs = target.startedUnixMs;
        // When receiving ended, not when the last byte was stored.
        info.endedUnixMs = target.startedUnixMs + (endNs - health.StartNs()) / 1000000;
        info.kernelTimestamps = counters.kernelTimestamps.load(std::memory_order_relaxed);
        info.fileRemoved = target.fileRemoved;
        if (target.datagramsInFile >= 0) {
            info.datagramsInFile = target.datagramsInFile;
            info.bytesInFile = static_cast<std::int64_t>(target.fileSize - target.bytesAlready);
        }
        if (!WriteHealthReport(FileSystemPath(target.report), info, health)) {
            result = ShowFailure(SideOutputFailure(SideOutput::report));
        }
    }
    delete run->health;
    run->health = nullptr;
    return result;
}
