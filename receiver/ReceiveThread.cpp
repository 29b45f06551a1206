// The receive thread: one overlapped receive outstanding at a time, straight
// into the current chunk, and the completion routine that queues full chunks.
#include "receiver/ReceiveThread.h"

#include "common/ConsoleLine.h"
#include "common/Counters.h"
#include "common/Recording.h"
#include "pipeline/Chunk.h"
#include "pipeline/ChunkQueue.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

int PostReceive(Receiver* receiver, LPWSAOVERLAPPED overlapped)
{
    return PostTimedReceive(receiver->socket, &receiver->receiveBuffer, overlapped, OnReceiveCompleted);
}

void ReportOutOfMemory(Receiver* receiver)
{
    PrintLine("Error occurred while allocating receive buffer.");
    NoteReceiveError(receiver, ERROR_NOT_ENOUGH_MEMORY);
}

// The writer signals stopEvent exactly once and only then waits for this
// thread; closing the event before that signal could hand the writer a dead
// handle, so a loop that ended by itself waits for it first.
void CloseStopEventWhenSignalled(Receiver* receiver)
{
    WaitForSingleObject(receiver->stopEvent, INFINITE);
    WSACloseEvent(receiver->stopEvent);
    receiver->stopEvent = nullptr;
}

// The datagram's arrival time: the system's own where it gives one, else
// the moment its completion runs.
std::int64_t ArrivalTime(LPWSAOVERLAPPED overlapped)
{
    std::int64_t nanoseconds = 0;
    if (QueryReceiveTime(overlapped, &nanoseconds)) {
        NoteKernelTimestamps();
        return nanoseconds;
    }
    return MonotonicNanoseconds();
}

// Offers a chunk (its length set) to the writer. Queued, the writer is woken.
// With the queue full, the output is not keeping up and the queue holds all
// the memory it may: the chunk's datagrams are counted as dropped, the queued
// ones stay, and the chunk stays the caller's. Out of memory is reported.
ChunkQueue::OfferResult OfferChunk(Receiver* receiver, Chunk* chunk)
{
    const ChunkQueue::OfferResult result = receiver->queue->Offer(chunk);
    if (result == ChunkQueue::OfferResult::queued)
        SetEvent(receiver->dataEvent);
    else if (result == ChunkQueue::OfferResult::full)
        CountNotQueued(chunk->arrivalCount, static_cast<unsigned long>(chunk->length));
    else
        ReportOutOfMemory(receiver);
    return result;
}

