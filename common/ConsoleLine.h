// The program's own lines for the user and for scripts: the time lines and
// the error messages. Each goes out whole and at once, so a script reading a
// pipe sees it when it happens.
#pragma once

// One line; the newline is added.
void PrintLine(const char* text);
// printf-style; the newline is added.
void PrintFormattedLine(const char* format, ...);
// "<label> MM/DD/YY hh:mm:ss", local time now.
void PrintTimeLine(const char* label);

// "pelorin: ACTION: WORDS (N)" on standard error, with the system's own
// words for `systemError` where the platform has them (Linux), after the
// program's own line for the same failure. Nothing when there are no words,
// or when standard error is the recording.
void PrintCause(const char* action, int systemError);

// From now on the lines go to standard error: standard output is the
// recording itself, and a line there would land inside it.
void MoveLinesToStandardError();
// From now on no line is printed at all: standard output and standard error
// are both the recording. The exit code still tells.
void SilenceLines();
