#include "FaultInjection.h"

#include <atomic>

namespace pelorin_win::fault {

namespace {

struct PointState {
    std::atomic<unsigned long> calls{0};
    std::atomic<unsigned long> failures{0};
    // Calls numbered first .. first + times - 1 fail; first 0 means unarmed.
    std::atomic<unsigned long> first{0};
    std::atomic<unsigned long> times{0};
    std::atomic<int> error{0};
};

std::atomic<bool> g_enabled{false};
PointState g_points[static_cast<int>(Point::count)];

PointState& StateOf(Point point) { return g_points[static_cast<int>(point)]; }

void Clear()
{
    for (PointState& state : g_points) {
        state.first.store(0);
        state.times.store(0);
        state.error.store(0);
        state.calls.store(0);
        state.failures.store(0);
    }
}

}  // namespace

void Enable()
{
    g_enabled.store(false);
    Clear();
    g_enabled.store(true);
}

void Disable()
{
    g_enabled.store(false);
    Clear();
}

void Arm(Point point, unsigned long nth, int error, unsigned long times)
{
    if (!g_enabled.load()) Enable();
    PointState& state = StateOf(point);
    state.first.store(0);  // no half-armed window for a concurrent caller
    state.error.store(error);
    state.times.store(times);
    state.first.store(state.calls.load() + (nth == 0 ? 1 : nth));
}

unsigned long Calls(Point point) { return StateOf(point).calls.load(); }
unsigned long Failures(Point point) { return StateOf(point).failures.load(); }

int Check(Point point)
{
    if (!g_enabled.load(std::memory_order_relaxed)) return 0;
    PointState& state = StateOf(point);
    const unsigned long call = state.calls.fetch_add(1) + 1;
    const unsigned long first = state.first.load();
    if (first == 0 || call < first || call - first >= state.times.load()) return 0;
    state.failures.fetch_add(1);
    return state.error.load();
}

bool Fail(Point point)
{
    const int error = Check(point);
    if (error == 0) return false;
    WSASetLastError(error);
    SetLastError(static_cast<DWORD>(error));
    return true;
}

}  // namespace pelorin_win::fault
