// The live status line a person at a terminal sees during a recording, and
// the totals at its end. Scripts never see the line: it goes to standard
// error, and only when standard error is a console.
#pragma once

#include "common/Counters.h"
#include "common/Recording.h"

#include <cstdint>
#include <cstdio>

// True when standard error is a console (a terminal), so a person watches.
bool StatusLineWanted();

// What the line shows at one moment.
struct StatusSample {
    ULONGLONG ticks;              // GetTickCount64
    std::int64_t elapsedSeconds;  // since the recording's start time
    std::uint64_t datagrams;
    std::uint64_t bytesReceived;
    std::uint64_t bytesStored;
    std::uint64_t drops;  // at the socket, when dropsKnown
    bool dropsKnown;
    std::uint64_t notQueued;  // datagrams dropped because the output could not keep up
    // The network's figures over the last complete second, when known.
    bool healthKnown;
    std::uint32_t iatMaxUs;
    std::uint64_t dfMicroseconds;
    std::uint64_t mlr;
};

// The recording's counters and the clocks now, for a recording that started
// at startTicks (GetTickCount64) on `socket`. The socket value is a copy taken before
// receiving began: the platform answers for a socket that has been closed since.
StatusSample TakeStatusSample(const RecordingCounters& counters, std::int64_t startTicks, SOCKET socket);

// The advice shown once at a terminal when the system granted a smaller
// receive buffer than asked, with the platform's remedy; false (no text)
// when it granted enough or could not tell.
bool ReceiveBufferAdvice(int granted, int asked, char* text, std::size_t size);

// The terminal's width in columns for standard error, 0 when unknown; asked
// at every refresh, so that a resized window is followed.
int StatusLineWidth();

// "1:02:03": hours are not limited to two digits. Negative values show as 0.
void FormatDuration(std::int64_t seconds, char* text, std::size_t size);
// "0 B", "1316 B", "65.8 kB", "12.6 MB", "1.23 GB" (powers of 1000).
void FormatBytes(std::uint64_t bytes, char* text, std::size_t size);
// "0 bit/s", "640 kbit/s", "8.02 Mbit/s", "1.20 Gbit/s".
void FormatBitRate(double bitsPerSecond, char* text, std::size_t size);

// One line, rewritten in place with a carriage return: elapsed and total
// time, bytes stored, the bit rate since the previous refresh, datagrams
// received, and "no data for N s" once nothing has arrived for 3 s. On a
// terminal too narrow for all of it, the line keeps what an operator reads
// first, in compact forms: the time, the rate, what is wrong, the amount
// stored, IAT max and MDI, the datagrams; a segment's name keeps its end.
class StatusLine {
public:
    static constexpr ULONGLONG kSilenceWarningMilliseconds = 3000;

    StatusLine(std::int64_t totalSeconds, const StatusSample& start);

    // The live text for this sample (no carriage return); it stays valid
    // until the next call.
    const char* Update(const StatusSample& now);
    // The final totals, with the average bit rate over the whole run.
    const char* Final(const StatusSample& now);
    // Shown after everything else (the current segment's file); "" for none.
    void SetTrailer(const char* text);
    // The terminal's width for the texts that follow; 0 (unknown) shows all.
    void SetWidth(int columns);

    // Writes the text over the previous one: "\r", the text, and blanks over
    // whatever is left of a longer previous line; a newline if `last`. With
    // a width, the text is clipped one column short of it: a line that
    // reached the last column would wrap, and every refresh would then start
    // a new line.
    void Show(std::FILE* stream, const char* text, bool last, int width = 0);

private:
    void Compose(const StatusSample& now, double bitsPerSecond, const char* rateSuffix, const char* warning);
    void AppendTrailer(std::size_t limit);

    std::int64_t totalSeconds;
    StatusSample first;
    StatusSample previous;
    ULONGLONG lastArrivalTicks;  // when the datagram count was last seen moving
    std::size_t shownLength = 0;
    int width = 0;
    char trailer[128] = {};
    char text[512] = {};
};

// What a person at a terminal sees while the recording runs: the buffer
// advice once, the status line at every refresh, the totals at the end.
// Without a terminal it shows nothing.
class StatusDisplay {
public:
    StatusDisplay(const RecordingSettings& settings, const RecordingCounters& counters, SOCKET socket,
                  int receiveBufferGranted);
    void Refresh();
    void Finish();

private:
    const RecordingSettings& settings;
    const RecordingCounters& counters;
    bool wanted;
    SOCKET socket;
    StatusLine line;
};

// One line of totals for the debugger channel, at the end of every recording.
// `startTicks`: the recording's start on GetTickCount64's clock.
void ReportTotals(const RecordingCounters& counters, std::int64_t startTicks, SOCKET socket);
