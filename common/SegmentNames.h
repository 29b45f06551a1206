// Segmented recording without threads: the names of the segment files, where
// the boundaries between segments fall, and which of this run's segments are
// old enough to delete. Plain arithmetic on UTC seconds, the same on every
// platform, so it needs no system call and no lock.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// True when the pattern holds at least one of the conversions
// %Y %m %d %H %M %S %j %%.
bool HasSegmentConversions(const std::wstring& pattern);

// The file name of the segment that starts at unixSeconds: the conversions
// expanded in UTC (any other "%x" is kept as it stands). A pattern with no
// time conversion gets "-%Y%m%d-%H%M%S" before the last extension of its
// file-name part; a name without extension, or a leading-dot name like ".ts",
// gets it at the end. That includes a pattern whose only conversion is %%:
// its % is expanded, and the suffix keeps segments from sharing one file.
// Both '/' and '\\' separate directories; the directory part may hold
// conversions too.
std::wstring SegmentFileName(const std::wstring& pattern, std::int64_t unixSeconds);

// The first boundary strictly after unixSeconds: the next whole multiple of
// segmentSeconds (at least 1) since the epoch.
std::int64_t NextSegmentBoundary(std::int64_t unixSeconds, std::int64_t segmentSeconds);

// The segment files this run made, oldest first; with keep = N, the names to
// delete once a new one is added (only names this run made; a name made twice
// counts once, as its newest use).
class SegmentKeeper {
public:
    explicit SegmentKeeper(unsigned keep);  // 0 keeps all
    // Records a newly opened segment; fills `expired` (when given) with the
    // names now beyond the newest N, oldest first. Never the name just added.
    void Add(const std::wstring& name, std::vector<std::wstring>* expired);

private:
    unsigned keepCount;
    std::deque<std::wstring> names;  // oldest first, each once
};
