// The process's end and the machine's memory.
#include "ConsoleControl.h"
#include "PlatformApi.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace pelorin_win {

void ExitProcess(UINT exitCode)
{
    std::fflush(nullptr);
    if (const int signal = detail::ConsoleControlSignal()) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
    ::_exit(static_cast<int>(exitCode & 0xFFu));
}

BOOL GlobalMemoryStatusEx(MEMORYSTATUSEX* status)
{
    if (status == nullptr || status->dwLength != sizeof *status) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    const long available = ::sysconf(_SC_AVPHYS_PAGES);
    if (pages <= 0 || pageSize <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    status->ullTotalPhys = static_cast<ULONGLONG>(pages) * static_cast<ULONGLONG>(pageSize);
    status->ullAvailPhys = available > 0 ? static_cast<ULONGLONG>(available) * static_cast<ULONGLONG>(pageSize) : 0;
    return TRUE;
}

}  // namespace pelorin_win
