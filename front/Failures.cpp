#include "front/Failures.h"

#include "common/ConsoleLine.h"
#include "common/ExitCodes.h"
#include "common/OutputFile.h"
#include "pipeline/WriterThread.h"

HRESULT ShowFailure(const Failure& failure)
{
    const int number = static_cast<int>(failure.error);
    switch (failure.kind) {
    case FailureKind::none: return 0;
    case FailureKind::socketSetup: PrintCause(failure.action.c_str(), failure.systemError); break;
    case FailureKind::bind: PrintCause(failure.action.c_str(), failure.systemError); return kBindFailed;
    case FailureKind::join:
        PrintFormattedLine("Joining multicast group failed: %d", number);
        PrintCause(failure.action.c_str(), failure.systemError);
        break;
    case FailureKind::outOfMemory: PrintLine("Error occurred while allocating receive buffer."); break;
    case FailureKind::firstReceive: PrintFormattedLine("WSARecv() failed with error %d", number); break;
    case FailureKind::receive: PrintFormattedLine("WSARecv failed: %d", number); break;
    case FailureKind::silent: break;
    case FailureKind::openOutput:
        PrintLine("Error occurred while opening output file.");
        PrintCause(failure.action.c_str(), failure.systemError);
        return E_FAIL;
    case FailureKind::writeOutput:
        PrintLine("Error occurred while writing output file.");
        PrintCause(failure.action.c_str(), failure.systemError);
        return E_FAIL;
    // Why the file cannot be made comes before what it was for.
    case FailureKind::reportOutput:
        PrintCause(failure.action.c_str(), failure.systemError);
        PrintLine("Error occurred while writing report file.");
        return E_FAIL;
    case FailureKind::indexOutput:
        PrintCause(failure.action.c_str(), failure.systemError);
        PrintLine("Error occurred while writing index file.");
        return E_FAIL;
    case FailureKind::metricsOutput:
        PrintCause(failure.action.c_str(), failure.systemError);
        PrintLine("Error occurred while writing metrics file.");
        return E_FAIL;
    }
    return HRESULT_FROM_WIN32(failure.error);
}

DWORD ShowWriterResult(DWORD writerResult, const OutputFile& output)
{
    if (writerResult != kWriteFailureToShow) return writerResult;
    return static_cast<DWORD>(ShowFailure(output.WriteFailure()));
}
