// The one place that prints a failure of the set-up, of receiving or of the
// writer, and turns it into the recording's result.
#pragma once

#include "common/Failure.h"
#include "common/OutputFile.h"
#include "platform/Platform.h"

// Prints the failure's lines (standard output, then the cause on standard
// error) and returns its result; 0 for FailureKind::none.
HRESULT ShowFailure(const Failure& failure);

// The writer thread's result as the recording's: kWriteFailureToShow prints
// "Error occurred while writing output file." (and its cause) and becomes
// E_FAIL; any other result stays as it is.
DWORD ShowWriterResult(DWORD writerResult, const OutputFile& output);

// The front's display of what fails while the recording runs (a segment's
// file, report or index): shown there and then, from whichever thread found it.
class ShownFailures final : public FailureDisplay {
public:
    void Show(const Failure& failure) override { ShowFailure(failure); }
};
