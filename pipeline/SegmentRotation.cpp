#include "pipeline/SegmentRotation.h"

#include "common/Counters.h"
#include "common/DebugLine.h"
#include "common/OutputFile.h"
#include "common/Recording.h"
#include "common/SegmentFiles.h"
#include "common/SegmentNames.h"
#include "common/UtcTime.h"
#include "pipeline/Chunk.h"
#include "pipeline/HealthReport.h"
#include "pipeline/StreamHealth.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <system_error>
#include <new>
#include <vector>

namespace {

// A silence at least this long is an outage, as the health figures count it.
constexpr std::int64_t kOutageNanoseconds = 1000000000;

std::string Narrow(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return "?";
    std::string narrow(static_cast<std::size_t>(size), '\0');
    if (WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &narrow[0], size, nullptr, nullptr) == 0) return "?";
    narrow.resize(static_cast<std::size_t>(size - 1));
    return narrow;
}

std::int64_t FloorSeconds(std::int64_t unixMs)
{
    return unixMs >= 0 ? unixMs / 1000 : (unixMs - 999) / 1000;
}

// A write that failed for want of space (not a broken disk or a lost share).
bool OutOfSpace(int cause, const std::filesystem::path& file, std::uint64_t needed)
{
    if (cause == ENOSPC) return true;
#ifdef EDQUOT
    if (cause == EDQUOT) return true;
#endif
    std::error_code error;
    const std::filesystem::space_info space = std::filesystem::space(file.parent_path().empty() ? "." : file.parent_path(), error);
    return !error && space.available < needed;
}

}  // namespace

SegmentRotation::SegmentRotation(const SegmentSettings& settings)
    : pattern(settings.pattern),
      reportPattern(settings.reportPattern != nullptr ? settings.reportPattern : L""),
      withReport(settings.reportPattern != nullptr),
      keep(settings.keep),
      segmentSeconds(settings.segmentSeconds < 1 ? 1 : settings.segmentSeconds),
      unixToMonotonicNs(settings.unixToMonotonicNs),
      output(settings.output),
      counters(settings.counters),
      failures(settings.failures),
      index(settings.indexPath != nullptr ? FileSystemPath(settings.indexPath) : std::filesystem::path(),
            segmentSeconds, settings.keep != 0),
      withIndex(settings.indexPath != nullptr)
{
}

HRESULT SegmentRotation::Begin(std::int64_t startUnixMs)
{
    const std::int64_t seconds = FloorSeconds(startUnixMs);
    // Named from the start, or from the segment's boundary when the start's
    // name is the next segment's too: that file would be truncated then.
    return Open(FirstSegmentNameSeconds(pattern, seconds, segmentSeconds), startUnixMs,
                FloorDivide(seconds, segmentSeconds) * segmentSeconds);
}

HRESULT SegmentRotation::Open(std::int64_t nameUnix, std::int64_t startUnixMs, std::int64_t segmentStartUnix)
{
    const std::wstring name = SegmentFileName(pattern, nameUnix);
    const std::filesystem::path file = FileSystemPath(name.c_str());
    // A restart within the same segment goes on in its file; a file from an
    // earlier turn of a ring of names is older than the segment's start.
    std::error_code error;
    bool append = false;
    std::uint64_t existing = 0;
    if (std::filesystem::is_regular_file(file, error)) {
        const std::filesystem::file_time_type written = std::filesystem::last_write_time(file, error);
        const auto fileAge = std::filesystem::file_time_type::clock::now() - written;
        const std::int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::system_clock::now().time_since_epoch()).count();
        const auto segmentAge = std::chrono::milliseconds(nowMs - segmentStartUnix * 1000);
        append = !error && fileAge <= segmentAge;
        existing = append ? std::filesystem::file_size(file, error) : 0;
        if (error) existing = 0;
    }
    currentName = name;
    currentNameUnix = nameUnix;
    currentStartUnixMs = startUnixMs;
    bytes = existing;
    existingBytes = existing;
    datagrams = 0;
    closedLogged = false;
    fileRemoved = false;
    counters->segmentStartUnixMs.store(nameUnix * 1000, std::memory_order_release);
    if (!OpenFile(name, append)) {
        closedLogged = true;  // never opened: nothing to close or list
        return E_FAIL;
    }
    if (append) OutputDebugLine("Segment continued: %s, %llu bytes already\n", Narrow(name).c_str(),
                                static_cast<unsigned long long>(existing));
    EnforceKeep();
    return S_OK;
}

