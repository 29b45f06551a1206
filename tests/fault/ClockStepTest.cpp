// The wall clock steps (NTP, a person with `date -s`) in the middle of a
// recording: its length still follows the monotonic clock.
#include "RecordingHarness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>

namespace {

std::atomic<long long> g_wallClockStep{0};

}  // namespace

// This binary's time(): the real wall clock plus the step the test asked for.
// Everything in the binary that reads the wall clock through time() sees it.
extern "C" std::time_t time(std::time_t* out) noexcept
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::time_t value = now.tv_sec + static_cast<std::time_t>(g_wallClockStep.load());
    if (out != nullptr) *out = value;
    return value;
}

TEST(ClockStep, TheLengthIgnoresStepsOfTheWallClock)
{
    for (long long step : {3600LL, -3600LL}) {
        SCOPED_TRACE(step);
        pelorin_win::fault::Enable();
        RecordingHarness harness;
        Watchdog watchdog("a recording of 2 s with a wall-clock step", 60);
        RecordingPlan plan;
        plan.lengthSeconds = 2;
        g_wallClockStep.store(0);
        // The step comes while the recording runs: once its first datagram is in.
        plan.datagrams = 20;
        plan.triggerAfter = 1;
        plan.trigger = [step] { g_wallClockStep.store(step); };
        const auto began = std::chrono::steady_clock::now();
        RecordingOutcome outcome = harness.Record(plan);
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        g_wallClockStep.store(0);
        pelorin_win::fault::Disable();
        EXPECT_EQ(outcome.result, 0);
        EXPECT_TRUE(HasTimeLines(outcome.output, true)) << outcome.output;
        // Neither cut short by a step forward nor stretched by a step back.
        EXPECT_GE(elapsed, 2.0);
        EXPECT_LT(elapsed, 30.0);
    }
}
