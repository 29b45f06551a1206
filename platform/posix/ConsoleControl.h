// Internal to the POSIX layer: how the process must end after a console
// control signal was handled.
#pragma once

namespace pelorin_win::detail {

// The first SIGINT, SIGTERM or SIGHUP that reached the installed routine, or
// 0. A process that handled one ends by that same signal once it is done, so
// that its parent sees what ended it.
int ConsoleControlSignal();

// The program's result as an 8-bit exit status: 0 stays 0; E_FAIL (bad
// command line, file error) is 1; the bind failure (2049) is 2; any other
// failure code is 3.
int PosixExitStatus(int result);

}  // namespace pelorin_win::detail