bool SegmentRotation::OpenFile(const std::wstring& name, bool append)
{
    const Failure failure = output->OpenSegment(name.c_str(), append);
    if (failure.kind == FailureKind::none) return true;
    failures->Show(failure);
    return false;
}

std::wstring SegmentRotation::CurrentReportName() const
{
    return withReport ? SegmentFileName(reportPattern, currentNameUnix) : std::wstring();
}

bool SegmentRotation::Delete(const SegmentFile& file)
{
    // A report still to come for a file about to go is never written; its
    // figures still count in the whole run's, and still tell the next
    // segment whether its first silence continues an outage.
    bool waiting = false;
    if (pendingHealth != nullptr) {
        const std::filesystem::path pending = FileSystemPath(pendingName.c_str());
        std::error_code error;
        waiting = pending == file.path || std::filesystem::equivalent(pending, file.path, error);
    }
    std::error_code error;
    std::filesystem::remove(file.path, error);
    if (error) return false;
    if (waiting) pendingReportName.clear();
    if (withIndex) index.Remove(file.path);
    if (!withReport) return true;
    const std::filesystem::path report = SegmentReportPath(reportPattern, file);
    if (!report.empty()) std::filesystem::remove(report, error);
    return true;
}

// --keep counts every file its pattern could have named, an earlier run's
// too, so that restarts cannot pile files up; never the one being written.
void SegmentRotation::EnforceKeep()
{
    if (keep == 0) return;
    const std::vector<SegmentFile> files = FindSegmentFiles(pattern);
    const std::filesystem::path current = FileSystemPath(currentName.c_str());
    std::size_t count = files.size();
    for (const SegmentFile& file : files) {
        if (count <= keep) break;
        std::error_code error;
        if (file.path == current || std::filesystem::equivalent(file.path, current, error)) continue;
        if (Delete(file)) --count;
    }
}

bool SegmentRotation::DeleteOldest()
{
    const std::filesystem::path current = FileSystemPath(currentName.c_str());
    for (const SegmentFile& file : FindSegmentFiles(pattern)) {
        std::error_code error;
        if (file.path == current || std::filesystem::equivalent(file.path, current, error)) continue;
        OutputDebugLine("Disk full: deleting %s\n", Narrow(PathText(file.path)).c_str());
        // One that cannot be deleted is passed over, or it would be found
        // again and again.
        if (Delete(file)) return true;
    }
    return false;
}

bool SegmentRotation::Write(const Chunk* chunk)
{
    const std::filesystem::path file = FileSystemPath(currentName.c_str());
    int done = 0;
    int doneDatagrams = 0;
    for (;;) {
        const int left = chunk->length - done;
        if (left == 0 || output->Write(chunk->data + done, left)) {
            bytes += static_cast<std::uint64_t>(left);
            datagrams += static_cast<std::uint64_t>(chunk->arrivalCount - doneDatagrams);
            return true;
        }
        const int cause = errno;
        output->Drop();
        // What reached the file, cut back to its last whole datagram: a
        // segment never ends inside one.
        std::error_code error;
        std::uint64_t size = std::filesystem::file_size(file, error);
        if (error) size = bytes;
        const std::uint64_t landed = size > bytes ? size - bytes : 0;
        std::uint64_t whole = 0;
        int wholeDatagrams = doneDatagrams;
        while (wholeDatagrams < chunk->arrivalCount && whole + chunk->arrivals[wholeDatagrams].bytes <= landed)
            whole += chunk->arrivals[wholeDatagrams++].bytes;
        if (size != bytes + whole) std::filesystem::resize_file(file, bytes + whole, error);
        if (whole > 0) CountStored(*counters, static_cast<int>(whole));
        bytes += whole;
        datagrams += static_cast<std::uint64_t>(wholeDatagrams - doneDatagrams);
        done += static_cast<int>(whole);
        doneDatagrams = wholeDatagrams;
        // With --keep a full disk makes room from the oldest segments.
        if (keep == 0 || !OutOfSpace(cause, file, static_cast<std::uint64_t>(chunk->length - done)) || !DeleteOldest())
            return false;
        if (!OpenFile(currentName, true)) return false;
    }
}

