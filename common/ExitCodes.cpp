#include "common/ExitCodes.h"

int ExitCodeFor(HRESULT result)
{
    if constexpr (kExitCodeBits >= 32) {
        return static_cast<int>(result);
    } else {
        if (result == 0) return 0;
        if (result == E_FAIL) return 1;
        if (result == kBindFailed) return 2;
        if (result == kNoDataResult) return 4;
        return 3;
    }
}
