// The standard streams as console handles: a terminal is a console.
#include "PlatformApi.h"

#include <unistd.h>

namespace pelorin_win {

namespace {

// A standard handle stands for one of the process's first three descriptors.
struct StandardStream {
    int fd;
};

StandardStream g_standardStreams[] = {{STDIN_FILENO}, {STDOUT_FILENO}, {STDERR_FILENO}};

const StandardStream* AsStandardStream(HANDLE handle)
{
    for (const StandardStream& stream : g_standardStreams)
        if (handle == &stream) return &stream;
    return nullptr;
}

// What Windows reports for an ordinary console screen buffer: processed
// output that wraps at the end of a line.
constexpr DWORD kConsoleOutputMode = 0x0001 | 0x0002;

}  // namespace

HANDLE GetStdHandle(DWORD standardHandle)
{
    switch (standardHandle) {
    case STD_INPUT_HANDLE: return &g_standardStreams[0];
    case STD_OUTPUT_HANDLE: return &g_standardStreams[1];
    case STD_ERROR_HANDLE: return &g_standardStreams[2];
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
}

BOOL GetConsoleMode(HANDLE console, LPDWORD mode)
{
    const StandardStream* stream = AsStandardStream(console);
    if (stream == nullptr || mode == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (::isatty(stream->fd) != 1) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *mode = kConsoleOutputMode;
    return TRUE;
}

}  // namespace pelorin_win
