#include "pipeline/WriterThread.h"

#include "common/Counters.h"
#include "common/OutputFile.h"
#include "common/Recording.h"
#include "pipeline/Chunk.h"
#include "pipeline/ChunkQueue.h"
#include "pipeline/PublishedTotals.h"
#include "pipeline/SegmentRotation.h"
#include "pipeline/StreamHealth.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace {

// The system's drops and the segment file's presence are looked at this often.
constexpr ULONGLONG kChoreMilliseconds = 1000;

std::atomic<bool> g_stopRequested{false};
std::atomic<HANDLE> g_stopWake{nullptr};
std::atomic<int> g_wakesInFlight{0};

// Every datagram of the chunk, in arrival order, at its place in the file.
void FeedHealth(StreamHealth* health, const Chunk* chunk, std::uint64_t fileOffset)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(chunk->data);
    std::uint64_t position = 0;
    for (int i = 0; i < chunk->arrivalCount; ++i) {
        const DatagramArrival& arrival = chunk->arrivals[i];
        health->AddDatagram(bytes + position, arrival.bytes, arrival.nanoseconds, fileOffset + position);
        position += arrival.bytes;
    }
}

// A datagram may wait this long in the system between its arrival time and
// its count, so the figures' clock stays this far behind the clock.
constexpr std::int64_t kArrivalSlackNs = 100000000;

// The datagrams the receive side has counted, and not dropped for a full
// queue: once the figures have been fed as many, nothing waits for them.
std::uint64_t DatagramsToFeed(const RecordingCounters& counters)
{
    return counters.datagramsReceived.load(std::memory_order_acquire) -
           counters.datagramsNotQueued.load(std::memory_order_relaxed);
}

// The last complete second's figures, for the status line and the metrics.
void PublishHealth(const StreamHealth* health, RecordingCounters& counters, PublishedTotals* totals)
{
    HealthInterval last = {};
    if (!health->LastCompleteSecond(&last)) return;
    const auto seconds = static_cast<std::uint64_t>(last.t + 1);
    if (counters.healthSeconds.load(std::memory_order_relaxed) == seconds) return;
    if (totals != nullptr) totals->Publish(*health);
    counters.healthIatMaxUs.store(last.iatMaxUs, std::memory_order_relaxed);
    counters.healthDfMicroseconds.store(static_cast<std::uint64_t>(last.dfMs * 1000.0), std::memory_order_relaxed);
    counters.healthMlr.store(last.mlr, std::memory_order_relaxed);
    counters.healthSeconds.store(seconds, std::memory_order_release);
}

}  // namespace

bool TakeFiguresFromStalledWriter(FiguresHandOver* figures, ChunkQueue* queue, StreamHealth* health)
{
    int released = kFiguresFree;
    if (!figures->owner.compare_exchange_strong(released, kFiguresTaken, std::memory_order_acq_rel)) return false;
    // What was queued but never stored still tells what the network did, up
    // to the end of the file the figures are about.
    std::uint64_t fileOffset = figures->nextOffset;
    bool sameFile = true;
    for (int queued = queue->Count(); queued > 0; --queued) {
        Chunk* chunk = queue->Front();
        queue->PopFront();
        if (chunk->segmentStart != 0) sameFile = false;
        if (health != nullptr && sameFile) {
            FeedHealth(health, chunk, fileOffset);
            fileOffset += static_cast<std::uint64_t>(chunk->length);
        }
        FreeChunk(chunk);
    }
    return true;
}

bool RequestStop()
{
    if (g_stopRequested.exchange(true)) return false;
    // Counted before the event is read: a refusal that this read misses waits
    // for the count to drop before the event can be closed.
    g_wakesInFlight.fetch_add(1);
    if (HANDLE wake = g_stopWake.load()) SetEvent(wake);
    g_wakesInFlight.fetch_sub(1);
    return true;
}

bool StopRequested()
{
    return g_stopRequested.load(std::memory_order_relaxed);
}

void AcceptStopRequests(HANDLE wakeEvent)
{
    g_stopRequested.store(false);
    g_stopWake.store(wakeEvent);
}

void RefuseStopRequests()
{
    g_stopWake.store(nullptr);
    while (g_wakesInFlight.load() != 0) Sleep(1);
}

