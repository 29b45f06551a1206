#include "common/SegmentFiles.h"

#include "platform/Platform.h"

#include <algorithm>
#include <system_error>

namespace {

// The pattern's path components; '/' and '\\' both separate them.
std::vector<std::wstring> Components(const std::wstring& pattern)
{
    std::vector<std::wstring> parts(1);
    for (wchar_t c : pattern) {
        if (c == L'/' || c == L'\\')
            parts.emplace_back();
        else
            parts.back().push_back(c);
    }
    return parts;
}

void Walk(const std::filesystem::path& directory, const std::vector<std::wstring>& parts, std::size_t index,
          const SegmentFields& fields, std::vector<SegmentFile>* found)
{
    std::error_code error;
    std::filesystem::directory_iterator entries(directory.empty() ? std::filesystem::path(".") : directory, error);
    if (error) return;
    const bool last = index + 1 == parts.size();
    // increment(error), not ++: a listing that fails part-way ends the walk
    // there instead of throwing on the writer thread.
    for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        if (error) return;
        const std::filesystem::directory_entry& entry = *entries;
        std::error_code entryError;
        SegmentFields read = fields;
        if (!MatchSegmentName(parts[index], PathText(entry.path().filename()), &read)) continue;
        const std::filesystem::path path = directory.empty() ? entry.path().filename() : entry.path();
        if (!last) {
            if (entry.is_directory(entryError)) Walk(path, parts, index + 1, read, found);
            continue;
        }
        if (!entry.is_regular_file(entryError)) continue;
        const std::filesystem::file_time_type written = entry.last_write_time(entryError);
        if (!entryError) found->push_back(SegmentFile{path, written, read});
    }
}

}  // namespace

std::vector<SegmentFile> FindSegmentFiles(const std::wstring& pattern)
{
    const std::vector<std::wstring> parts = Components(EffectiveSegmentPattern(pattern));
    // The leading components without a conversion are one fixed directory.
    std::size_t first = 0;
    std::wstring fixed;
    while (first + 1 < parts.size() && parts[first].find(L'%') == std::wstring::npos) {
        fixed += parts[first];
        fixed += L'/';
        ++first;
    }
    std::vector<SegmentFile> found;
    Walk(fixed.empty() ? std::filesystem::path() : FileSystemPath(fixed.c_str()), parts, first, SegmentFields(),
         &found);
    std::sort(found.begin(), found.end(), [](const SegmentFile& a, const SegmentFile& b) {
        return a.written != b.written ? a.written < b.written : a.path < b.path;
    });
    return found;
}

std::filesystem::path SegmentReportPath(const std::wstring& reportPattern, const SegmentFile& segment)
{
    std::wstring name;
    if (!SegmentNameFromFields(EffectiveSegmentPattern(reportPattern), segment.fields, &name)) return {};
    return FileSystemPath(name.c_str());
}
