#include "RecordingHarness.h"

#include "DebugOutputSink.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <thread>
#include <ctime>
#include <regex>
#include <sstream>

namespace {

std::mutex g_totalsLock;
std::wstring g_totals;

// Keeps only the totals line of the debugger channel.
void KeepTotals(const wchar_t* text)
{
    if (std::wcsncmp(text, L"Recording totals:", 17) != 0) return;
    std::lock_guard<std::mutex> guard(g_totalsLock);
    g_totals = text;
}

std::atomic<unsigned> g_files{0};

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

const std::regex kStartLine("Recording started at \\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d");
const std::regex kFinishLine("Recording finished at \\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d");

}  // namespace

RecordingHarness::RecordingHarness()
    : port(UnusedLoopbackPort()),
      path(testing::TempDir() + "pelorin-fault-" + std::to_string(::getpid()) + "-" +
           std::to_string(g_files.fetch_add(1)) + ".rec")
{
    pelorin_win::SetDebugOutputSink(KeepTotals);
}

RecordingHarness::~RecordingHarness()
{
    pelorin_win::SetDebugOutputSink(nullptr);
    std::remove(path.c_str());
}

RecordingOutcome RecordingHarness::Record(const RecordingPlan& plan)
{
    using pelorin_win::fault::Point;
    namespace fault = pelorin_win::fault;

    const std::wstring widePath = Widen(path);
    RecordingSettings settings = {};
    settings.outputPath = widePath.c_str();
    settings.groupAddress = 0;  // no group: whatever reaches the port
    settings.interfaceAddress = inet_addr("127.0.0.1");
    settings.port = htons(port);
    StartRecordingClock(&settings);
    SetRecordingLength(&settings, plan.lengthSeconds);

    LoopbackStream stream(
        port, plan.shape, plan.datagrams, plan.window, [] { return fault::Calls(Point::postReceive) > 0; },
        [] { return fault::Calls(Point::completion); });
    if (plan.trigger) stream.TriggerAt(plan.triggerAfter, plan.trigger);
    {
        std::lock_guard<std::mutex> guard(g_totalsLock);
        g_totals.clear();
    }
    stream.Start();
    testing::internal::CaptureStdout();
    RecordingOutcome outcome;
    outcome.result = RunRecording(settings);
    outcome.output = testing::internal::GetCapturedStdout();
    stream.Stop();

    outcome.sent = stream.Sent();
    // What the receive thread kept: a batch taken from the socket is cut
    // short where receiving ends (out of memory), and the rest is lost with
    // what is still in the socket.
    outcome.file = ReadWholeFile(path);
    {
        std::lock_guard<std::mutex> guard(g_totalsLock);
        outcome.totals.assign(g_totals.begin(), g_totals.end());
    }
    // The recording's own count, as its totals line gave it.
    outcome.delivered = 0;
    std::sscanf(outcome.totals.c_str(), "Recording totals: %lu datagrams", &outcome.delivered);
    outcome.expected = plan.shape.Concatenation(static_cast<std::uint32_t>(outcome.delivered));
    return outcome;
}

bool HasTimeLines(const std::string& output, bool started)
{
    // A failure of the receive thread can be told before the main thread has
    // printed the start line, so only the finish line has a fixed place.
    std::istringstream lines(output);
    std::string line, last;
    int startLines = 0;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, kStartLine)) ++startLines;
        last = line;
    }
    return std::regex_match(last, kFinishLine) && startLines == (started ? 1 : 0);
}

std::string WithoutTimeLines(const std::string& output)
{
    std::istringstream lines(output);
    std::string line, rest;
    while (std::getline(lines, line))
        if (!std::regex_match(line, kStartLine) && !std::regex_match(line, kFinishLine)) rest += line + "\n";
    return rest;
}

struct Watchdog::State {
    std::mutex lock;
    std::condition_variable disarmed;
    bool done = false;
    std::thread thread;
};

Watchdog::Watchdog(std::string what, int seconds) : state(new State)
{
    state->thread = std::thread([this, what, seconds] {
        std::unique_lock<std::mutex> guard(state->lock);
        if (!state->disarmed.wait_for(guard, std::chrono::seconds(seconds), [this] { return state->done; })) {
            std::fprintf(stderr, "HANG: %s did not end within %d s\n", what.c_str(), seconds);
            std::fflush(stderr);
            std::abort();
        }
    });
}

Watchdog::~Watchdog()
{
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->done = true;
    }
    state->disarmed.notify_all();
    state->thread.join();
    delete state;
}
