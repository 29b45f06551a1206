#include "front/StatusLine.h"

#include "common/DebugLine.h"
#include "common/Recording.h"
#include "common/SegmentNames.h"
#include "receiver/Receiver.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <string>
#include <vector>

bool StatusLineWanted()
{
    HANDLE standardError = GetStdHandle(STD_ERROR_HANDLE);
    if (standardError == nullptr || standardError == INVALID_HANDLE_VALUE) return false;
    DWORD mode = 0;
    return GetConsoleMode(standardError, &mode) != FALSE;
}

StatusSample TakeStatusSample(const RecordingCounters& counters, std::int64_t startTicks, SOCKET socket)
{
    StatusSample sample = {};
    sample.ticks = GetTickCount64();
    sample.elapsedSeconds = (static_cast<std::int64_t>(sample.ticks) - startTicks) / 1000;
    sample.datagrams = counters.datagramsReceived.load(std::memory_order_relaxed);
    sample.bytesReceived = counters.bytesReceived.load(std::memory_order_relaxed);
    sample.bytesStored = counters.bytesStored.load(std::memory_order_relaxed);
    ULONGLONG drops = 0;
    if (socket != INVALID_SOCKET && QuerySocketDrops(socket, &drops)) {
        sample.drops = drops;
        sample.dropsKnown = true;
    } else if (counters.socketDropsKnown.load(std::memory_order_acquire)) {
        sample.drops = counters.socketDrops.load(std::memory_order_relaxed);
        sample.dropsKnown = true;
    }
    sample.notQueued = counters.datagramsNotQueued.load(std::memory_order_relaxed);
    if (counters.healthSeconds.load(std::memory_order_acquire) != 0) {
        sample.healthKnown = true;
        sample.iatMaxUs = counters.healthIatMaxUs.load(std::memory_order_relaxed);
        sample.dfMicroseconds = counters.healthDfMicroseconds.load(std::memory_order_relaxed);
        sample.mlr = counters.healthMlr.load(std::memory_order_relaxed);
    }
    return sample;
}

bool ReceiveBufferAdvice(int granted, int asked, char* text, std::size_t size)
{
    if (granted <= 0 || granted >= asked) return false;  // 0: the system did not say
    const char* remedy = ReceiveBufferRemedy();
    std::snprintf(text, size, "receive buffer %d bytes, %d asked: datagrams may be lost in a stall%s%s", granted,
                  asked, *remedy != '\0' ? "; " : "", remedy);
    return true;
}

int StatusLineWidth()
{
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    return width > 0 ? width : 0;
}

void FormatDuration(std::int64_t seconds, char* text, std::size_t size)
{
    if (seconds < 0) seconds = 0;
    std::snprintf(text, size, "%" PRId64 ":%02d:%02d", seconds / 3600, static_cast<int>(seconds / 60 % 60),
                  static_cast<int>(seconds % 60));
}

namespace {

// Three significant digits in the largest unit that keeps the value at 1 or
// more; the base unit is shown as a whole number.
void FormatScaled(double value, const char* const* units, int unitCount, char* text, std::size_t size)
{
    int unit = 0;
    while (unit + 1 < unitCount && value >= 999.5) {
        value /= 1000.0;
        ++unit;
    }
    if (unit == 0)
        std::snprintf(text, size, "%.0f %s", value, units[0]);
    else if (value < 9.995)
        std::snprintf(text, size, "%.2f %s", value, units[unit]);
    else if (value < 99.95)
        std::snprintf(text, size, "%.1f %s", value, units[unit]);
    else
        std::snprintf(text, size, "%.0f %s", value, units[unit]);
}

}  // namespace

void FormatBytes(std::uint64_t bytes, char* text, std::size_t size)
{
    static const char* const units[] = {"B", "kB", "MB", "GB", "TB", "PB"};
    FormatScaled(static_cast<double>(bytes), units, 6, text, size);
}

void FormatBitRate(double bitsPerSecond, char* text, std::size_t size)
{
    static const char* const units[] = {"bit/s", "kbit/s", "Mbit/s", "Gbit/s", "Tbit/s"};
    FormatScaled(bitsPerSecond < 0 ? 0 : bitsPerSecond, units, 5, text, size);
}

namespace {

double BitsPerSecond(std::uint64_t bytes, ULONGLONG milliseconds)
{
    if (milliseconds == 0) return 0;
    return static_cast<double>(bytes) * 8000.0 / static_cast<double>(milliseconds);
}

}  // namespace

StatusLine::StatusLine(std::int64_t total, const StatusSample& start)
    : totalSeconds(total), first(start), previous(start), lastArrivalTicks(start.ticks)
{
}