namespace {

// What the writer thread keeps from pass to pass.
struct WriterState {
    bool writeFailed = false;
    bool failureShown = false;  // the segments showed the failure's line as it happened
    StreamHealth* health = nullptr;
    SegmentRotation* segments = nullptr;
    std::uint64_t fileOffset = 0;  // in the current file
    ULONGLONG lastDropsQuery = 0;
    ULONGLONG lastPresenceCheck = 0;
    // Datagrams fed to the figures, to hold against what the receive side
    // counted (both from the start of the recording).
    std::uint64_t fed = 0;
};

// One chunk off the queue: a segment marker turns the files over, anything
// else goes into the figures and then into the file. False when the main
// thread gave up on this thread during the write: it must end at once.
bool StoreChunk(const WriterInputs* inputs, WriterState* state, Chunk* chunk)
{
    if (chunk->segmentStart != 0) {
        if (!state->writeFailed && state->segments != nullptr &&
            !state->segments->Rotate(chunk->segmentStart, state->health))
            state->writeFailed = state->failureShown = true;
        state->fileOffset = state->segments != nullptr ? state->segments->CurrentBytes() : 0;
        FreeChunk(chunk);
        return true;
    }
    if (state->health != nullptr) {
        FeedHealth(state->health, chunk, state->fileOffset);
        state->fed += static_cast<std::uint64_t>(chunk->arrivalCount);
    }
    // The first datagram after a boundary settles a silence across it.
    if (state->segments != nullptr && state->segments->AwaitsArrival() && chunk->arrivalCount > 0)
        state->segments->Arrived(state->health, chunk->arrivals[0].nanoseconds, state->fileOffset);
    state->fileOffset += static_cast<std::uint64_t>(chunk->length);
    // During the write the figures are free: a main thread that gives up on
    // a write that never returns may take them for its report.
    if (inputs->figures != nullptr) {
        inputs->figures->nextOffset = state->fileOffset;
        inputs->figures->owner.store(kFiguresFree, std::memory_order_release);
    }
    if (!state->writeFailed) {
        // A segment counts what really reached its file.
        const bool written = state->segments != nullptr ? state->segments->Write(chunk)
                                                        : inputs->output->Write(chunk->data, chunk->length);
        if (!written) state->writeFailed = true;
        if (state->segments != nullptr) state->fileOffset = state->segments->CurrentBytes();
    }
    inputs->queue->Pool()->Give(chunk);
    int released = kFiguresFree;
    return inputs->figures == nullptr || inputs->figures->owner.compare_exchange_strong(released, kFiguresWriter);
}

// The status line's figures, and the system's drops about once a second.
void SampleHealth(const WriterInputs* inputs, WriterState* state)
{
    if (state->health == nullptr) return;
    // The seconds go on with the clock while nothing received waits to be
    // fed, so that a silence shows at once and the status line keeps up.
    if (state->fed >= DatagramsToFeed(*inputs->counters))
        state->health->Advance(MonotonicNanoseconds() - kArrivalSlackNs);
    PublishHealth(state->health, *inputs->counters, inputs->totals);
    if (GetTickCount64() - state->lastDropsQuery < kChoreMilliseconds) return;
    state->lastDropsQuery = GetTickCount64();
    ULONGLONG drops = 0;
    if (QuerySocketDrops(inputs->dropsSocket, &drops)) state->health->NoteHostDrops(drops, MonotonicNanoseconds());
}

// Milliseconds from `now` to `due`, 0 when it has passed.
ULONGLONG Until(ULONGLONG due, ULONGLONG now)
{
    return due > now ? due - now : 0;
}

// How long an idle writer may sleep: until the recording's end, the next
// second of the figures closes, or the next once-a-second chore, whichever
// comes first. New data, a stop request and the end of receiving wake it
// earlier through the data event.
DWORD IdleWait(const WriterInputs* inputs, const WriterState& state, ULONGLONG now)
{
    // The deadline test is strict: the first tick past endTicks ends it.
    const std::int64_t end = inputs->endTicks + 1;
    ULONGLONG wait = end > 0 ? Until(static_cast<ULONGLONG>(end), now) : 0;
    if (state.health != nullptr) {
        wait = std::min(wait, Until(state.lastDropsQuery + kChoreMilliseconds, now));
        // The figures' clock runs kArrivalSlackNs behind; its next second
        // closes once that clock reaches the second's end.
        const std::int64_t figuresNow = MonotonicNanoseconds() - kArrivalSlackNs;
        const std::int64_t start = state.health->StartNs();
        const std::int64_t into = figuresNow - start;
        const std::int64_t second = 1000000000;
        const std::int64_t left = into >= 0 ? second - into % second : -into;
        wait = std::min(wait, static_cast<ULONGLONG>(left / 1000000 + 1));
    }
    if (state.segments != nullptr && !state.writeFailed)
        wait = std::min(wait, Until(state.lastPresenceCheck + kChoreMilliseconds, now));
    return static_cast<DWORD>(std::min<ULONGLONG>(wait, INFINITE - 1));
}

}  // namespace

DWORD WINAPI WriterThreadProc(LPVOID parameter)
{
    const WriterInputs* inputs = static_cast<const WriterInputs*>(parameter);
    bool stopped = false;
    WriterState state;
    state.health = inputs->health;
    state.segments = inputs->segments;
    if (state.segments != nullptr) state.fileOffset = state.segments->CurrentBytes();

    // The first pass takes at once whatever was queued before the thread ran.
    for (bool first = true;; first = false) {
        WaitForSingleObject(inputs->dataEvent, first ? 0 : IdleWait(inputs, state, GetTickCount64()));
        ResetEvent(inputs->dataEvent);

        // Chunks pushed after this count wait for a later pass; after the
        // stop nothing is pushed any more, so the last pass takes them all.
        int queued = inputs->queue->Count();
        for (int i = 0; i < queued; ++i) {
            Chunk* chunk = inputs->queue->Front();
            inputs->queue->PopFront();
            // Given up on: the main thread has the figures and the queue now,
            // and is ending the process.
            if (!StoreChunk(inputs, &state, chunk)) return static_cast<DWORD>(E_FAIL);
        }
        SampleHealth(inputs, &state);
        if (state.segments != nullptr && !state.writeFailed &&
            GetTickCount64() - state.lastPresenceCheck >= kChoreMilliseconds) {
            state.lastPresenceCheck = GetTickCount64();
            state.segments->CheckFilePresent();
            state.fileOffset = state.segments->CurrentBytes();
        }

        if (stopped) {
            if (!state.writeFailed) return 0;
            return state.failureShown ? static_cast<DWORD>(E_FAIL) : kWriteFailureToShow;
        }

        if (inputs->receiving->Ended()) {
            // Ended by the main thread (the deadline, a stop request) while
            // this thread was busy: one more pass takes what is left.
            stopped = true;
            SetEvent(inputs->dataEvent);
            continue;
        }
        // The deadline, or nothing more can be stored, or the stop was asked
        // for (Ctrl-C, a service stop): keep what was received.
        if (state.writeFailed || StopRequested() ||
            static_cast<std::int64_t>(GetTickCount64()) > inputs->endTicks) {
            inputs->receiving->End();
            stopped = true;
        }
    }
}
