#include "common/SegmentNames.h"

#include "common/UtcTime.h"

#include <algorithm>
#include <string_view>

namespace {

void AppendNumber(std::wstring* text, std::int64_t value, std::size_t width)
{
    if (value < 0) {
        text->push_back(L'-');
        value = -value;
    }
    std::wstring digits;
    do {
        digits.push_back(static_cast<wchar_t>(L'0' + value % 10));
        value /= 10;
    } while (value != 0);
    if (digits.size() < width) text->append(width - digits.size(), L'0');
    text->append(digits.rbegin(), digits.rend());
}

bool IsTimeConversion(wchar_t letter)
{
    return std::wstring_view(L"YmdHMSj").find(letter) != std::wstring_view::npos;
}

// Expands the conversions, leaving any other "%x" and a final lone '%' as
// they stand.
std::wstring Expand(const std::wstring& pattern, const UtcTime& time)
{
    std::wstring name;
    name.reserve(pattern.size() + 16);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != L'%' || i + 1 == pattern.size()) {
            name.push_back(pattern[i]);
            continue;
        }
        const wchar_t letter = pattern[++i];
        switch (letter) {
        case L'Y': AppendNumber(&name, time.year, 4); break;
        case L'm': AppendNumber(&name, time.month, 2); break;
        case L'd': AppendNumber(&name, time.day, 2); break;
        case L'H': AppendNumber(&name, time.hour, 2); break;
        case L'M': AppendNumber(&name, time.minute, 2); break;
        case L'S': AppendNumber(&name, time.second, 2); break;
        case L'j': AppendNumber(&name, time.dayOfYear, 3); break;
        case L'%': name.push_back(L'%'); break;
        default:
            name.push_back(L'%');
            name.push_back(letter);
            break;
        }
    }
    return name;
}

// Scans the conversions the way Expand reads them, so "%%Y" is a percent
// sign and a Y, not a year.
bool HasConversion(const std::wstring& pattern, bool timeOnly)
{
    for (std::size_t i = 0; i + 1 < pattern.size(); ++i) {
        if (pattern[i] != L'%') continue;
        const wchar_t letter = pattern[++i];
        if (IsTimeConversion(letter) || (letter == L'%' && !timeOnly)) return true;
    }
    return false;
}

}  // namespace

bool HasSegmentConversions(const std::wstring& pattern)
{
    return HasConversion(pattern, false);
}

std::wstring SegmentFileName(const std::wstring& pattern, std::int64_t unixSeconds)
{
    const UtcTime time = UtcFromUnixSeconds(unixSeconds);
    std::wstring name = Expand(pattern, time);
    if (HasConversion(pattern, true)) return name;

    // Nothing in the pattern tells one segment from the next: give each its
    // start time, or every segment would overwrite the one before.
    const std::size_t separator = name.find_last_of(L"/\\");
    const std::size_t fileStart = separator == std::wstring::npos ? 0 : separator + 1;
    std::size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos || dot <= fileStart) dot = name.size();
    name.insert(dot, Expand(L"-%Y%m%d-%H%M%S", time));
    return name;
}

std::int64_t NextSegmentBoundary(std::int64_t unixSeconds, std::int64_t segmentSeconds)
{
    if (segmentSeconds < 1) segmentSeconds = 1;
    return (FloorDivide(unixSeconds, segmentSeconds) + 1) * segmentSeconds;
}

SegmentKeeper::SegmentKeeper(unsigned keep) : keepCount(keep) {}

void SegmentKeeper::Add(const std::wstring& name, std::vector<std::wstring>* expired)
{
    if (expired != nullptr) expired->clear();
    // Keeping all needs no list: a run around the clock would grow it forever.
    if (keepCount == 0) return;
    // A name made again (a pattern that repeats, like %H alone) was just
    // truncated and reopened: it is the newest segment, not an old one.
    const auto previous = std::find(names.begin(), names.end(), name);
    if (previous != names.end()) names.erase(previous);
    names.push_back(name);
    while (names.size() > keepCount) {
        if (expired != nullptr) expired->push_back(names.front());
        names.pop_front();
    }
}
