// Threads, thread priorities and critical sections.
#include "FaultInjection.h"
#include "ThreadObject.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <new>

namespace pelorin_win {

namespace {

// Best effort: higher Windows priorities become lower nice values for that
// thread alone. Never a real-time policy, which could starve the machine; a
// refusal (no privilege) leaves the thread at normal priority.
void ApplyPriority(pid_t tid, int priority)
{
    int nice = 0;
    if (priority >= THREAD_PRIORITY_TIME_CRITICAL)
        nice = -15;
    else if (priority >= THREAD_PRIORITY_HIGHEST)
        nice = -10;
    else if (priority > THREAD_PRIORITY_NORMAL)
        nice = -5;
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
}

void* ThreadTrampoline(void* argument)
{
    auto* thread = static_cast<detail::ThreadObject*>(argument);
    {
        std::lock_guard<std::mutex> guard(thread->priorityLock);
        thread->tid = static_cast<pid_t>(::syscall(SYS_gettid));
        if (thread->priorityPending) ApplyPriority(thread->tid, thread->priority);
    }
    DWORD result = thread->start(thread->parameter);
    thread->exitCode.store(result, std::memory_order_release);
    SetEvent(&thread->exited);
    detail::ReleaseObject(thread);
    return nullptr;
}

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD, LPDWORD threadId)
{
    if (fault::Fail(fault::Point::createThread)) return nullptr;
    auto* thread = new (std::nothrow) detail::ThreadObject();
    if (thread == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    thread->start = start;
    thread->parameter = parameter;
    thread->references.store(2, std::memory_order_relaxed);  // the handle and the thread

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) pthread_attr_setstacksize(&attributes, stackSize);
    pthread_t id;
    int error = pthread_create(&id, &attributes, ThreadTrampoline, thread);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        delete thread;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId != nullptr) *threadId = 0;
    return thread;
}

BOOL SetThreadPriority(HANDLE handle, int priority)
{
    auto* object = static_cast<detail::KernelObject*>(handle);
    if (object == nullptr || object->kind != detail::ObjectKind::thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto* thread = static_cast<detail::ThreadObject*>(object);
    std::lock_guard<std::mutex> guard(thread->priorityLock);
    thread->priority = priority;
    thread->priorityPending = true;
    if (thread->tid != 0) ApplyPriority(thread->tid, priority);
    return TRUE;
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode)
{
    auto* object = static_cast<detail::KernelObject*>(handle);
    if (object == nullptr || object->kind != detail::ObjectKind::thread || exitCode == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = static_cast<detail::ThreadObject*>(object)->exitCode.load(std::memory_order_acquire);
    return TRUE;
}

void InitializeCriticalSection(LPCRITICAL_SECTION section)
{
    // Recursive, as a Windows critical section is.
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&section->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void EnterCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_lock(&section->mutex); }
void LeaveCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_unlock(&section->mutex); }
void DeleteCriticalSection(LPCRITICAL_SECTION section) { pthread_mutex_destroy(&section->mutex); }

}  // namespace pelorin_win
