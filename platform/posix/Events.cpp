// Events, waits and handle lifetime.
#include "KernelObjects.h"
#include "ThreadObject.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <new>

namespace pelorin_win {
namespace detail {

EventObject* AsEvent(HANDLE handle)
{
    auto* object = static_cast<KernelObject*>(handle);
    if (object == nullptr || object->kind != ObjectKind::event) return nullptr;
    return static_cast<EventObject*>(object);
}

void ReleaseObject(KernelObject* object)
{
    if (object->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (object->kind == ObjectKind::event)
        delete static_cast<EventObject*>(object);
    else
        delete static_cast<ThreadObject*>(object);
}

bool TryConsume(EventObject* event)
{
    if (event->manualReset) return event->state.load(std::memory_order_acquire) != 0;
    int expected = 1;
    return event->state.compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
}

bool RegisterAlertableWaiter(EventObject* event, int fd)
{
    std::lock_guard<std::mutex> guard(event->lock);
    // Published before the state is read: a SetEvent that this read misses
    // sees the descriptor and writes to it.
    event->alertableFd.store(fd, std::memory_order_seq_cst);
    if (event->state.load(std::memory_order_seq_cst) != 0) {
        event->alertableFd.store(-1, std::memory_order_relaxed);
        return false;
    }
    return true;
}

void UnregisterAlertableWaiter(EventObject* event)
{
    std::lock_guard<std::mutex> guard(event->lock);
    event->alertableFd.store(-1, std::memory_order_relaxed);
}

namespace {

// Sleeps while `word` still holds `expected`, at most for `relative` (null:
// no limit). Spurious returns are fine: callers look again.
void FutexWait(std::atomic<int>* word, int expected, const timespec* relative)
{
    ::syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAIT_PRIVATE, expected, relative, nullptr, 0);
}

void FutexWakeAll(std::atomic<int>* word)
{
    ::syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace

DWORD WaitForEvent(EventObject* event, DWORD milliseconds)
{
    if (TryConsume(event)) return WAIT_OBJECT_0;
    if (milliseconds == 0) return WAIT_TIMEOUT;

    using Clock = std::chrono::steady_clock;
    const bool forever = milliseconds == INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : milliseconds);
    for (;;) {
        timespec relative{};
        if (!forever) {
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
            if (left <= 0) return WAIT_TIMEOUT;
            relative.tv_sec = static_cast<time_t>(left / 1000000000);
            relative.tv_nsec = static_cast<long>(left % 1000000000);
        }
        // Counted before the state is read again, so that a SetEvent either
        // is seen here or sees a sleeper and wakes it.
        event->sleepers.fetch_add(1, std::memory_order_seq_cst);
        if (event->state.load(std::memory_order_seq_cst) == 0) FutexWait(&event->state, 0, forever ? nullptr : &relative);
        event->sleepers.fetch_sub(1, std::memory_order_relaxed);
        if (TryConsume(event)) return WAIT_OBJECT_0;
    }
}

}  // namespace detail

using detail::AsEvent;
using detail::EventObject;
using detail::FutexWakeAll;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR)
{
    auto* event = new (std::nothrow) EventObject();
    if (event == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    event->manualReset = manualReset != FALSE;
    event->state.store(initialState != FALSE ? 1 : 0, std::memory_order_relaxed);
    return event;
}

BOOL SetEvent(HANDLE handle)
{
    EventObject* event = AsEvent(handle);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Already set: nobody can be waiting for this transition.
    if (event->state.load(std::memory_order_acquire) != 0) return TRUE;
    // The waiter that this set releases may close the handle at once; the
    // object must outlive the wake below.
    event->references.fetch_add(1, std::memory_order_relaxed);
    if (event->state.exchange(1, std::memory_order_seq_cst) == 0) {
        if (event->sleepers.load(std::memory_order_seq_cst) > 0) FutexWakeAll(&event->state);
        if (event->alertableFd.load(std::memory_order_seq_cst) >= 0) {
            std::lock_guard<std::mutex> guard(event->lock);
            const int fd = event->alertableFd.load(std::memory_order_relaxed);
            const std::uint64_t one = 1;
            // An eventfd counter cannot overflow here; a failed write only
            // delays the waiter until its next poll time-out.
            if (fd >= 0) {
                [[maybe_unused]] ssize_t written = ::write(fd, &one, sizeof one);
            }
        }
    }
    detail::ReleaseObject(event);
    return TRUE;
}

BOOL ResetEvent(HANDLE handle)
{
    EventObject* event = AsEvent(handle);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (event->state.load(std::memory_order_acquire) != 0) event->state.store(0, std::memory_order_release);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    auto* object = static_cast<detail::KernelObject*>(handle);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (object->kind == detail::ObjectKind::thread)
        return detail::WaitForEvent(&static_cast<detail::ThreadObject*>(object)->exited, milliseconds);
    return detail::WaitForEvent(static_cast<EventObject*>(object), milliseconds);
}

BOOL CloseHandle(HANDLE handle)
{
    auto* object = static_cast<detail::KernelObject*>(handle);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    detail::ReleaseObject(object);
    return TRUE;
}

WSAEVENT WSACreateEvent()
{
    return CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

BOOL WSACloseEvent(WSAEVENT event)
{
    if (AsEvent(event) == nullptr) {
        WSASetLastError(6);  // WSA_INVALID_HANDLE
        return FALSE;
    }
    return CloseHandle(event);
}

}  // namespace pelorin_win
