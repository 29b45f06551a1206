// The receive thread: takes batches of datagrams through the receive seam,
// packs them whole into the current chunk, cuts segments at their boundaries
// and hands full (or quiet) chunks to the writer. The same code on every
// system; only the seam beneath differs.
#include "receiver/ReceiveThread.h"

#include "common/Counters.h"
#include "common/Recording.h"
#include "pipeline/Chunk.h"
#include "pipeline/ChunkQueue.h"
#include "platform/DatagramReceiver.h"
#include "receiver/GroupFilter.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

void ReportOutOfMemory(ReceiverState* receiver)
{
    NoteReceiveError(receiver, ERROR_NOT_ENOUGH_MEMORY, FailureKind::outOfMemory);
}

// The writer signals stopEvent exactly once and only then waits for this
// thread; closing the event before that signal could hand the writer a dead
// handle, so a loop that ended by itself waits for it first.
void CloseStopEventWhenSignalled(ReceiverState* receiver)
{
    WaitForSingleObject(receiver->stopEvent, INFINITE);
    WSACloseEvent(receiver->stopEvent);
    receiver->stopEvent = nullptr;
}

// Offers a chunk (its length set) to the writer. Queued, the writer is woken.
// With the queue full, the output is not keeping up and the queue holds all
// the memory it may: the chunk's datagrams are counted as dropped, the queued
// ones stay, and the chunk stays the caller's. Out of memory is reported.
ChunkQueue::OfferResult OfferChunk(ReceiverState* receiver, Chunk* chunk)
{
    const ChunkQueue::OfferResult result = receiver->queue->Offer(chunk);
    if (result == ChunkQueue::OfferResult::queued)
        SetEvent(receiver->dataEvent);
    else if (result == ChunkQueue::OfferResult::full)
        CountNotQueued(*receiver->counters, chunk->arrivalCount, static_cast<unsigned long>(chunk->length));
    else
        ReportOutOfMemory(receiver);
    return result;
}

// Hands the current chunk to the writer and goes on in `replacement` (a new
// chunk when none is given). With the queue full the chunk is used again (or
// released for the replacement). False when memory ran out, which ends
// receiving; the full chunk then stays current and is queued at the stop.
bool HandOverCurrentChunk(ReceiverState* receiver, Chunk* replacement)
{
    Chunk* chunk = receiver->currentChunk;
    chunk->length = static_cast<int>(receiver->bytesInChunk);
    switch (OfferChunk(receiver, chunk)) {
    case ChunkQueue::OfferResult::queued:
        receiver->currentChunk = replacement != nullptr ? replacement : receiver->queue->Pool()->Take();
        if (receiver->currentChunk == nullptr) {
            ReportOutOfMemory(receiver);
            return false;
        }
        break;
    case ChunkQueue::OfferResult::full:
        chunk->arrivalCount = 0;
        if (replacement != nullptr) {
            FreeChunk(chunk);
            receiver->currentChunk = replacement;
        }
        break;
    case ChunkQueue::OfferResult::outOfMemory:
        FreeChunk(replacement);
        return false;
    }
    receiver->bytesInChunk = 0;
    return true;
}

// A segment boundary has passed, by the clock or by a datagram's arrival:
// what came before it goes to the writer, then a marker that tells it to
// begin the next file. The writer opens and closes files; this thread never
// waits for one. False when memory ran out.
bool QueueSegmentMarker(ReceiverState* receiver)
{
    Chunk* marker = new (std::nothrow) Chunk{};
    if (marker != nullptr) marker->segmentStart = receiver->nextBoundaryUnix;
    if (marker == nullptr || !receiver->queue->Push(marker)) {
        delete marker;
        ReportOutOfMemory(receiver);
        return false;
    }
    SetEvent(receiver->dataEvent);
    receiver->nextBoundaryUnix += receiver->segmentSeconds;
    receiver->nextBoundaryNs += receiver->segmentSeconds * 1000000000;
    return true;
}

// The current chunk is handed over as it is, and `replacement` (a new
// chunk when none is given) goes on after the marker.
bool CrossSegmentBoundary(ReceiverState* receiver, Chunk* replacement)
{
    if (receiver->currentChunk->arrivalCount > 0) {
        if (!HandOverCurrentChunk(receiver, replacement)) return false;
    } else if (replacement != nullptr) {
        FreeChunk(receiver->currentChunk);
        receiver->currentChunk = replacement;
        receiver->bytesInChunk = 0;
    }
    return QueueSegmentMarker(receiver);
}

// The clock passed a boundary while the socket was empty: what came before
// it goes to the writer, and the next file begins there.
bool CrossQuietBoundary(ReceiverState* receiver)
{
    return CrossSegmentBoundary(receiver, nullptr);
}

// Datagrams waiting in a chunk that is not full are handed over this long
// after the first of them, so that the writer's figures (and the status line)
// follow a slow stream and see a silence as it happens rather than when it
// ends.
constexpr DWORD kQuietHandOverMilliseconds = 250;

