#include "pipeline/SegmentRotation.h"

#include "common/ConsoleLine.h"
#include "common/Counters.h"
#include "common/DebugLine.h"
#include "common/OutputFile.h"
#include "pipeline/HealthReport.h"
#include "pipeline/StreamHealth.h"

#include <system_error>
#include <vector>

namespace {

std::string Narrow(const std::wstring& text)
{
    char narrow[512];
    if (WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, narrow, sizeof narrow, nullptr, nullptr) == 0) return "?";
    return narrow;
}

}  // namespace

SegmentRotation::SegmentRotation(const wchar_t* filePattern, const wchar_t* reportFilePattern, unsigned keep,
                                 std::int64_t offset)
    : pattern(filePattern),
      reportPattern(reportFilePattern != nullptr ? reportFilePattern : L""),
      withReport(reportFilePattern != nullptr),
      keeper(keep),
      unixToMonotonicNs(offset)
{
}

const std::wstring& SegmentRotation::Begin(std::int64_t startUnixMs)
{
    const std::int64_t seconds = startUnixMs >= 0 ? startUnixMs / 1000 : (startUnixMs - 999) / 1000;
    Started(SegmentFileName(pattern, seconds), startUnixMs);
    return currentName;
}

void SegmentRotation::Started(const std::wstring& name, std::int64_t startUnixMs)
{
    currentName = name;
    currentStartUnixMs = startUnixMs;
    bytes = 0;
    datagrams = 0;
    g_counters.segmentStartUnixMs.store(startUnixMs, std::memory_order_release);
    std::vector<std::wstring> expired;
    keeper.Add(currentName, &expired);
    // Only files this run made itself, and never the one just opened.
    for (const std::wstring& old : expired) {
        std::error_code ignored;
        std::filesystem::remove(FileSystemPath(old.c_str()), ignored);
    }
}

std::wstring SegmentRotation::CurrentReportName() const
{
    const std::int64_t seconds = currentStartUnixMs >= 0 ? currentStartUnixMs / 1000 : (currentStartUnixMs - 999) / 1000;
    return withReport ? SegmentFileName(reportPattern, seconds) : std::wstring();
}

void SegmentRotation::Count(std::uint64_t moreBytes, int moreDatagrams)
{
    bytes += moreBytes;
    datagrams += static_cast<std::uint64_t>(moreDatagrams);
}

void SegmentRotation::Close()
{
    OutputDebugLine("Segment closed: %s, %llu bytes, %llu datagrams\n", Narrow(currentName).c_str(),
                    static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(datagrams));
}

bool SegmentRotation::Rotate(std::int64_t boundaryUnix, StreamHealth* health)
{
    if (!CloseOutputFile()) {
        ReportWriteFailure();
        return false;
    }
    Close();
    const std::int64_t boundaryNs = boundaryUnix * 1000000000 + unixToMonotonicNs;
    if (health != nullptr) {
        health->FinishPeriod(boundaryNs, bytes);
        if (withReport) {
            HealthReportInfo info;
            info.file = FileSystemPath(currentName.c_str()).u8string();
            info.startedUnixMs = currentStartUnixMs;
            info.endedUnixMs = boundaryUnix * 1000;
            info.kernelTimestamps = g_counters.kernelTimestamps.load(std::memory_order_relaxed);
            if (!WriteHealthReport(FileSystemPath(CurrentReportName().c_str()), info, *health)) {
                PrintLine("Error occurred while writing report file.");
                reportFailed = true;
            }
        }
        health->StartPeriod(boundaryNs);
    }
    const std::wstring next = SegmentFileName(pattern, boundaryUnix);
    if (OpenOutputFile(next.c_str()) != S_OK) return false;
    Started(next, boundaryUnix * 1000);
    return true;
}