namespace {

// The least of a segment's name worth showing: "..." and its last 12 characters.
constexpr std::size_t kShortestTrailer = 15;

// One field of the line when it must fit a narrow terminal: the lower its
// rank, the longer it stays.
struct Field {
    int rank;
    std::string text;
};

// The fields of rank up to `keep`, in their order, with `separator`.
std::string Join(const std::vector<Field>& fields, int keep, const char* separator)
{
    std::string line;
    for (const Field& field : fields) {
        if (field.rank > keep || field.text.empty()) continue;
        if (!line.empty()) line += separator;
        line += field.text;
    }
    return line;
}

// What an operator reads first, in this order: the time, the rate, anything
// wrong (no data, drops, late writes), the amount stored, the network's
// figures, the datagram count. Fields go from the end of that list until the
// line fits; then the blanks between them narrow.
std::string FitFields(const std::vector<Field>& fields, int highest, std::size_t limit)
{
    for (int keep = highest; keep >= 1; --keep) {
        for (const char* separator : {"  ", " "}) {
            std::string line = Join(fields, keep, separator);
            if (line.size() <= limit) return line;
        }
    }
    return Join(fields, 1, " ");  // clipped by Show
}

}  // namespace

void StatusLine::Compose(const StatusSample& now, double bitsPerSecond, const char* rateSuffix, const char* warning)
{
    char elapsed[32];
    char total[32];
    char stored[32];
    char rate[32];
    char drops[80] = "";
    char dropped[40] = "";
    char late[40] = "";
    if (now.dropsKnown && now.drops > 0) {
        std::snprintf(drops, sizeof drops, "  %" PRIu64 " dropped", now.drops);
        std::snprintf(dropped, sizeof dropped, "%" PRIu64 " dropped", now.drops);
    }
    if (now.notQueued > 0) {
        const std::size_t used = std::strlen(drops);
        std::snprintf(drops + used, sizeof drops - used, "  %" PRIu64 " not written in time", now.notQueued);
        std::snprintf(late, sizeof late, "%" PRIu64 " late", now.notQueued);
    }
    FormatDuration(now.elapsedSeconds, elapsed, sizeof elapsed);
    FormatDuration(totalSeconds, total, sizeof total);
    FormatBytes(now.bytesStored, stored, sizeof stored);
    FormatBitRate(bitsPerSecond, rate, sizeof rate);
    char health[64] = "";
    char network[64] = "";
    if (now.healthKnown) {
        std::snprintf(health, sizeof health, "  IAT max %.1f ms  MDI %.1f:%" PRIu64, now.iatMaxUs / 1000.0,
                      static_cast<double>(now.dfMicroseconds) / 1000.0, now.mlr);
        std::snprintf(network, sizeof network, "IAT %.1fms MDI %.1f:%" PRIu64, now.iatMaxUs / 1000.0,
                      static_cast<double>(now.dfMicroseconds) / 1000.0, now.mlr);
    }
    // Everything, as wide as it comes.
    std::snprintf(text, sizeof text, "%s / %s  stored %s  %s%s  %" PRIu64 " datagrams%s%s%s", elapsed, total, stored,
                  rate, rateSuffix, now.datagrams, drops, warning, health);
    const std::size_t limit = width > 1 ? static_cast<std::size_t>(width - 1) : 0;
    const std::size_t trailerLength = std::strlen(trailer);
    if (limit != 0 && std::strlen(text) + (trailerLength != 0 ? 2 + trailerLength : 0) > limit) {
        char datagrams[40];
        std::snprintf(datagrams, sizeof datagrams, "%" PRIu64 " datagrams", now.datagrams);
        // "  no data for 3 s" becomes "no data 3s".
        std::string silence = warning;
        if (silence.rfind("  no data for ", 0) == 0)
            silence = "no data " + silence.substr(14, silence.size() - 14 - 2) + "s";
        else if (!silence.empty())
            silence = silence.substr(2);
        const std::vector<Field> fields = {
            {1, std::string(elapsed) + "/" + total},
            {2, std::string(rate) + (*rateSuffix != '\0' ? " avg" : "")},
            {3, silence},
            {3, dropped},
            {3, late},
            {4, stored},
            {5, network},
            {6, datagrams},
        };
        // A segment's name, when there is one, comes before the datagram count.
        const std::string fitted = FitFields(fields, trailerLength != 0 ? 5 : 6, limit);
        std::snprintf(text, sizeof text, "%s", fitted.c_str());
    }
    AppendTrailer(limit);
}

void StatusLine::AppendTrailer(std::size_t limit)
{
    if (*trailer == '\0') return;
    const std::size_t used = std::strlen(text);
    const std::size_t length = std::strlen(trailer);
    // Clipped, a name keeps its end, where a segment's time is.
    constexpr std::size_t kShortest = kShortestTrailer;
    const char* shown = trailer;
    const char* mark = "";
    if (limit != 0 && used + 2 + length > limit) {
        if (used + 2 + kShortest > limit) return;  // no room for it
        const std::size_t room = limit - used - 2 - 3;
        shown = trailer + (length - room);
        mark = "...";
    }
    std::snprintf(text + used, sizeof text - used, "  %s%s", mark, shown);
}