bool SegmentRotation::FileWasRemoved()
{
    std::error_code error;
    if (currentName.empty() || closedLogged || std::filesystem::exists(FileSystemPath(currentName.c_str()), error) ||
        error)
        return false;
    const std::string name = Narrow(currentName);
    OutputDebugLine("Segment file removed while recording: %s\n", name.c_str());
    std::fprintf(stderr, "Segment file removed while recording: %s; recording goes on in a new file.\n", name.c_str());
    std::fflush(stderr);
    // What it held is gone with it.
    bytes = 0;
    existingBytes = 0;
    datagrams = 0;
    fileRemoved = true;
    return true;
}

void SegmentRotation::CheckFilePresent()
{
    if (!FileWasRemoved()) return;
    output->Drop();
    // A failed open leaves the stream closed: the next write fails and says so.
    OpenFile(currentName, false);
}

bool SegmentRotation::Closed(bool flush)
{
    if (closedLogged) return true;
    closedLogged = true;
    const bool flushed = !flush || FlushFileToStorage(FileSystemPath(currentName.c_str())) != FALSE;
    if (existingBytes == 0)
        OutputDebugLine("Segment closed: %s, %llu bytes, %llu datagrams\n", Narrow(currentName).c_str(),
                        static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(datagrams));
    else
        OutputDebugLine("Segment closed: %s, %llu bytes, %llu datagrams, %llu bytes already\n",
                        Narrow(currentName).c_str(), static_cast<unsigned long long>(bytes - existingBytes),
                        static_cast<unsigned long long>(datagrams), static_cast<unsigned long long>(existingBytes));
    return flushed;
}

void SegmentRotation::AddToIndex(std::uint64_t outages, std::uint64_t tsPacketsLost, std::int64_t endedUnixMs,
                                 bool last)
{
    if (!withIndex) return;
    index.Add(SegmentEntry{FileSystemPath(currentName.c_str()), currentStartUnixMs, endedUnixMs, bytes - existingBytes,
                           datagrams, outages, tsPacketsLost});
    WriteIndex(last);
}

void SegmentRotation::WriteIndex(bool last)
{
    if (!index.Write(last)) {
        failures->Show(SideOutputFailure(SideOutput::index));
        reportFailed = true;
    }
}

void SegmentRotation::Close(std::int64_t endedNs, bool abandoning)
{
    // The writer is stuck in a write to this file and may come back at any
    // time: touch neither the file, nor the disk, nor what the writer keeps.
    if (abandoning) {
        Closed(false);
        return;
    }
    // The run ended in the silence after the last boundary.
    if (pendingHealth != nullptr) ReportPending(endedNs - quietFromNs >= kOutageNanoseconds);
    if (closedLogged) return;
    // Not on stable storage: a failed write as any other. A file removed
    // just now has nothing left to flush.
    std::error_code error;
    const bool present = std::filesystem::exists(FileSystemPath(currentName.c_str()), error) || error;
    if (!Closed(present)) {
        failures->Show(output->WriteFailure());
        closeFailed = true;
    }
    // Receiving may never have started (ended at 0): then the segment ends now.
    std::int64_t endedUnixMs = FloorDivide(endedNs - unixToMonotonicNs, 1000000);
    if (endedNs == 0 || endedUnixMs < currentStartUnixMs)
        endedUnixMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch()).count();
    lastEndedUnixMs = endedUnixMs;
    lastToList = true;
}

