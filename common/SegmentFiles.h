// The segment files on disk that a pattern could have named, whichever run
// made them: what --keep counts and deletes, oldest first.
#pragma once

#include "common/SegmentNames.h"

#include <filesystem>
#include <string>
#include <vector>

struct SegmentFile {
    std::filesystem::path path;
    std::filesystem::file_time_type written;
    SegmentFields fields;  // what its name's conversions stood for
};

// Every regular file that `pattern` (the -f value) could have produced, in
// every directory its pattern could have produced, oldest written first.
std::vector<SegmentFile> FindSegmentFiles(const std::wstring& pattern);

// The report that went with a found segment, named by `reportPattern` (the
// --report value) from the segment's own fields; empty when its name does
// not tell what the report's needs.
std::filesystem::path SegmentReportPath(const std::wstring& reportPattern, const SegmentFile& segment);
