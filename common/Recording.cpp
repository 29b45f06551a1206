#include "common/Recording.h"


std::int64_t MonotonicNanoseconds()
{
    static const std::int64_t frequency = [] {
        LARGE_INTEGER value = {};
        return QueryPerformanceFrequency(&value) && value.QuadPart > 0 ? value.QuadPart : 1;
    }();
    LARGE_INTEGER count = {};
    QueryPerformanceCounter(&count);
    // In two parts, so that a long uptime cannot overflow the product.
    return count.QuadPart / frequency * 1000000000 + count.QuadPart % frequency * 1000000000 / frequency;
}

void StartRecordingClock(RecordingSettings* settings)
{
    settings->startTime = std::time(nullptr);
    settings->startTicks = static_cast<std::int64_t>(GetTickCount64());
}

void SetRecordingLength(RecordingSettings* settings, std::int64_t seconds)
{
    settings->endTime = settings->startTime + seconds;
    settings->endTicks = settings->startTicks + seconds * 1000;
}
