// Console stop events on POSIX: SIGINT, SIGTERM and SIGHUP, caught by the
// console control routine of Console.cpp, which ends the process by the same
// signal once it is done.
#include "platform/ConsoleStop.h"

#include "PlatformApi.h"

#include <atomic>

using namespace pelorin_win;

namespace {

std::atomic<bool (*)()> g_requestStop{nullptr};

// Runs in the signal handler; a second signal gets the system's action.
BOOL WINAPI OnConsoleControl(DWORD)
{
    bool (*requestStop)() = g_requestStop.load();
    return requestStop != nullptr && requestStop() ? TRUE : FALSE;
}

}  // namespace

bool CatchConsoleStops(bool (*requestStop)())
{
    g_requestStop.store(requestStop);
    return SetConsoleCtrlHandler(OnConsoleControl, TRUE) != FALSE;
}

void ReleaseConsoleStops()
{
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    g_requestStop.store(nullptr);
}