void SegmentRotation::ListLast(std::uint64_t outages, std::uint64_t tsPacketsLost)
{
    if (!lastToList) return;
    lastToList = false;
    AddToIndex(outages, tsPacketsLost, lastEndedUnixMs, true);
}

SegmentRotation::~SegmentRotation()
{
    delete pendingHealth;
}

// A closed segment's figures are final: its report, and the whole run's line.
void SegmentRotation::Reported(const StreamHealth& closed, const HealthReportInfo& info,
                               const std::wstring& reportName)
{
    AddHealthTotals(&earlierHealth, closed);
    if (reportName.empty()) return;
    if (!WriteHealthReport(FileSystemPath(reportName.c_str()), info, closed)) {
        failures->Show(SideOutputFailure(SideOutput::report));
        reportFailed = true;
    }
}

void SegmentRotation::ReportPending(bool continuing)
{
    if (pendingHealth == nullptr) return;
    if (continuing) {
        pendingHealth->MarkOutageContinuing(quietFromNs);
        continuedOpen = true;
    }
    // Its row was listed before the silence after it was settled.
    if (withIndex && index.Settle(FileSystemPath(pendingName.c_str()), pendingHealth->Outages().size(),
                                  pendingHealth->TsPacketsLost()))
        WriteIndex(false);
    Reported(*pendingHealth, pendingInfo, pendingReportName);
    delete pendingHealth;
    pendingHealth = nullptr;
}

void SegmentRotation::Arrived(StreamHealth* health, std::int64_t arrivalNs, std::uint64_t offset)
{
    ReportPending(arrivalNs - quietFromNs >= kOutageNanoseconds);
    if (continuedOpen && health != nullptr) health->MarkOutageContinued(arrivalNs, offset);
    continuedOpen = false;
}

bool SegmentRotation::Rotate(std::int64_t boundaryUnix, StreamHealth* health)
{
    // Removed since the last once-a-second look: the segment's figures and
    // its report say so.
    const bool gone = FileWasRemoved();
    if (!output->Close() || !Closed(!gone)) {
        failures->Show(output->WriteFailure());
        return false;
    }
    const std::int64_t boundaryNs = boundaryUnix * 1000000000 + unixToMonotonicNs;
    if (health != nullptr) {
        health->FinishPeriod(boundaryNs, bytes);
        // Silent since before the last boundary: an outage in both.
        ReportPending(true);
        if (continuedOpen) health->MarkOutageContinued(boundaryNs, bytes);
        HealthReportInfo info;
        info.file = FileSystemPath(currentName.c_str()).u8string();
        info.startedUnixMs = currentStartUnixMs;
        info.endedUnixMs = boundaryUnix * 1000;
        info.kernelTimestamps = counters->kernelTimestamps.load(std::memory_order_relaxed);
        info.fileRemoved = fileRemoved;
        info.datagramsInFile = static_cast<std::int64_t>(datagrams);
        info.bytesInFile = static_cast<std::int64_t>(bytes - existingBytes);
        const std::wstring reportName = CurrentReportName();
        std::int64_t quietFrom = health->StartNs();
        health->LastArrival(&quietFrom);
        continuedOpen = false;
        if (boundaryNs - quietFrom >= kOutageNanoseconds) {
            health->MarkOutageContinuing(quietFrom);
            continuedOpen = true;
            Reported(*health, info, reportName);
        } else {
            // Wait for the next datagram to tell; without the memory for
            // that, the report goes out as it is.
            pendingHealth = new (std::nothrow) StreamHealth(*health);
            if (pendingHealth == nullptr) {
                Reported(*health, info, reportName);
            } else {
                pendingInfo = info;
                pendingName = currentName;
                pendingReportName = reportName;
                quietFromNs = quietFrom;
            }
        }
    }
    AddToIndex(health != nullptr ? health->Outages().size() : 0, health != nullptr ? health->TsPacketsLost() : 0,
               boundaryUnix * 1000, false);
    if (health != nullptr) health->StartPeriod(boundaryNs);
    return Open(boundaryUnix, boundaryUnix * 1000, boundaryUnix) == S_OK;
}