// The receive thread's wait: until the quiet hand-over is due while the
// chunk holds datagrams, else without end; no later than the next segment
// boundary. Timed from the chunk's first datagram, not from the last wait:
// a stream slower than a chunk per 250 ms would otherwise restart it with
// every datagram.
DWORD WaitTimeout(const ReceiverState* receiver)
{
    DWORD quiet = WSA_INFINITE;
    const std::int64_t now = receiver->currentChunk->arrivalCount > 0 || receiver->segmentSeconds != 0
                                 ? MonotonicNanoseconds()
                                 : 0;
    if (receiver->currentChunk->arrivalCount > 0) {
        const std::int64_t due = receiver->chunkFirstNs + std::int64_t{kQuietHandOverMilliseconds} * 1000000;
        const std::int64_t wait = due > now ? (due - now) / 1000000 + 1 : 0;
        quiet = static_cast<DWORD>(wait < kQuietHandOverMilliseconds ? wait : kQuietHandOverMilliseconds);
    }
    if (receiver->segmentSeconds == 0) return quiet;
    const std::int64_t left = (receiver->nextBoundaryNs - now) / 1000000 + 1;
    const DWORD boundary = left > 0 ? static_cast<DWORD>(left < 0x7FFFFFFE ? left : 0x7FFFFFFE) : 0;
    return boundary < quiet ? boundary : quiet;
}

}  // namespace

void NoteReceiveError(ReceiverState* receiver, DWORD error, FailureKind kind)
{
    if (receiver->receiveError != 0) return;
    receiver->receiveError = error;
    receiver->receiveFailure.store(kind, std::memory_order_release);
}

void Receiver::StartReceiving()
{
    // The stop event exists before the thread does, so a stop can never find
    // it missing while the thread runs.
    stopEvent = WSACreateEvent();
    currentChunk = NewChunk();
    if (stopEvent == nullptr || currentChunk == nullptr) {
        if (stopEvent != nullptr) WSACloseEvent(stopEvent);
        stopEvent = nullptr;
        ReportOutOfMemory(this);
        return;
    }
    OutputDebugStringW(L"Receiving..");
    receiveThread = CreateThread(nullptr, 0, ReceiveThreadProc, static_cast<ReceiverState*>(this), 0, nullptr);
    if (receiveThread == nullptr) {
        NoteReceiveError(this, GetLastError());
        WSACloseEvent(stopEvent);
        stopEvent = nullptr;
    } else {
        SetThreadPriority(receiveThread, THREAD_PRIORITY_HIGHEST);
    }
    OutputDebugStringW(L"Thread started.\n");
}

void Receiver::End()
{
    ReceiverState* receiver = this;
    int notYet = 0;
    if (!receiver->endState.compare_exchange_strong(notYet, 1)) {
        while (receiver->endState.load() != 2) Sleep(1);
        return;
    }
    if (receiver->stopEvent != nullptr) SetEvent(receiver->stopEvent);
    if (receiver->receiveThread != nullptr) {
        WaitForSingleObject(receiver->receiveThread, INFINITE);
        CloseHandle(receiver->receiveThread);
        receiver->receiveThread = nullptr;
    }
    receiver->endedNanoseconds = MonotonicNanoseconds();
    Chunk* last = receiver->currentChunk;
    if (last != nullptr && last->arrivalCount == 0) {
        FreeChunk(last);
        receiver->currentChunk = nullptr;
    } else if (last != nullptr) {
        // Past the queue's limit too: the bytes are in memory already.
        last->length = static_cast<int>(receiver->bytesInChunk);
        if (receiver->queue->Push(last)) {
            receiver->currentChunk = nullptr;
        } else {
            // Left for the teardown to release.
            CountNotQueued(*receiver->counters, last->arrivalCount, receiver->bytesInChunk);
        }
    }
    receiver->endState.store(2);
    // The writer's next pass must not wait: it is the last one.
    SetEvent(receiver->dataEvent);
}

bool Receiver::Ended() const
{
    return endState.load() == 2;
}


