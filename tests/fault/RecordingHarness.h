// Whole recordings in-process: the real run, from the settings to the
// teardown, on 127.0.0.1 with a numbered stream, and everything a fault test
// looks at afterwards.
#pragma once

#include "LoopbackStream.h"

#include "FaultInjection.h"
#include "front/CommandLine.h"
#include "front/RecordingRun.h"
#include "front/StatusLine.h"

#include <cstdint>
#include <functional>
#include <string>

struct RecordingOutcome {
    HRESULT result = 0;
    std::string output;           // standard output of the run
    std::string file;             // the recording
    unsigned long delivered = 0;  // datagrams the receive thread took and kept (its datagram count)
    std::uint32_t sent = 0;
    std::string expected;         // the first `delivered` datagrams, back to back
    std::string totals;           // the debugger channel's totals line, "" if none
};

struct RecordingPlan {
    std::int64_t lengthSeconds = 1;  // endTime - startTime; negative: already over
    StreamShape shape;
    std::uint32_t datagrams = 0;     // sent once the first receive is posted
    std::uint32_t window = 32;
    // Run on the sending thread once the receive thread has taken this many
    // datagrams (never when 0).
    std::uint32_t triggerAfter = 0;
    std::function<void()> trigger;
};

class RecordingHarness {
public:
    RecordingHarness();
    ~RecordingHarness();

    // One recording into the harness's file. The caller has enabled the fault
    // points (and armed what it wants) just before: the sender starts at the
    // first posted receive and the outcome's counts come from those points.
    RecordingOutcome Record(const RecordingPlan& plan);

    std::uint16_t port;
    std::string path;
};

// Aborts the test binary with a message if it is not disarmed (destroyed)
// within `seconds`: a hang becomes a failure that says where it happened.
class Watchdog {
public:
    Watchdog(std::string what, int seconds);
    ~Watchdog();

private:
    struct State;
    State* state;
};

// One "Recording started at ..." line (none unless `started`), and
// "Recording finished at ..." as the last line.
bool HasTimeLines(const std::string& output, bool started);
// The output without its two time lines.
std::string WithoutTimeLines(const std::string& output);
