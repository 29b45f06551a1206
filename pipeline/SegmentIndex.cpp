#include "pipeline/SegmentIndex.h"

#include "common/ReplaceFile.h"
#include "common/UtcTime.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <system_error>

namespace {

// 2026-12-07T14:00:00.000Z
std::string IsoUtc(std::int64_t unixMs)
{
    const UtcTime time = UtcFromUnixSeconds(FloorDivide(unixMs, 1000));
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d.%03dZ", static_cast<long long>(time.year),
                  time.month, time.day, time.hour, time.minute, time.second,
                  static_cast<int>(unixMs - FloorDivide(unixMs, 1000) * 1000));
    return text;
}

std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

bool EndsWith(const std::string& text, const char* end)
{
    const std::string tail(end);
    if (text.size() < tail.size()) return false;
    return std::equal(tail.rbegin(), tail.rend(), text.rbegin(),
                      [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b); });
}

}  // namespace

SegmentIndex::SegmentIndex(const std::filesystem::path& indexPath, std::int64_t target, bool mayTrim)
    : path(indexPath), targetSeconds(target), playlist(EndsWith(indexPath.filename().u8string(), ".m3u8")),
      trimmed(mayTrim)
{
}

bool SegmentIndex::Settle(const std::filesystem::path& file, std::uint64_t outages, std::uint64_t tsPacketsLost)
{
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        if (entry->file != file) continue;
        if (entry->outages == outages && entry->tsPacketsLost == tsPacketsLost) return false;
        entry->outages = outages;
        entry->tsPacketsLost = tsPacketsLost;
        return true;
    }
    return false;
}

void SegmentIndex::Remove(const std::filesystem::path& file)
{
    std::error_code error;
    for (auto entry = entries.begin(); entry != entries.end(); ++entry) {
        if (entry->file != file && !std::filesystem::equivalent(entry->file, file, error)) continue;
        if (entry == entries.begin()) ++removedFromFront;
        entries.erase(entry);
        return;
    }
}

std::string SegmentIndex::Csv() const
{
    std::string text = "name,start,end,bytes,datagrams,outages,ts_packets_lost\n";
    for (const SegmentEntry& e : entries) {
        char numbers[128];
        std::snprintf(numbers, sizeof numbers, ",%llu,%llu,%llu,%llu\n", static_cast<unsigned long long>(e.bytes),
                      static_cast<unsigned long long>(e.datagrams), static_cast<unsigned long long>(e.outages),
                      static_cast<unsigned long long>(e.tsPacketsLost));
        text += CsvField(e.file.u8string()) + ',' + IsoUtc(e.startUnixMs) + ',' + IsoUtc(e.endUnixMs) + numbers;
    }
    return text;
}

std::string SegmentIndex::Playlist(bool ended) const
{
    // The segments by their path from the playlist's own directory, so that
    // the archive can move as a whole.
    std::error_code error;
    const std::filesystem::path base = std::filesystem::absolute(path, error).parent_path();
    char line[160];
    std::snprintf(line, sizeof line, "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:%lld\n#EXT-X-MEDIA-SEQUENCE:%llu\n",
                  static_cast<long long>(targetSeconds), static_cast<unsigned long long>(removedFromFront));
    std::string text = line;
    // An event playlist only grows; one that --keep trims is a plain live one.
    if (!trimmed) text += "#EXT-X-PLAYLIST-TYPE:EVENT\n";
    bool afterOutage = false;
    for (const SegmentEntry& e : entries) {
        if (afterOutage) text += "#EXT-X-DISCONTINUITY\n";
        afterOutage = e.outages != 0;
        std::filesystem::path relative = std::filesystem::absolute(e.file, error).lexically_relative(base);
        if (relative.empty()) relative = std::filesystem::absolute(e.file, error);
        const long long ms = e.endUnixMs - e.startUnixMs;
        std::snprintf(line, sizeof line, "#EXTINF:%lld.%03lld,\n", ms / 1000, ms % 1000);
        text += "#EXT-X-PROGRAM-DATE-TIME:" + IsoUtc(e.startUnixMs) + '\n' + line + relative.generic_u8string() + '\n';
    }
    if (ended) text += "#EXT-X-ENDLIST\n";
    return text;
}

bool SegmentIndex::Write(bool ended) const
{
    return ReplaceFileWith(path, playlist ? Playlist(ended) : Csv(), true);
}
