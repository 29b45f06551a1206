// Events, waits and handle lifetime.
#include "KernelObjects.h"
#include "ThreadObject.h"

#include <unistd.h>

#include <chrono>
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
    if (event->manualReset) return event->signalled.load(std::memory_order_acquire);
    bool expected = true;
    return event->signalled.compare_exchange_strong(expected, false, std::memory_order_acq_rel);
}

bool RegisterAlertableWaiter(EventObject* event, int fd)
{
    std::lock_guard<std::mutex> guard(event->lock);
    if (event->signalled.load(std::memory_order_acquire)) return false;
    event->alertableFd = fd;
    return true;
}

void UnregisterAlertableWaiter(EventObject* event)
{
    std::lock_guard<std::mutex> guard(event->lock);
    event->alertableFd = -1;
}

DWORD WaitForEvent(EventObject* event, DWORD milliseconds)
{
    if (TryConsume(event)) return WAIT_OBJECT_0;
    if (milliseconds == 0) return WAIT_TIMEOUT;

    std::unique_lock<std::mutex> guard(event->lock);
    auto ready = [event] { return event->signalled.load(std::memory_order_acquire); };
    ++event->sleepers;
    bool signalled = true;
    if (milliseconds == INFINITE)
        event->changed.wait(guard, ready);
    else
        signalled = event->changed.wait_for(guard, std::chrono::milliseconds(milliseconds), ready);
    --event->sleepers;
    if (!signalled) return WAIT_TIMEOUT;
    if (!event->manualReset) event->signalled.store(false, std::memory_order_release);
    return WAIT_OBJECT_0;
}

}  // namespace detail

using detail::AsEvent;
using detail::EventObject;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR)
{
    auto* event = new (std::nothrow) EventObject();
    if (event == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    event->manualReset = manualReset != FALSE;
    event->signalled.store(initialState != FALSE, std::memory_order_relaxed);
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
    if (event->signalled.load(std::memory_order_acquire)) return TRUE;
    std::lock_guard<std::mutex> guard(event->lock);
    event->signalled.store(true, std::memory_order_release);
    if (event->sleepers > 0) {
        if (event->manualReset)
            event->changed.notify_all();
        else
            event->changed.notify_one();
    }
    if (event->alertableFd >= 0) {
        const std::uint64_t one = 1;
        // An eventfd counter cannot overflow here; a failed write only delays
        // the waiter until its next poll time-out.
        [[maybe_unused]] ssize_t written = ::write(event->alertableFd, &one, sizeof one);
    }
    return TRUE;
}

BOOL ResetEvent(HANDLE handle)
{
    EventObject* event = AsEvent(handle);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!event->signalled.load(std::memory_order_acquire)) return TRUE;
    event->signalled.store(false, std::memory_order_release);
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
