#include "FailingAllocator.h"

#include <pthread.h>

#include <atomic>
#include <new>

namespace failing_allocator {

namespace {

std::atomic<bool> g_armed{false};
std::atomic<std::size_t> g_size{0};
std::atomic<unsigned long> g_nth{0};
std::atomic<unsigned long> g_seen{0};
std::atomic<unsigned long> g_failed{0};
std::atomic<bool> g_otherThreadsOnly{false};
std::atomic<pthread_t> g_armingThread{};

bool ShouldFail(std::size_t size)
{
    if (!g_armed.load(std::memory_order_acquire) || size != g_size.load()) return false;
    if (g_otherThreadsOnly.load() && pthread_equal(pthread_self(), g_armingThread.load())) return false;
    if (g_seen.fetch_add(1) + 1 != g_nth.load()) return false;
    g_failed.fetch_add(1);
    return true;
}

}  // namespace

void FailNth(std::size_t size, unsigned long nth, bool otherThreadsOnly)
{
    g_armed.store(false);
    g_size.store(size);
    g_nth.store(nth);
    g_seen.store(0);
    g_failed.store(0);
    g_otherThreadsOnly.store(otherThreadsOnly);
    g_armingThread.store(pthread_self());
    g_armed.store(true, std::memory_order_release);
}

void Disarm() { g_armed.store(false); }

unsigned long Failed() { return g_failed.load(); }

}  // namespace failing_allocator

// Everything that is not failed comes from the ordinary operator new, so that
// the matching delete (and a sanitizer's bookkeeping of it) stays the usual one.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    if (failing_allocator::ShouldFail(size)) return nullptr;
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    if (failing_allocator::ShouldFail(size)) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}
