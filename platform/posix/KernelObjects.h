// Internal to the POSIX layer: the objects behind HANDLE values.
#pragma once

#include "PlatformApi.h"

#include <atomic>
#include <mutex>

namespace pelorin_win::detail {

enum class ObjectKind { event, thread };

struct KernelObject {
    explicit KernelObject(ObjectKind k) : kind(k) {}
    ObjectKind kind;
    std::atomic<int> references{1};
};

// A Win32 event. `state` (1 = signalled) is also the futex word: setting a
// set event, resetting a clear one and any set that nobody waits for cost no
// system call. `lock` only orders an alertable waiter's eventfd against SetEvent.
struct EventObject : KernelObject {
    EventObject() : KernelObject(ObjectKind::event) {}
    bool manualReset = true;
    std::atomic<int> state{0};
    std::atomic<int> sleepers{0};       // threads in a futex wait on `state`
    std::atomic<int> alertableFd{-1};   // eventfd of a thread polling in an alertable wait
    std::mutex lock;
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
