// One recording, from the socket's set-up to the last file's close. It owns
// the receiver (with its socket, Winsock, chunk queue and receive thread),
// the writer thread, the output file, the segments, the counters and the
// published health totals, and the catching of console stop events, and releases them in one place: its destructor,
// whatever failed before.
#pragma once

#include "common/Counters.h"
#include "common/Failure.h"
#include "common/OutputFile.h"
#include "common/Recording.h"
#include "front/Failures.h"
#include "pipeline/PublishedTotals.h"
#include "platform/Platform.h"

#include <cstdint>

class LiveMetrics;
class Receiver;
class SegmentRotation;
struct HealthRun;

// --no-data: when the datagram count last moved, seen from the main thread's
// polls (a tenth of a second apart at most).
struct SilenceWatch {
    ULONGLONG limitMilliseconds;  // 0: never
    std::uint64_t datagrams;
    ULONGLONG since;
    bool ended;  // the recording ended for it
};

class Recording {
public:
    explicit Recording(const RecordingSettings& settings);
    ~Recording();
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    // False when not even the receiver's memory could be had.
    bool Allocated() const { return receiver_ != nullptr; }
    // The socket, joined; the outputs of extension options checked; the
    // output file or the first segment open. 0, or the failure's result
    // (its message printed).
    HRESULT SetUp();
    // After a successful set-up: receives and writes until the end, then
    // writes the totals and the last figures. The recording's result.
    HRESULT Run();

private:
    DWORD RunWriter(SOCKET socket, HealthRun* health, LiveMetrics* metrics);
    // Once the writer has ended: shows what ended receiving early, then the
    // writer's own failure; the writer's result.
    DWORD ShowRunFailures(DWORD writerResult);
    // What ended receiving early, unless it has been shown already.
    Failure UnshownReceiveFailure() const;
    // Shows what ended receiving early as soon as it has, once: the
    // recording itself goes on to its end.
    void ShowReceiveFailureOnce();

    const RecordingSettings& settings_;
    RecordingCounters counters_;  // before the receiver and the output, which count into them
    PublishedTotals totals_;
    ShownFailures shownFailures_;  // the segments show theirs through it as they happen
    Receiver* receiver_;
    SegmentRotation* segments_ = nullptr;  // nullptr for one output file
    OutputFile output_{&counters_};  // the output file, or the current segment's
    HANDLE writerThread_ = nullptr;
    SilenceWatch silence_ = {};
    HRESULT receiveResult_ = 0;  // what ended receiving early, as a result
    bool receiveFailureShown_ = false;
    bool consoleStops_ = false;  // console stop events call RequestStop
};
