// The standard streams as console handles (a terminal is a console), and
// console control events from signals.
#include "ConsoleControl.h"
#include "PlatformApi.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

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

BOOL GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO* info)
{
    const StandardStream* stream = AsStandardStream(console);
    winsize size = {};
    if (stream == nullptr || info == nullptr || ::ioctl(stream->fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *info = CONSOLE_SCREEN_BUFFER_INFO{};
    const short columns = static_cast<short>(size.ws_col > 0x7FFF ? 0x7FFF : size.ws_col);
    const short rows = static_cast<short>(size.ws_row > 0x7FFF ? 0x7FFF : size.ws_row);
    info->dwSize = COORD{columns, rows};
    info->srWindow = SMALL_RECT{0, 0, static_cast<short>(columns - 1), static_cast<short>(rows > 0 ? rows - 1 : 0)};
    info->dwMaximumWindowSize = info->dwSize;
    return TRUE;
}

namespace {

std::atomic<PHANDLER_ROUTINE> g_controlRoutine{nullptr};
std::atomic<int> g_controlSignal{0};
constexpr int kControlSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnControlSignal(int signal)
{
    const int savedErrno = errno;
    int none = 0;
    g_controlSignal.compare_exchange_strong(none, signal);
    PHANDLER_ROUTINE routine = g_controlRoutine.load();
    if (routine == nullptr || !routine(signal == SIGINT ? CTRL_C_EVENT : CTRL_BREAK_EVENT)) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
    errno = savedErrno;
}

// What each signal did before the routine was installed, put back on removal.
struct sigaction g_previous[3];

bool Install()
{
    struct sigaction action = {};
    action.sa_handler = OnControlSignal;
    sigemptyset(&action.sa_mask);
    // Blocked while the handler runs, so one routine call is never cut short by another.
    for (int signal : kControlSignals) sigaddset(&action.sa_mask, signal);
    action.sa_flags = SA_RESTART;
    bool ok = true;
    for (int i = 0; i < 3; ++i) {
        if (::sigaction(kControlSignals[i], nullptr, &g_previous[i]) != 0) {
            ok = false;
            continue;
        }
        // Ignored when we started (nohup, a background job of a script):
        // whoever started us wants the recording to outlive that signal.
        if (g_previous[i].sa_handler == SIG_IGN) continue;
        ok = ::sigaction(kControlSignals[i], &action, nullptr) == 0 && ok;
    }
    return ok;
}

bool Uninstall()
{
    bool ok = true;
    for (int i = 0; i < 3; ++i) ok = ::sigaction(kControlSignals[i], &g_previous[i], nullptr) == 0 && ok;
    return ok;
}

}  // namespace

namespace detail {
int ConsoleControlSignal() { return g_controlSignal.load(); }
}  // namespace detail

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add)
{
    // One routine at a time is all the program needs.
    if (routine == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (add) {
        g_controlRoutine.store(routine);
        return Install() ? TRUE : FALSE;
    }
    PHANDLER_ROUTINE installed = routine;
    if (!g_controlRoutine.compare_exchange_strong(installed, nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Uninstall() ? TRUE : FALSE;
}

}  // namespace pelorin_win
