// The writer thread: drains the chunk queue into the output file, decides
// when the recording is over, stops the receive thread and ends.
#pragma once

#include "platform/Platform.h"

#include <atomic>
#include <cstdint>

#include "pipeline/ReceivingControl.h"
#include "pipeline/StreamHealth.h"

class ChunkQueue;
class OutputFile;
class PublishedTotals;
struct RecordingCounters;
class SegmentRotation;

// What the writer is handed: where the chunks come from, what wakes it, the
// deadline, and how to end receiving. It knows nothing else of the receiver.
struct WriterInputs {
    ChunkQueue* queue;
    HANDLE dataEvent;      // manual reset; set when a chunk is queued and when receiving has ended
    std::int64_t endTicks;  // the deadline on GetTickCount64's clock
    // Ends receiving, and tells whether it has ended; another thread may
    // end it as well.
    ReceivingControl* receiving;
    // Fed every datagram, with its arrival time and file offset, before its
    // chunk is written; nullptr for none. Only the writer touches it while it runs.
    StreamHealth* health;
    SOCKET dropsSocket;  // asked about the system's drops once a second
    // Segmented output: turns the files over at each marker; nullptr for one file.
    SegmentRotation* segments;
    // Who may touch `health` and `segments`: the writer, or nobody while it
    // is inside a write, or a main thread that gave up on that write.
    struct FiguresHandOver* figures;
    // Where the chunks go (through `segments` when there are segments).
    OutputFile* output;
    // The recording's counters, which the writer counts into and publishes
    // the last second's figures in.
    RecordingCounters* counters;
    // Where the writer publishes the health totals once a second; nullptr for none.
    PublishedTotals* totals;
};

constexpr int kFiguresWriter = 0;
constexpr int kFiguresFree = 1;
constexpr int kFiguresTaken = 2;

struct FiguresHandOver {
    std::atomic<int> owner{kFiguresWriter};
    // Where the next chunk would go in the current file; written by the
    // writer before it lets go of the figures.
    std::uint64_t nextOffset = 0;
};

// Main thread, for a writer stuck in a write: takes `health` and `segments`
// for the last report, and the queue, whose chunks up to the next segment
// marker go into the figures (at the file offsets they would have had) and
// all of which are released. False when the writer is not inside a write.
bool TakeFiguresFromStalledWriter(FiguresHandOver* figures, ChunkQueue* queue, StreamHealth* health);

// The writer's result when the output could not be written and no line has
// said so yet: the front shows it. E_FAIL instead when the line was shown
// where it happened (a segment that could not be closed or opened). A
// customer-bit code, which no system result can be.
constexpr DWORD kWriteFailureToShow = 0xE0000001u;

// `parameter` is a WriterInputs*. Ends with 0, kWriteFailureToShow, or E_FAIL.
DWORD WINAPI WriterThreadProc(LPVOID parameter);

// Asks the recording to stop now, as if its time were over: the writer
// honours it in its next pass. Safe in a signal handler (an atomic flag and
// a SetEvent). False when a stop had already been asked for.
bool RequestStop();
bool StopRequested();
// Between these two, a request also wakes the writer through `wakeEvent`.
// Accepting clears any earlier request; refusing waits until no request is
// still using the event, which may then be closed.
void AcceptStopRequests(HANDLE wakeEvent);
void RefuseStopRequests();
