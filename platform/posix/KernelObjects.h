// Internal to the POSIX layer: the objects behind HANDLE values.
#pragma once

#include "PlatformApi.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace pelorin_win::detail {

enum class ObjectKind { event, thread };

struct KernelObject {
    explicit KernelObject(ObjectKind k) : kind(k) {}
    ObjectKind kind;
    std::atomic<int> references{1};
};

// A Win32 event. `signalled` is read without the lock so that setting a set
// event, or resetting a clear one, costs no system call; every change that can
// wake someone is made under `lock`.
struct EventObject : KernelObject {
    EventObject() : KernelObject(ObjectKind::event) {}
    bool manualReset = true;
    std::atomic<bool> signalled{false};
    std::mutex lock;
    std::condition_variable changed;
    int sleepers = 0;      // threads blocked in `changed`
    int alertableFd = -1;  // eventfd of a thread polling in an alertable wait
};

EventObject* AsEvent(HANDLE handle);
void ReleaseObject(KernelObject* object);

// Returns true when the event is signalled (and consumes it if auto-reset).
bool TryConsume(EventObject* event);

// Lets an alertable wait sleep in poll(): the event writes to `fd` when set.
// Returns false, registering nothing, if the event is already signalled.
bool RegisterAlertableWaiter(EventObject* event, int fd);
void UnregisterAlertableWaiter(EventObject* event);

DWORD WaitForEvent(EventObject* event, DWORD milliseconds);

}  // namespace pelorin_win::detail
