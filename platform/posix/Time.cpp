// Time: the tick count, sleeping, and local time.
#include "PlatformApi.h"

#include <cerrno>
#include <ctime>
#include <unistd.h>

namespace pelorin_win {

ULONGLONG GetTickCount64()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * 1000u + static_cast<ULONGLONG>(now.tv_nsec) / 1000000u;
}

// Nanoseconds of CLOCK_MONOTONIC, the clock GetTickCount64 reads too.
BOOL QueryPerformanceCounter(LARGE_INTEGER* count)
{
    if (count == nullptr) return FALSE;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    count->QuadPart = static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency)
{
    if (frequency == nullptr) return FALSE;
    frequency->QuadPart = 1000000000;
    return TRUE;
}

void Sleep(DWORD milliseconds)
{
    if (milliseconds == INFINITE) {
        for (;;) ::pause();
    }
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

errno_t localtime_s(std::tm* result, const std::time_t* time)
{
    if (result == nullptr || time == nullptr) return EINVAL;
    if (::localtime_r(time, result) == nullptr) return EINVAL;
    return 0;
}

}  // namespace pelorin_win