const char* StatusLine::Update(const StatusSample& now)
{
    if (now.datagrams != previous.datagrams) lastArrivalTicks = now.ticks;
    char warning[48] = "";
    const ULONGLONG silent = now.ticks - lastArrivalTicks;
    if (silent >= kSilenceWarningMilliseconds)
        std::snprintf(warning, sizeof warning, "  no data for %" PRIu64 " s", static_cast<std::uint64_t>(silent / 1000));
    Compose(now, BitsPerSecond(now.bytesReceived - previous.bytesReceived, now.ticks - previous.ticks), "", warning);
    previous = now;
    return text;
}

const char* StatusLine::Final(const StatusSample& now)
{
    Compose(now, BitsPerSecond(now.bytesReceived - first.bytesReceived, now.ticks - first.ticks), " average",
            now.datagrams == 0 ? "  no data" : "");
    previous = now;
    return text;
}

void StatusLine::SetTrailer(const char* value)
{
    // Its end, when it is longer: a segment's time is there.
    std::size_t length = std::strlen(value);
    if (length >= sizeof trailer) {
        value += length - (sizeof trailer - 1);
        length = sizeof trailer - 1;
    }
    std::memcpy(trailer, value, length);
    trailer[length] = '\0';
}

void StatusLine::SetWidth(int columns)
{
    width = columns;
}

void StatusLine::Show(std::FILE* stream, const char* line, bool last, int width)
{
    // One write per refresh, so the terminal never shows half a line.
    char buffer[2 * sizeof text + 4];
    std::size_t length = std::strlen(line);
    if (length >= sizeof text) length = sizeof text - 1;
    if (width > 0 && length > static_cast<std::size_t>(width - 1)) length = static_cast<std::size_t>(width - 1);
    if (width > 0 && shownLength > static_cast<std::size_t>(width - 1)) shownLength = static_cast<std::size_t>(width - 1);
    std::size_t used = 0;
    buffer[used++] = '\r';
    std::memcpy(buffer + used, line, length);
    used += length;
    for (std::size_t i = length; i < shownLength && used + 2 < sizeof buffer; ++i) buffer[used++] = ' ';
    if (last) buffer[used++] = '\n';
    std::fwrite(buffer, 1, used, stream);
    std::fflush(stream);
    shownLength = last ? 0 : length;
}

StatusDisplay::StatusDisplay(const RecordingSettings& settingsOfRun, const RecordingCounters& countersOfRun,
                             SOCKET socketCopy, int receiveBufferGranted)
    : settings(settingsOfRun),
      counters(countersOfRun),
      wanted(StatusLineWanted()),
      socket(socketCopy),
      line((settings.endTicks - settings.startTicks) / 1000, TakeStatusSample(counters, settings.startTicks, socketCopy))
{
    char advice[256];
    if (wanted && ReceiveBufferAdvice(receiveBufferGranted, kReceiveBufferBytes, advice, sizeof advice)) {
        std::fputs(advice, stderr);
        std::fputs("\n", stderr);
    }
    Refresh();
}

namespace {

// The current segment's file, for a segmented recording.
void ShowSegment(const RecordingSettings& settings, const RecordingCounters& counters, StatusLine* line)
{
    if (settings.segmentSeconds == 0) return;
    const std::int64_t startMs = counters.segmentStartUnixMs.load(std::memory_order_acquire);
    const std::wstring name = SegmentFileName(settings.outputPath, startMs / 1000);
    // As long as a path may be; the line is clipped to the terminal anyway.
    char narrow[4 * 4096];
    if (WideCharToMultiByte(CP_ACP, 0, name.c_str(), -1, narrow, sizeof narrow, nullptr, nullptr) != 0)
        line->SetTrailer(narrow);
}

}  // namespace

void StatusDisplay::Refresh()
{
    if (!wanted) return;
    ShowSegment(settings, counters, &line);
    const int width = StatusLineWidth();
    line.SetWidth(width);
    line.Show(stderr, line.Update(TakeStatusSample(counters, settings.startTicks, socket)), false, width);
}

void StatusDisplay::Finish()
{
    if (!wanted) return;
    const int width = StatusLineWidth();
    line.SetWidth(width);
    line.Show(stderr, line.Final(TakeStatusSample(counters, settings.startTicks, socket)), true, width);
    wanted = false;
}

// One line of totals at the end of every recording, for the debugger channel.
void ReportTotals(const RecordingCounters& counters, std::int64_t startTicks, SOCKET socket)
{
    StatusSample totals = TakeStatusSample(counters, startTicks, socket);
    char drops[32] = "unknown";
    if (totals.dropsKnown) std::snprintf(drops, sizeof drops, "%llu", static_cast<unsigned long long>(totals.drops));
    OutputDebugLine("Recording totals: %llu datagrams, %llu bytes stored, %s dropped, %llu not written in time\n",
                    static_cast<unsigned long long>(totals.datagrams),
                    static_cast<unsigned long long>(totals.bytesStored), drops,
                    static_cast<unsigned long long>(totals.notQueued));
}
