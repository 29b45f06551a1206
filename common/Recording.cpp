#include "common/Recording.h"

RecordingSettings g_settings;
Receiver* g_receiver = nullptr;
HANDLE g_writerThread = nullptr;
std::ofstream g_outputFile;

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
