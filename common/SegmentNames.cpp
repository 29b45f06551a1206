#include "common/SegmentNames.h"

#include "common/UtcTime.h"

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

constexpr std::wstring_view kConversions = L"YmdHMSj";
constexpr int kWidths[7] = {4, 2, 2, 2, 2, 2, 3};

bool IsTimeConversion(wchar_t letter)
{
    return kConversions.find(letter) != std::wstring_view::npos;
}

// The time conversions a pattern holds, one bit per letter of kConversions.
unsigned ConversionSet(const std::wstring& pattern)
{
    unsigned set = 0;
    for (std::size_t i = 0; i + 1 < pattern.size(); ++i) {
        if (pattern[i] != L'%') continue;
        const std::size_t at = kConversions.find(pattern[++i]);
        if (at != std::wstring_view::npos) set |= 1u << at;
    }
    return set;
}

constexpr unsigned kDayBits = (1u << 2) | (1u << 6);  // %d, %j
constexpr unsigned kHourBit = 1u << 3, kMinuteBit = 1u << 4, kSecondBit = 1u << 5;

// Whether some boundary b (a multiple of the length since the epoch) gives
// b and b + length the same name. Segments are at most a day long, so the
// two are on the same or the next day: %d and %j tell days apart, %m and %Y
// do not for most days. The times of day the boundaries fall on are the
// multiples of gcd(length, 86400).
bool NamesRepeat(unsigned set, std::int64_t length)
{
    std::int64_t a = length, b = 86400;
    while (b != 0) {
        const std::int64_t r = a % b;
        a = b;
        b = r;
    }
    for (std::int64_t first = 0; first < 86400; first += a) {
        std::int64_t second = first + length;
        if (second >= 86400) {
            if ((set & kDayBits) != 0) continue;
            second %= 86400;
        }
        if ((set & kSecondBit) != 0 && first % 60 != second % 60) continue;
        if ((set & kMinuteBit) != 0 && first / 60 % 60 != second / 60 % 60) continue;
        if ((set & kHourBit) != 0 && first / 3600 != second / 3600) continue;
        return true;
    }
    return false;
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

std::wstring EffectiveSegmentPattern(const std::wstring& pattern)
{
    if (HasConversion(pattern, true)) return pattern;
    // Nothing in the pattern tells one segment from the next: give each its
    // start time, or every segment would overwrite the one before.
    std::wstring effective = pattern;
    const std::size_t separator = effective.find_last_of(L"/\\");
    const std::size_t fileStart = separator == std::wstring::npos ? 0 : separator + 1;
    std::size_t dot = effective.rfind(L'.');
    if (dot == std::wstring::npos || dot <= fileStart) dot = effective.size();
    effective.insert(dot, L"-%Y%m%d-%H%M%S");
    return effective;
}

std::wstring SegmentFileName(const std::wstring& pattern, std::int64_t unixSeconds)
{
    return Expand(EffectiveSegmentPattern(pattern), UtcFromUnixSeconds(unixSeconds));
}

std::int64_t NextSegmentBoundary(std::int64_t unixSeconds, std::int64_t segmentSeconds)
{
    if (segmentSeconds < 1) segmentSeconds = 1;
    return (FloorDivide(unixSeconds, segmentSeconds) + 1) * segmentSeconds;
}

std::int64_t FirstSegmentNameSeconds(const std::wstring& pattern, std::int64_t startSeconds,
                                     std::int64_t segmentSeconds)
{
    if (segmentSeconds < 1) segmentSeconds = 1;
    if (SegmentFileName(pattern, startSeconds) != SegmentFileName(pattern, NextSegmentBoundary(startSeconds, segmentSeconds)))
        return startSeconds;
    return FloorDivide(startSeconds, segmentSeconds) * segmentSeconds;
}

std::wstring MissingSegmentConversion(const std::wstring& pattern, std::int64_t segmentSeconds)
{
    if (segmentSeconds < 1 || segmentSeconds > 86400) segmentSeconds = segmentSeconds < 1 ? 1 : 86400;
    const unsigned set = ConversionSet(EffectiveSegmentPattern(pattern));
    if (!NamesRepeat(set, segmentSeconds)) return L"";
    // The finest conversion that would be enough on its own.
    const struct {
        unsigned bit;
        const wchar_t* text;
    } candidates[] = {{kSecondBit, L"%S"}, {kMinuteBit, L"%M"}, {kHourBit, L"%H"}, {1u << 2, L"%d"}};
    for (const auto& candidate : candidates)
        if ((set & candidate.bit) == 0 && !NamesRepeat(set | candidate.bit, segmentSeconds)) return candidate.text;
    return L"%S";
}

bool MatchSegmentName(const std::wstring& pattern, const std::wstring& name, SegmentFields* fields)
{
    std::size_t at = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const std::size_t conversion = i + 1 < pattern.size() && pattern[i] == L'%' ? kConversions.find(pattern[i + 1])
                                                                                     : std::wstring_view::npos;
        if (conversion == std::wstring_view::npos) {
            // %% stands for one %; anything else as it stands.
            const bool percent = i + 1 < pattern.size() && pattern[i] == L'%' && pattern[i + 1] == L'%';
            if (at >= name.size() || name[at] != pattern[i]) return false;
            ++at;
            if (percent) ++i;
            continue;
        }
        ++i;
        std::int64_t value = 0;
        for (int digit = 0; digit < kWidths[conversion]; ++digit, ++at) {
            if (at >= name.size() || name[at] < L'0' || name[at] > L'9') return false;
            value = value * 10 + (name[at] - L'0');
        }
        if (fields != nullptr) fields->values[conversion] = value;
    }
    return at == name.size();
}

bool SegmentNameFromFields(const std::wstring& pattern, const SegmentFields& fields, std::wstring* name)
{
    name->clear();
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const std::size_t conversion = i + 1 < pattern.size() && pattern[i] == L'%' ? kConversions.find(pattern[i + 1])
                                                                                     : std::wstring_view::npos;
        if (conversion == std::wstring_view::npos) {
            name->push_back(pattern[i]);
            if (i + 1 < pattern.size() && pattern[i] == L'%' && pattern[i + 1] == L'%') ++i;
            continue;
        }
        ++i;
        std::int64_t value = fields.values[conversion];
        // Every segment but a run's first starts on a boundary: a time of day
        // the name does not give is most likely 0 (an hourly %H name's
        // report named with %H%M%S).
        if (value < 0 && (kConversions[conversion] == L'H' || kConversions[conversion] == L'M' ||
                          kConversions[conversion] == L'S'))
            value = 0;
        if (value < 0) return false;
        AppendNumber(name, value, static_cast<std::size_t>(kWidths[conversion]));
    }
    return true;
}
