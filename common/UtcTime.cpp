#include "common/UtcTime.h"

namespace {

bool IsLeapYear(std::int64_t year)
{
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

}  // namespace

std::int64_t FloorDivide(std::int64_t value, std::int64_t divisor)
{
    const std::int64_t quotient = value / divisor;
    return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? quotient - 1 : quotient;
}

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
