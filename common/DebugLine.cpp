#include "common/DebugLine.h"

#include "platform/Platform.h"

#include <cstdarg>
#include <cstdio>
#include <new>

void OutputDebugLine(const char* format, ...)
{
    char fixed[256];
    std::va_list arguments;
    va_start(arguments, format);
    std::va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(fixed, sizeof fixed, format, arguments);
    va_end(arguments);
    if (length < 0) {
        va_end(again);
        return;
    }
    // A long line (a deep segment path) is formatted again in full, so its
    // counts and newline are never cut off.
    const std::size_t size = static_cast<std::size_t>(length) + 1;
    char* narrow = fixed;
    if (size > sizeof fixed) {
        narrow = new (std::nothrow) char[size];
        if (narrow != nullptr) std::vsnprintf(narrow, size, format, again);
    }
    va_end(again);
    if (narrow == nullptr) return;
    wchar_t* wide = new (std::nothrow) wchar_t[size];
    if (wide != nullptr) {
        for (std::size_t i = 0; i < size; ++i) wide[i] = static_cast<unsigned char>(narrow[i]);
        OutputDebugStringW(wide);
        delete[] wide;
    }
    if (narrow != fixed) delete[] narrow;
}