// Hands the current chunk to the writer and goes on in `replacement` (a new
// chunk when none is given). With the queue full the chunk is used again (or
// released for the replacement). False when memory ran out, which ends
// receiving; the full chunk then stays current and is queued at the stop.
bool HandOverCurrentChunk(Receiver* receiver, Chunk* replacement)
{
    Chunk* chunk = receiver->currentChunk;
    chunk->length = static_cast<int>(receiver->bytesInChunk);
    switch (OfferChunk(receiver, chunk)) {
    case ChunkQueue::OfferResult::queued:
        receiver->currentChunk = replacement != nullptr ? replacement : NewChunk();
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
bool QueueSegmentMarker(Receiver* receiver)
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

// From a completion, which posts the next receive after this: the current
// chunk can be handed over as it is.
bool CrossSegmentBoundary(Receiver* receiver, Chunk* replacement)
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

// From the wait, with a receive posted into the current chunk at its fill
// offset: the chunk stays where it is, what it holds is copied out and handed
// over, and the next datagram moves to the front when it comes.
bool HandOverQuietChunk(Receiver* receiver)
{
    Chunk* current = receiver->currentChunk;
    if (current->arrivalCount > 0) {
        Chunk* before = NewChunk();
        if (before == nullptr) {
            ReportOutOfMemory(receiver);
            return false;
        }
        std::memcpy(before->data, current->data, receiver->bytesInChunk);
        std::memcpy(before->arrivals, current->arrivals, sizeof(DatagramArrival) * current->arrivalCount);
        before->arrivalCount = current->arrivalCount;
        before->length = static_cast<int>(receiver->bytesInChunk);
        const ChunkQueue::OfferResult offered = OfferChunk(receiver, before);
        if (offered != ChunkQueue::OfferResult::queued) FreeChunk(before);
        if (offered == ChunkQueue::OfferResult::outOfMemory) return false;
        current->arrivalCount = 0;
        receiver->landsAfterStale = receiver->bytesInChunk != 0;
    }
    return true;
}

bool CrossQuietBoundary(Receiver* receiver)
{
    return HandOverQuietChunk(receiver) && QueueSegmentMarker(receiver);
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
DWORD WaitTimeout(const Receiver* receiver)
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

void NoteReceiveError(Receiver* receiver, DWORD error)
{
    if (receiver->receiveError == 0) receiver->receiveError = error;
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
    receiveBuffer.len = kReceiveSize;
    receiveBuffer.buf = currentChunk->data;
    OutputDebugStringW(L"Receiving..");
    receiveThread = CreateThread(nullptr, 0, ReceiveThreadProc, this, 0, nullptr);
    if (receiveThread == nullptr) {
        NoteReceiveError(this, GetLastError());
        WSACloseEvent(stopEvent);
        stopEvent = nullptr;
    } else {
        SetThreadPriority(receiveThread, THREAD_PRIORITY_HIGHEST);
    }
    OutputDebugStringW(L"Thread started.\n");
}

void EndReceiving(void* context)
{
    Receiver* receiver = static_cast<Receiver*>(context);
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
            CountNotQueued(last->arrivalCount, receiver->bytesInChunk);
        }
    }
    receiver->endState.store(2);
    // The writer's next pass must not wait: it is the last one.
    SetEvent(receiver->dataEvent);
}

bool ReceivingEnded(void* context)
{
    return static_cast<Receiver*>(context)->endState.load() == 2;
}

DWORD WINAPI ReceiveThreadProc(LPVOID parameter)
{
    ReceiveLoop(static_cast<Receiver*>(parameter));
    return 0;
}

void ReceiveLoop(Receiver* receiver)
{
    ReceiveRequest request = {};
    request.receiver = receiver;

    if (PostReceive(receiver, &request.overlapped) == SOCKET_ERROR && WSAGetLastError() != WSA_IO_PENDING) {
        int error = WSAGetLastError();
        PrintFormattedLine("WSARecv() failed with error %d", error);
        NoteReceiveError(receiver, static_cast<DWORD>(error));
        FreeChunk(receiver->currentChunk);
        receiver->currentChunk = nullptr;
        // The socket and Winsock are left to the run's teardown.
        CloseStopEventWhenSignalled(receiver);
        return;
    }

    for (;;) {
        DWORD waitResult = WSAWaitForMultipleEvents(1, &receiver->stopEvent, FALSE, WaitTimeout(receiver), TRUE);
        if (waitResult == WSA_WAIT_TIMEOUT) {
            // A boundary without a datagram: the next file still begins there.
            if (receiver->segmentSeconds != 0 && MonotonicNanoseconds() >= receiver->nextBoundaryNs) {
                if (!CrossQuietBoundary(receiver)) break;
            } else if (receiver->currentChunk->arrivalCount > 0 && !HandOverQuietChunk(receiver)) {
                break;
            }
            continue;
        }
        if (waitResult == WSA_WAIT_FAILED) NoteReceiveError(receiver, static_cast<DWORD>(WSAGetLastError()));
        if (waitResult != WSA_WAIT_IO_COMPLETION) break;
        // A completion that failed has reported itself and posted nothing more.
        if (receiver->receiveError != 0) break;
    }

    // Closing the socket cancels the outstanding request; its routine never
    // runs because this thread makes no further alertable wait.
    if (receiver->socket != INVALID_SOCKET) {
        NoteSocketDrops(receiver->socket);
        closesocket(receiver->socket);
        receiver->socket = INVALID_SOCKET;
    }
    WSACleanup();
    CloseStopEventWhenSignalled(receiver);
    OutputDebugStringW(L"Stopped receiving:");
}

void CALLBACK OnReceiveCompleted(DWORD error, DWORD bytesTransferred, LPWSAOVERLAPPED overlapped, DWORD)
{
    Receiver* receiver = reinterpret_cast<ReceiveRequest*>(overlapped)->receiver;

    // The writer is woken when it has work or when receiving ends, not for
    // every datagram: a wake-up per datagram costs both threads a system call
    // and a context switch, and the writer checks the deadline each second
    // by itself.
    if (error != 0) {
        SetEvent(receiver->dataEvent);
        PrintFormattedLine("WSARecv failed: %d", static_cast<int>(error));
        NoteReceiveError(receiver, error);
        return;
    }
    CountDatagram(bytesTransferred);

    if (receiver->landsAfterStale) {
        // Received behind bytes already handed over at a quiet boundary.
        Chunk* chunk = receiver->currentChunk;
        std::memmove(chunk->data, chunk->data + receiver->bytesInChunk, bytesTransferred);
        receiver->bytesInChunk = 0;
        receiver->landsAfterStale = false;
    }
    const std::int64_t arrivalNs = ArrivalTime(overlapped);
    if (receiver->segmentSeconds != 0 && arrivalNs >= receiver->nextBoundaryNs) {
        // The datagram landed at the end of the current chunk but belongs to
        // the next segment: it moves to the chunk that begins it, copied out
        // before the old chunk becomes the writer's.
        Chunk* next = NewChunk();
        if (next == nullptr) {
            ReportOutOfMemory(receiver);
            return;
        }
        std::memcpy(next->data, receiver->currentChunk->data + receiver->bytesInChunk, bytesTransferred);
        if (!CrossSegmentBoundary(receiver, next)) return;
        while (arrivalNs >= receiver->nextBoundaryNs)
            if (!CrossSegmentBoundary(receiver, nullptr)) return;
    }

    Chunk* chunk = receiver->currentChunk;
    if (chunk->arrivalCount == 0) receiver->chunkFirstNs = MonotonicNanoseconds();
    DatagramArrival& arrival = chunk->arrivals[chunk->arrivalCount++];
    arrival.nanoseconds = arrivalNs;
    arrival.bytes = bytesTransferred;
    receiver->bytesInChunk += bytesTransferred;
    if ((receiver->bytesInChunk >= kReceiveSize || chunk->arrivalCount == kMaxArrivalsPerChunk) &&
        !HandOverCurrentChunk(receiver, nullptr))
        return;
    receiver->receiveBuffer.buf = receiver->currentChunk->data + receiver->bytesInChunk;

    if (PostReceive(receiver, overlapped) == SOCKET_ERROR) {
        int postError = WSAGetLastError();
        if (postError != WSA_IO_PENDING) {
            PrintFormattedLine("WSARecv failed: %d", postError);
            NoteReceiveError(receiver, static_cast<DWORD>(postError));
        }
    }
}
