#include "pipeline/WriterThread.h"

#include "common/ConsoleLine.h"
#include "front/CommandLine.h"
#include "front/StatusLine.h"
#include "pipeline/Chunk.h"
#include "pipeline/ChunkQueue.h"
#include "receiver/Receiver.h"

#include <atomic>
#include <cstdint>

namespace {

// With a steady stream every pass stands for at least one datagram; the
// deadline is looked at every this many passes, and besides at least once a
// second, so sparse traffic cannot push the stop back.
constexpr int kPassesPerCheck = 500;
constexpr ULONGLONG kMaxMillisecondsBetweenChecks = 1000;
constexpr DWORD kDataWaitMilliseconds = 1000;

std::atomic<bool> g_stopRequested{false};
std::atomic<HANDLE> g_stopWake{nullptr};
std::atomic<int> g_wakesInFlight{0};

bool WriteChunk(const Chunk* chunk)
{
    g_outputFile.write(chunk->data, static_cast<std::streamsize>(chunk->length));
    if (g_outputFile.fail()) return false;
    CountStored(chunk->length);
    return true;
}

void ReportWriteFailure()
{
    PrintLine("Error occurred while writing output file.");
}

// Stops the receive thread and takes over what it leaves: its handle and the
// partly filled chunk, which becomes the last one written.
Chunk* StopReceiving(Receiver* receiver)
{
    if (receiver->stopEvent != nullptr) SetEvent(receiver->stopEvent);
    if (receiver->receiveThread != nullptr) {
        WaitForSingleObject(receiver->receiveThread, INFINITE);
        CloseHandle(receiver->receiveThread);
        receiver->receiveThread = nullptr;
    }
    Chunk* last = receiver->currentChunk;
    receiver->currentChunk = nullptr;
    if (last != nullptr && receiver->bytesInChunk == 0) {
        FreeChunk(last);
        last = nullptr;
    } else if (last != nullptr) {
        last->length = static_cast<int>(receiver->bytesInChunk);
    }
    // The next pass must not wait: it is the last one.
    SetEvent(receiver->dataEvent);
    return last;
}

}  // namespace

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

DWORD WINAPI WriterThreadProc(LPVOID)
{
    Receiver* receiver = g_receiver;
    int passCounter = 0;
    bool stopped = false;
    bool writeFailed = false;
    Chunk* lastChunk = nullptr;
    ULONGLONG lastCheck = GetTickCount64();

    for (;;) {
        bool timedOut = WaitForSingleObject(receiver->dataEvent, kDataWaitMilliseconds) == WAIT_TIMEOUT;
        ResetEvent(receiver->dataEvent);

        // Chunks pushed after this count wait for a later pass.
        int queued = receiver->queue->Count();
        for (int i = 0; i < queued; ++i) {
            Chunk* chunk = receiver->queue->Front();
            receiver->queue->PopFront();
            if (!writeFailed && !WriteChunk(chunk)) writeFailed = true;
            FreeChunk(chunk);
        }

        if (stopped) {
            // Every queued chunk is written; the partly filled one goes last.
            if (lastChunk != nullptr) {
                if (!writeFailed && !WriteChunk(lastChunk)) writeFailed = true;
                FreeChunk(lastChunk);
            }
            if (writeFailed) ReportWriteFailure();
            return writeFailed ? static_cast<DWORD>(E_FAIL) : 0;
        }

        if (timedOut) passCounter = kPassesPerCheck;
        if (writeFailed || StopRequested()) {
            // Nothing more can be stored, or the stop was asked for (Ctrl-C,
            // a service stop): stop at once, keeping what was received.
            lastChunk = StopReceiving(receiver);
            stopped = true;
            continue;
        }
        if (passCounter % kPassesPerCheck != 0 && GetTickCount64() - lastCheck < kMaxMillisecondsBetweenChecks) {
            ++passCounter;
            continue;
        }
        lastCheck = GetTickCount64();
        if (static_cast<std::int64_t>(lastCheck) > g_settings.endTicks) {
            lastChunk = StopReceiving(receiver);
            stopped = true;
        }
        passCounter = 1;
    }
}
