#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST(Events, ManualResetStaysSetUntilReset)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(event, 20), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(SetEvent(event));  // setting a set event is harmless
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
}

TEST(Events, AutoResetReleasesOneWait)
{
    HANDLE event = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST(Events, SetWakesAThreadWaitingWithoutTimeOut)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> result{12345};
    std::thread waiter([&] { result = WaitForSingleObject(event, INFINITE); });
    SetEvent(event);
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    CloseHandle(event);
}

TEST(Events, ManyHandOffsBetweenTwoThreadsLoseNoWakeUp)
{
    // Each side sleeps on one event while the other sets it: a set that
    // slipped between a waiter's check and its sleep would stall a round.
    HANDLE ping = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE pong = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    constexpr int kRounds = 20000;
    std::atomic<int> missed{0};
    std::thread other([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (WaitForSingleObject(ping, 10000) != WAIT_OBJECT_0) ++missed;
            ResetEvent(ping);
            SetEvent(pong);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        SetEvent(ping);
        if (WaitForSingleObject(pong, 10000) != WAIT_OBJECT_0) ++missed;
        ResetEvent(pong);
    }
    other.join();
    EXPECT_EQ(missed.load(), 0);
    CloseHandle(ping);
    CloseHandle(pong);
}

TEST(Events, WaiterMayCloseTheEventAsSoonAsItIsSet)
{
    // The receive thread closes its stop event right after the writer's set
    // releases it; the set must not touch freed memory (the sanitizer
    // builds catch it).
    for (int i = 0; i < 200; ++i) {
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::thread waiter([event] {
            WaitForSingleObject(event, INFINITE);
            CloseHandle(event);
        });
        SetEvent(event);
        waiter.join();
    }
}

TEST(Events, BadHandlesFail)
{
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

namespace {
// Threads that have come back from their wait on the gate: only then may the
// gate be closed (a handle must not be closed under a wait that uses it).
std::atomic<int> g_pastGate{0};

DWORD WINAPI ReturnParameter(LPVOID parameter)
{
    auto* gate = static_cast<HANDLE*>(parameter);
    WaitForSingleObject(*gate, INFINITE);
    g_pastGate.fetch_add(1);
    return 42;
}
}  // namespace

TEST(Threads, ExitCodeAndWaitAndEarlyClose)
{
    const int passedBefore = g_pastGate.load();
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, ReturnParameter, &gate, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    // Refused priorities (no privilege) are ignored, not failures.
    EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    SetEvent(gate);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_TRUE(CloseHandle(thread));

    // Closing the handle of a running thread is allowed; the thread lives on.
    ResetEvent(gate);
    thread = CreateThread(nullptr, 0, ReturnParameter, &gate, 0, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    SetEvent(gate);
    while (g_pastGate.load() < passedBefore + 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    CloseHandle(gate);
}

TEST(CriticalSection, IsRecursiveAndExcludesOthers)
{
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            EnterCriticalSection(&section);
            EnterCriticalSection(&section);
            ++counter;
            LeaveCriticalSection(&section);
            LeaveCriticalSection(&section);
        }
    };
    std::thread other(work);
    work();
    other.join();
    EXPECT_EQ(counter, 40000);
    DeleteCriticalSection(&section);
}
