#include "front/LiveMetrics.h"

#include "common/Counters.h"
#include "common/DebugLine.h"
#include "common/Recording.h"
#include "front/StatusLine.h"
#include "pipeline/PublishedTotals.h"

LiveMetrics::LiveMetrics(const wchar_t* path, const RecordingSettings& settings, std::int64_t startUnixMs,
                         const RecordingCounters* countersOfRun, const PublishedTotals* totalsOfRun)
    : file(FileSystemPath(path), RecordingLabels(settings)), startSeconds(static_cast<double>(startUnixMs) / 1000.0),
      startTicks(settings.startTicks), counters(countersOfRun), totals(totalsOfRun)
{
}

void LiveMetrics::Write(SOCKET socket, ULONGLONG quietMilliseconds, bool receiving)
{
    // The same counters as the status line and the totals line.
    const StatusSample sample = TakeStatusSample(*counters, startTicks, socket);
    MetricsFigures figures;
    figures.datagrams = sample.datagrams;
    figures.receivedBytes = sample.bytesReceived;
    figures.storedBytes = sample.bytesStored;
    figures.hostDropsKnown = sample.dropsKnown;
    figures.hostDrops = sample.drops;
    figures.notWrittenInTime = sample.notQueued;
    figures.lastSecondKnown = sample.healthKnown;
    figures.iatMaxSeconds = sample.iatMaxUs / 1e6;
    figures.dfSeconds = static_cast<double>(sample.dfMicroseconds) / 1e6;
    figures.mlrPackets = sample.mlr;
    figures.health = totals->Read();
    figures.secondsSinceLastDatagram = static_cast<double>(quietMilliseconds) / 1000.0;
    figures.receiving = receiving;
    figures.startTimeSeconds = startSeconds;
    if (!file.Write(figures) && !failureSaid) {
        OutputDebugStringW(L"Metrics file could not be written\n");
        failureSaid = true;
    }
}
