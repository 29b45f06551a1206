#include "common/ConsoleLine.h"

#include "platform/Platform.h"

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <ctime>

namespace {

// Chosen by the main thread before any other thread exists.
// Process state, as the standard handles they pick between are: one process, one stdout.
std::atomic<bool> g_toStandardError{false};
std::atomic<bool> g_silent{false};

std::FILE* LineStream()
{
    return g_toStandardError.load(std::memory_order_relaxed) ? stderr : stdout;
}

}  // namespace

void PrintLine(const char* text)
{
    if (g_silent.load(std::memory_order_relaxed)) return;
    std::FILE* stream = LineStream();
    // One write for the line and its end: the receive thread's failure line
    // and the main thread's start line may be printed at the same moment.
    char line[1024];
    const int length = std::snprintf(line, sizeof line, "%s\n", text);
    if (length > 0 && static_cast<std::size_t>(length) < sizeof line) {
        std::fwrite(line, 1, static_cast<std::size_t>(length), stream);
    } else {
        std::fputs(text, stream);
        std::fputc('\n', stream);
    }
    std::fflush(stream);
}

void PrintFormattedLine(const char* format, ...)
{
    char text[512];
    std::va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    PrintLine(text);
}

void PrintCause(const char* action, int systemError)
{
    if (g_silent.load(std::memory_order_relaxed)) return;
    char words[300];
    if (!DescribeSystemError(systemError, words, sizeof words)) return;
    std::fflush(stdout);
    std::fprintf(stderr, "pelorin: %s: %s\n", action, words);
    std::fflush(stderr);
}

void MoveLinesToStandardError()
{
    g_toStandardError.store(true, std::memory_order_relaxed);
}

void SilenceLines()
{
    g_silent.store(true, std::memory_order_relaxed);
}

// What "%c" gives in the C locale on Windows: 03/07/11 14:05:09. Spelled out
// because other C libraries format %c differently.
void PrintTimeLine(const char* label)
{
    std::time_t now = std::time(nullptr);
    std::tm local = {};
    char text[80] = {};
    char format[64];
    std::snprintf(format, sizeof format, "%s %%m/%%d/%%y %%H:%%M:%%S", label);
    if (localtime_s(&local, &now) == 0) std::strftime(text, sizeof text, format, &local);
    PrintLine(text);
}
