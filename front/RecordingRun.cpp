#include "front/RecordingRun.h"

#include "common/ConsoleLine.h"
#include "common/OutputFile.h"
#include "common/Recording.h"
#include "common/SegmentNames.h"
#include "front/CommandLine.h"
#include "front/Failures.h"
#include "front/Recording.h"
#include "pipeline/WriterThread.h"

#include <cwchar>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

// Checks of a segmented recording's settings that need no network: names
// that two segments would share, an index that cannot be written. Prints
// the line and returns false.
bool SegmentSettingsUsable(const RecordingSettings& settings)
{
    const std::wstring missing = MissingSegmentConversion(settings.outputPath, settings.segmentSeconds);
    if (!missing.empty()) {
        const std::string conversion(missing.begin(), missing.end());
        PrintFormattedLine("Segment names would repeat: the -f pattern needs %s for --segment=%lld.",
                           conversion.c_str(), static_cast<long long>(settings.segmentSeconds));
        return false;
    }
    if (settings.indexPath != nullptr) {
        const Failure failure = PrepareSideOutput(settings.indexPath, true, SideOutput::index);
        if (failure.kind != FailureKind::none) {
            ShowFailure(failure);
            return false;
        }
    }
    return true;
}

// Segments are regular files side by side: standard output, a FIFO or a
// device cannot be cut and turned over.
bool SegmentableOutput(const wchar_t* path)
{
    if (SameFileAsStandardHandle(path, STD_OUTPUT_HANDLE)) return false;
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(FileSystemPath(path), error);
    return !std::filesystem::exists(status) || std::filesystem::is_regular_file(status);
}

}  // namespace

HRESULT RunRecording(const RecordingSettings& settings)
{
    // One scope: everything the recording owns is released at its end, after
    // the last time line, whatever failed.
    Recording recording(settings);
    if (!recording.Allocated()) return E_OUTOFMEMORY;
    HRESULT result = recording.SetUp();
    if (result == 0) result = recording.Run();
    PrintTimeLine("Recording finished at");
    return result;
}

int PelorinMain(int argc, wchar_t** argv, RecordingSettings* settingsOut)
{
    if (argc == 2 && std::wcscmp(argv[1], L"--version") == 0) {
        PrintLine("pelorin " PELORIN_VERSION);
        return 0;
    }
    // Extension options lead; the five pairs follow them as always, and the
    // argument count is theirs.
    RecordingSettings& settings = *settingsOut;
    HRESULT extensionStatus = S_OK;
    const int extensions = ParseExtensionOptions(argc, argv, &settings, &extensionStatus);
    if (extensionStatus != S_OK) return extensionStatus;
    argc -= extensions;
    argv += extensions;
    if (argc != 11) {
        PrintUsage();
        return 0;
    }
    StartRecordingClock(&settings);
    HRESULT status = ParseOptions(argc, argv, &settings);
    if (status != S_OK) return status;
    if (settings.segmentSeconds != 0 && !SegmentableOutput(settings.outputPath)) {
        PrintLine("--segment needs a regular output file, not standard output, a pipe or a device.");
        return E_FAIL;
    }
    if (settings.segmentSeconds != 0 && !SegmentSettingsUsable(settings)) return E_FAIL;
    HRESULT result = RunRecording(settings);
    // Stopped early: ended the way a program ended by Ctrl-C ends.
    if (StopRequested()) return static_cast<int>(STATUS_CONTROL_C_EXIT);
    return result;
}
