#include "common/OutputFile.h"

#include "common/ConsoleLine.h"
#include "common/Counters.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

Failure PrepareSideOutput(const wchar_t* path, bool everyLevel, SideOutput output)
{
    if (everyLevel) {
        // Beside segments, which make every level of their own folders.
        const std::filesystem::path file = FileSystemPath(path);
        std::error_code ignored;
        if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ignored);
    } else {
        CreateParentDirectory(path);
    }
    char pathText[4 * 4096 + 16];
    if (WideCharToMultiByte(CP_ACP, 0, path, -1, pathText, sizeof pathText, nullptr, nullptr) == 0)
        std::snprintf(pathText, sizeof pathText, "%s", "?");
    char action[sizeof pathText + 16];
    std::snprintf(action, sizeof action, "open %s", pathText);
    const std::filesystem::path target = FileSystemPath(path);
    std::error_code error;
    if (std::filesystem::is_directory(target, error)) return SideOutputFailure(output, EISDIR, action);
    // Written as PATH.tmp and renamed over PATH: a file that can be made
    // there now can be made at the end.
    std::filesystem::path probe = target;
    probe += ".tmp";
    errno = 0;
    std::ofstream file(probe, std::ios::binary | std::ios::out | std::ios::app);
    if (!file.is_open()) return SideOutputFailure(output, errno, action);
    file.close();
    std::filesystem::remove(probe, error);
    return Failure{};
}

// The file about to be opened, for the cause lines of its open and writes.
void OutputFile::RememberPath(const wchar_t* path)
{
    if (WideCharToMultiByte(CP_ACP, 0, path, -1, pathText_, sizeof pathText_, nullptr, nullptr) == 0)
        std::snprintf(pathText_, sizeof pathText_, "%s", "?");
    writeError_.store(0, std::memory_order_relaxed);
    errno = 0;
}

Failure OutputFile::FailureOf(FailureKind kind, const char* verb, int systemError) const
{
    Failure failure;
    failure.kind = kind;
    // No cause line without the system's words; the path may be changing.
    if (systemError == 0) return failure;
    failure.systemError = systemError;
    failure.action = std::string(verb) + " " + pathText_;
    return failure;
}

// Creates the output file's directory (one level, drive included) and opens
// the file, truncating it. The one message for every way this can fail.
Failure OutputFile::Open(const wchar_t* path, std::int64_t endTicks)
{
    CreateParentDirectory(path);
    // A FIFO holds the open until a reader comes: wait no longer than the
    // recording would have lasted.
    const std::int64_t left = endTicks - static_cast<std::int64_t>(GetTickCount64());
    // Unbuffered: every chunk is one write of 64 KiB or more anyway, and a
    // write that returns has reached the file, so nothing is left for the
    // close to flush into an output that may have stopped taking data.
    file_.rdbuf()->pubsetbuf(nullptr, 0);
    RememberPath(path);
    if (WaitForFileReader(path, left > 0 ? static_cast<DWORD>(std::min<std::int64_t>(left, 0x7FFFFFFF)) : 0)) {
        file_.open(FileSystemPath(path), std::ios::binary | std::ios::out | std::ios::trunc);
    } else {
        OutputDebugStringW(L"No reader opened the output pipe before the recording's end\n");
        errno = 0;  // no system failure: the time ran out
    }
    // With the system's reason when it gave one.
    if (!file_.is_open()) return FailureOf(FailureKind::openOutput, "open", errno);
    file_.clear();
    // Recording into standard output (for a player downstream): the time
    // lines must not land in the middle of the stream, nor in standard error
    // when that is the stream too.
    if (SameFileAsStandardHandle(path, STD_OUTPUT_HANDLE)) {
        if (SameFileAsStandardHandle(path, STD_ERROR_HANDLE))
            SilenceLines();
        else
            MoveLinesToStandardError();
    }
    return Failure{};
}

Failure OutputFile::OpenSegment(const wchar_t* path, bool append)
{
    const std::filesystem::path file = FileSystemPath(path);
    std::error_code ignored;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ignored);
    file_.rdbuf()->pubsetbuf(nullptr, 0);
    RememberPath(path);
    file_.open(file, std::ios::binary | std::ios::out | (append ? std::ios::app : std::ios::trunc));
    if (!file_.is_open()) return FailureOf(FailureKind::openOutput, "open", errno);
    file_.clear();
    return Failure{};
}

bool OutputFile::Write(const char* bytes, int length)
{
    errno = 0;
    file_.write(bytes, static_cast<std::streamsize>(length));
    if (file_.fail()) {
        writeError_.store(errno, std::memory_order_relaxed);
        return false;
    }
    CountStored(*counters_, length);
    return true;
}

bool OutputFile::Close()
{
    errno = 0;
    file_.close();
    if (file_.fail()) writeError_.store(errno, std::memory_order_relaxed);
    return !file_.fail();
}

void OutputFile::Drop()
{
    file_.close();
    file_.clear();
}

Failure OutputFile::WriteFailure() const
{
    return FailureOf(FailureKind::writeOutput, "write", writeError_.load(std::memory_order_relaxed));
}

Failure SideOutputFailure(SideOutput output, int systemError, const std::string& action)
{
    Failure failure;
    switch (output) {
    case SideOutput::report: failure.kind = FailureKind::reportOutput; break;
    case SideOutput::index: failure.kind = FailureKind::indexOutput; break;
    case SideOutput::metrics: failure.kind = FailureKind::metricsOutput; break;
    }
    failure.systemError = systemError;
    failure.action = action;
    return failure;
}
