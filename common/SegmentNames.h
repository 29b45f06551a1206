// Segmented recording without threads: the names of the segment files, where
// the boundaries between segments fall, and which of this run's segments are
// old enough to delete. Plain arithmetic on UTC seconds, the same on every
// platform, so it needs no system call and no lock.
#pragma once

#include <cstdint>
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

// The second the first segment of a run started at startSeconds is named
// from: its start, unless that gives the name the next boundary's segment
// gets (a length that is not a whole number of the pattern's finest unit,
// like %H with 5400); then the boundary before it, which never does.
std::int64_t FirstSegmentNameSeconds(const std::wstring& pattern, std::int64_t startSeconds,
                                     std::int64_t segmentSeconds);

// The pattern as the names are made from it: with "-%Y%m%d-%H%M%S" put in
// where SegmentFileName puts it when the pattern has no time conversion.
std::wstring EffectiveSegmentPattern(const std::wstring& pattern);

// Empty when the pattern gives any two consecutive segments of this length
// different names (a ring that repeats only after a full cycle, like %H with
// 3600, is fine); else the conversion that would tell them apart, like "%S".
std::wstring MissingSegmentConversion(const std::wstring& pattern, std::int64_t segmentSeconds);

// What a segment name's conversions stood for: Y m d H M S j in this order,
// -1 where the name had none.
struct SegmentFields {
    std::int64_t values[7] = {-1, -1, -1, -1, -1, -1, -1};
};

// True when `name` is what `pattern` could have produced (both one path
// component, or both whole): the text as it stands, each conversion as its
// digits (4 for %Y, 3 for %j, 2 for the others). Fills in what it read.
bool MatchSegmentName(const std::wstring& pattern, const std::wstring& name, SegmentFields* fields);

// The pattern expanded with read values; false when it needs a date that is
// not known. An hour, minute or second not known is 0, where segments but a
// run's first begin.
bool SegmentNameFromFields(const std::wstring& pattern, const SegmentFields& fields, std::wstring* name);
