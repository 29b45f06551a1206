#include "common/ConsoleLine.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {

// Chosen by the main thread before any other thread exists.
std::atomic<bool> g_toStandardError{false};

std::FILE* LineStream()
{
    return g_toStandardError.load(std::memory_order_relaxed) ? stderr : stdout;
}

}  // namespace

void PrintLine(const char* text)
{
    std::FILE* stream = LineStream();
    std::fputs(text, stream);
    std::fputc('\n', stream);
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

void MoveLinesToStandardError()
{
    g_toStandardError.store(true, std::memory_order_relaxed);
}
