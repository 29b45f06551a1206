// The calendar in UTC, for segment names and report times: plain arithmetic,
// the same on every platform, without gmtime's shared buffer.
#pragma once

#include <cstdint>

struct UtcTime {
    std::int64_t year;
    int month;      // 1..12
    int day;        // 1..31
    int dayOfYear;  // 1..366
    int hour, minute, second;
};

// value / divisor rounded towards minus infinity (times before 1970 too).
std::int64_t FloorDivide(std::int64_t value, std::int64_t divisor);

// The proleptic Gregorian calendar date and time of a count of seconds since
// 1970-01-01 00:00:00 UTC.
UtcTime UtcFromUnixSeconds(std::int64_t unixSeconds);
