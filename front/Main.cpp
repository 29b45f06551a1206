// The program's wide entry point: called by the C runtime on Windows and by
// the platform layer's main() elsewhere.
#include "common/ExitCodes.h"
#include "front/RecordingRun.h"

extern "C" int wmain(int argc, wchar_t** argv)
{
    RecordingSettings settings = {};
    return ExitCodeFor(PelorinMain(argc, argv, &settings));
}
