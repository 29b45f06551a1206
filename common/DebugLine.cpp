#include "common/DebugLine.h"

#include "platform/Platform.h"

#include <cstdarg>
#include <cstdio>

void OutputDebugLine(const char* format, ...)
{
    char narrow[256];
    std::va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(narrow, sizeof narrow, format, arguments);
    va_end(arguments);
    if (length < 0) return;
    wchar_t wide[sizeof narrow];
    std::size_t i = 0;
    for (; narrow[i] != '\0' && i + 1 < sizeof narrow; ++i) wide[i] = static_cast<unsigned char>(narrow[i]);
    wide[i] = L'\0';
    OutputDebugStringW(wide);
}