namespace {

// Stores one taken datagram whole at the end of the current chunk, after
// the segment boundaries its arrival passed, and hands the chunk over once
// it is full. False when memory ran out, which ends receiving.
bool StoreDatagram(ReceiverState* receiver, const TakenDatagram& datagram)
{
    CountDatagram(*receiver->counters, datagram.size);
    if (datagram.systemTime) NoteKernelTimestamps(*receiver->counters);
    const char* bytes = datagram.bytes;
    if (receiver->segmentSeconds != 0 && datagram.arrivalNs >= receiver->nextBoundaryNs) {
        // It belongs to the next segment: it moves to the chunk that begins
        // it before the old chunk, where it may lie, becomes the writer's.
        Chunk* next = receiver->queue->Pool()->Take();
        if (next == nullptr) {
            ReportOutOfMemory(receiver);
            return false;
        }
        std::memcpy(next->data, bytes, datagram.size);
        bytes = next->data;
        if (!CrossSegmentBoundary(receiver, next)) return false;
        while (datagram.arrivalNs >= receiver->nextBoundaryNs)
            if (!CrossSegmentBoundary(receiver, nullptr)) return false;
    }

    Chunk* chunk = receiver->currentChunk;
    char* destination = chunk->data + receiver->bytesInChunk;
    // Received in place already, or further on: then moved down.
    if (bytes != destination) std::memmove(destination, bytes, datagram.size);
    if (chunk->arrivalCount == 0) receiver->chunkFirstNs = MonotonicNanoseconds();
    DatagramArrival& arrival = chunk->arrivals[chunk->arrivalCount++];
    arrival.nanoseconds = datagram.arrivalNs;
    arrival.bytes = datagram.size;
    receiver->bytesInChunk += datagram.size;
    if (receiver->bytesInChunk >= kReceiveSize || chunk->arrivalCount == kMaxArrivalsPerChunk)
        return HandOverCurrentChunk(receiver, nullptr);
    return true;
}

// After every take: a boundary the clock passed while the socket was empty
// (datagrams place themselves by their arrival), or a chunk that has held
// datagrams for the quiet hand-over's time. False when memory ran out.
bool HandOverByTime(ReceiverState* receiver, bool socketEmpty)
{
    const std::int64_t now = MonotonicNanoseconds();
    if (socketEmpty && receiver->segmentSeconds != 0 && now >= receiver->nextBoundaryNs)
        return CrossQuietBoundary(receiver);
    if (receiver->currentChunk->arrivalCount > 0 &&
        now >= receiver->chunkFirstNs + std::int64_t{kQuietHandOverMilliseconds} * 1000000)
        return HandOverCurrentChunk(receiver, nullptr);
    return true;
}

// The first receive could not be started: nothing was received, and the
// socket and Winsock are left to the run's teardown.
void EndWithoutReceiving(ReceiverState* receiver, DWORD error, bool refused)
{
    NoteReceiveError(receiver, error, refused ? FailureKind::firstReceive : FailureKind::outOfMemory);
    FreeChunk(receiver->currentChunk);
    receiver->currentChunk = nullptr;
    CloseStopEventWhenSignalled(receiver);
}

}  // namespace

DWORD WINAPI ReceiveThreadProc(LPVOID parameter)
{
    ReceiveLoop(static_cast<ReceiverState*>(parameter));
    return 0;
}

void ReceiveLoop(ReceiverState* receiver)
{
    DatagramReceiver source;
    if (!source.Open(receiver->socket, receiver->stopEvent)) {
        EndWithoutReceiving(receiver, ERROR_NOT_ENOUGH_MEMORY, false);
        return;
    }
    TakenDatagram taken[DatagramReceiver::kMaxBatch];
    const GroupFilter filter = receiver->extended.family == AF_INET6
                                   ? GroupFilter::Ipv6(receiver->extended.group.u.Byte)
                                   : GroupFilter::Ipv4(receiver->groupAddress);
    bool first = true;
    for (;;) {
        int count = 0;
        DWORD error = 0;
        // While receiving, the chunk always has room for the largest datagram
        // past its fill: it is handed over once it holds kReceiveSize bytes.
        // Datagrams may follow the first in place while each begins before
        // that hand-over, so that none of them lies in a chunk already handed
        // over; not with segments, where a boundary may hand it over sooner.
        const Chunk* chunk = receiver->currentChunk;
        const bool follow = receiver->segmentSeconds == 0 &&
                            chunk->arrivalCount + DatagramReceiver::kMaxBatch <= kMaxArrivalsPerChunk;
        const TakeResult result = source.Take(chunk->data + receiver->bytesInChunk,
                                              follow ? kReceiveSize - receiver->bytesInChunk : 0, WaitTimeout(receiver),
                                              taken, DatagramReceiver::kMaxBatch, &count, &error);
        if (first && result == TakeResult::refused) {
            EndWithoutReceiving(receiver, error, true);
            return;
        }
        first = false;
        bool stored = true;
        int kept = 0;
        for (int i = 0; i < count && stored; ++i)
            if (filter.Accepts(taken[i].destination)) stored = StoreDatagram(receiver, taken[i]), ++kept;
        if (!stored) break;
        // A batch that drained the socket with nothing for the group counts as
        // an empty socket, so a steady flow to other destinations holds back
        // no boundary while the group is silent.
        const bool drained = result == TakeResult::deadline || (kept == 0 && count < DatagramReceiver::kMaxBatch);
        if (result == TakeResult::datagrams || result == TakeResult::deadline) {
            if (!HandOverByTime(receiver, drained)) break;
            continue;
        }
        if (result == TakeResult::stopped) break;
        // A failed receive or wait ends receiving; what came before it stays.
        SetEvent(receiver->dataEvent);
        NoteReceiveError(receiver, error,
                         result != TakeResult::waitFailed ? FailureKind::receive : FailureKind::silent);
        break;
    }

    ULONGLONG drops = 0;
    if (source.Drops(&drops)) NoteSocketDrops(*receiver->counters, drops);
    source.Close();
    receiver->socket = INVALID_SOCKET;
    CloseStopEventWhenSignalled(receiver);
    OutputDebugStringW(L"Stopped receiving:");
}
