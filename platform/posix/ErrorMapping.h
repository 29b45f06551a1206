// Internal to the POSIX layer: errno values as Windows error numbers.
#pragma once

#include "PlatformApi.h"

namespace pelorin_win::detail {

int WinsockErrorFromErrno(int error);
DWORD Win32ErrorFromErrno(int error);

}  // namespace pelorin_win::detail
