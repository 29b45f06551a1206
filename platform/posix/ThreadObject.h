// Internal to the POSIX layer: the object behind a thread HANDLE.
#pragma once

#include "KernelObjects.h"

#include <sys/types.h>

namespace pelorin_win::detail {

// Shared by the handle and the running thread (two references), so either
// may go first: closing the handle of a running thread is allowed.
struct ThreadObject : KernelObject {
    ThreadObject() : KernelObject(ObjectKind::thread) {}
    EventObject exited;  // manual reset, set when the start routine returned
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID parameter = nullptr;
    std::atomic<DWORD> exitCode{STILL_ACTIVE};

    std::mutex priorityLock;  // orders SetThreadPriority against the thread's start
    pid_t tid = 0;
    bool priorityPending = false;
    int priority = THREAD_PRIORITY_NORMAL;
};

}  // namespace pelorin_win::detail
