// The list of a run's segments (--index): CSV, or an HLS event playlist for
// a name ending ".m3u8", rewritten whole after each segment closes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct SegmentEntry {
    std::filesystem::path file;
    std::int64_t startUnixMs, endUnixMs;
    std::uint64_t bytes, datagrams, outages, tsPacketsLost;
};

class SegmentIndex {
public:
    // `trimmed`: --keep may remove segments from the front.
    SegmentIndex(const std::filesystem::path& path, std::int64_t targetSeconds, bool trimmed);
    void Add(const SegmentEntry& entry) { entries.push_back(entry); }
    // A segment's figures once its report is settled (the newest row of that
    // file); false when it is not listed or they are what the list has.
    bool Settle(const std::filesystem::path& file, std::uint64_t outages, std::uint64_t tsPacketsLost);
    // A segment deleted by --keep leaves the list.
    void Remove(const std::filesystem::path& file);
    // Writes PATH.tmp and renames it over PATH; `ended` closes a playlist.
    bool Write(bool ended) const;

private:
    std::string Csv() const;
    std::string Playlist(bool ended) const;

    std::filesystem::path path;
    std::int64_t targetSeconds;
    bool playlist;
    bool trimmed;
    std::uint64_t removedFromFront = 0;
    std::vector<SegmentEntry> entries;
};
