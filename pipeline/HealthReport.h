// The recording's health as a JSON report, written when the recording ends.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

class StreamHealth;

struct HealthReportInfo {
    std::string file;                         // the recording's path as UTF-8
    std::int64_t startedUnixMs, endedUnixMs;  // wall clock, for "started" and "ended"
    bool kernelTimestamps;                    // "timestamp_source": "kernel" or "completion"
    bool fileRemoved = false;                 // "file_removed": the file was removed and made anew meanwhile
    // What really reached the file, when a write failed or more is known of
    // it than the figures saw (a segment); -1 for the figures' own counts.
    std::int64_t datagramsInFile = -1, bytesInFile = -1;
};

// Writes the JSON to PATH.tmp next to it, then renames it over PATH, so that a
// reader never sees half a report. False on any failure, with nothing left
// behind.
bool WriteHealthReport(const std::filesystem::path& path, const HealthReportInfo& info, const StreamHealth& health);
// The same JSON as a string.
std::string HealthReportJson(const HealthReportInfo& info, const StreamHealth& health);
