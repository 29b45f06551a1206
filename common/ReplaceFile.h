// A small file (a report, an index, the metrics) replaced whole: written
// beside its place and renamed over it, so a reader sees the old text or the
// new one, never half of either.
#pragma once

#include <filesystem>
#include <string>

// Writes `text` to PATH.tmp and renames it over `path`; with `toStorage`,
// the text is on stable storage before the rename, so a power cut never
// leaves the name on an empty file. False, with PATH.tmp removed, on failure.
bool ReplaceFileWith(const std::filesystem::path& path, const std::string& text, bool toStorage);
