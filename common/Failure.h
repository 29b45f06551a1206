// A failure on its way up to the front, which prints its lines once and
// turns it into the recording's result once: of the set-up, of receiving,
// of the output file and of the outputs beside it. Where it happens only the kind
// and the numbers are noted; the words are the front's.
#pragma once

#include <string>

enum class FailureKind {
    none,
    socketSetup,   // a socket call of the set-up: the cause line
    bind,          // the bind: the cause line, and a result of its own
    join,          // the join: "Joining multicast group failed: N", the cause line
    outOfMemory,   // "Error occurred while allocating receive buffer."
    firstReceive,  // the first receive was refused: "WSARecv() failed with error N"
    receive,       // a later receive failed: "WSARecv failed: N"
    silent,        // ended receiving without a line (a failed wait, no thread)
    openOutput,    // "Error occurred while opening output file.", the cause line
    writeOutput,   // "Error occurred while writing output file.", the cause line
    // The cause line, when there is one, then "Error occurred while writing
    // report file." (index, metrics).
    reportOutput,
    indexOutput,
    metricsOutput,
};

struct Failure {
    FailureKind kind = FailureKind::none;
    unsigned long error = 0;  // the Winsock or Windows code: the line's number and the result
    int systemError = 0;      // the system's own code for the cause line; 0 for none
    std::string action;       // what was being done, for the cause line
};

// Where a failure found while the recording runs goes (the writer's, the
// segments'): the front shows it there and then, once.
class FailureDisplay {
public:
    virtual void Show(const Failure& failure) = 0;

protected:
    ~FailureDisplay() = default;
};
