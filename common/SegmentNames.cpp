#include "common/SegmentNames.h"

#include <algorithm>
#include <string_view>

namespace {

struct UtcTime {
    std::int64_t year;
    int month;      // 1..12
    int day;        // 1..31
    int dayOfYear;  // 1..366
    int hour, minute, second;
};

std::int64_t FloorDivide(std::int64_t value, std::int64_t divisor)
{
    const std::int64_t quotient = value / divisor;
    return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? quotient - 1 : quotient;
}

bool IsLeapYear(std::int64_t year)
{
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// The proleptic Gregorian calendar in UTC, computed here rather than with
// gmtime, which shares one buffer between threads and differs by platform.
// Days are counted in 400-year eras starting on 1 March, so the leap day is
// the last of each counted year.
UtcTime UtcFromUnixSeconds(std::int64_t unixSeconds)
{
    const std::int64_t days = FloorDivide(unixSeconds, 86400);
    const std::int64_t secondOfDay = unixSeconds - days * 86400;
    const std::int64_t shifted = days + 719468;  // days from 0000-03-01 to 1970-01-01
    const std::int64_t era = FloorDivide(shifted, 146097);
    const std::int64_t dayOfEra = shifted - era * 146097;  // 0..146096
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfMarchYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);  // 0..365
    const std::int64_t monthFromMarch = (5 * dayOfMarchYear + 2) / 153;                                 // 0..11

    UtcTime time;
    time.day = static_cast<int>(dayOfMarchYear - (153 * monthFromMarch + 2) / 5 + 1);
    time.month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    time.year = yearOfEra + era * 400 + (time.month <= 2 ? 1 : 0);
    // 1 March is day 306 of the counted year; January and February close it.
    time.dayOfYear = static_cast<int>(time.month <= 2 ? dayOfMarchYear - 306 + 1
                                                     : dayOfMarchYear + 59 + (IsLeapYear(time.year) ? 1 : 0) + 1);
    time.hour = static_cast<int>(secondOfDay / 3600);
    time.minute = static_cast<int>(secondOfDay / 60 % 60);
    time.second = static_cast<int>(secondOfDay % 60);
    return time;
}

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
