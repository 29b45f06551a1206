// --metrics=PATH: the recording's live figures in the Prometheus text format,
// rewritten whole once a second, for node_exporter's or windows_exporter's
// textfile collector. A reader never sees half a file: it is written beside
// PATH and renamed over it.
#pragma once

#include "pipeline/StreamHealth.h"

#include <cstdint>
#include <filesystem>
#include <string>

struct RecordingSettings;

// What every series is labelled with.
struct MetricsLabels {
    std::string group;
    std::string source;  // "" for a group from any source
    std::string port;
    std::string interfaceAddress;
};

// The labels of the recording `settings` describes.
MetricsLabels RecordingLabels(const RecordingSettings& settings);

// The figures at one moment. Counters are totals since the start.
struct MetricsFigures {
    std::uint64_t datagrams = 0;
    std::uint64_t receivedBytes = 0;
    std::uint64_t storedBytes = 0;
    bool hostDropsKnown = false;
    std::uint64_t hostDrops = 0;
    std::uint64_t notWrittenInTime = 0;
    HealthRunTotals health;  // TS and RTP loss, outages
    bool lastSecondKnown = false;  // the three figures of the last complete second
    double iatMaxSeconds = 0;
    double dfSeconds = 0;
    std::uint64_t mlrPackets = 0;
    double secondsSinceLastDatagram = 0;  // since the join while none has come
    bool receiving = false;
    double startTimeSeconds = 0;  // UTC, since 1970
};

class MetricsFile {
public:
    MetricsFile(const std::filesystem::path& path, const MetricsLabels& labels);

    // The exposition text. A counter never goes below what was shown before,
    // even when a figure is taken back (a late datagram cancels a loss).
    std::string Text(const MetricsFigures& figures);
    // Text() written to PATH.tmp and renamed over PATH; false when that failed.
    bool Write(const MetricsFigures& figures);

private:
    std::uint64_t Counter(int index, std::uint64_t value);

    std::filesystem::path path;
    std::string labels;  // {group="...",...}
    std::uint64_t shown[16] = {};
};
