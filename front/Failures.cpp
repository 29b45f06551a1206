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
    }
    return HRESULT_FROM_WIN32(failure.error);
}

DWORD ShowWriterResult(DWORD writerResult, const OutputFile& output)
{
    if (writerResult != kWriteFailureToShow) return writerResult;
    output.ReportWriteFailure();
    return static_cast<DWORD>(E_FAIL);
}
