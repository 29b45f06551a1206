// Console stop events on Windows: a console control handler, which the
// system calls on a thread of its own.
#include "platform/ConsoleStop.h"

#include <windows.h>

#include <atomic>

namespace {

std::atomic<bool (*)()> g_requestStop{nullptr};

BOOL WINAPI OnConsoleControl(DWORD controlType)
{
    bool (*requestStop)() = g_requestStop.load();
    // Asked twice: the system's own action ends the process at once.
    if (requestStop == nullptr || !requestStop()) return FALSE;
    // After a close event the system ends the process as soon as this
    // returns; the recording finishes meanwhile, and the process with it.
    if (controlType == CTRL_CLOSE_EVENT) Sleep(INFINITE);
    return TRUE;
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
