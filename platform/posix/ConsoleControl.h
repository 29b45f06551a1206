// Internal to the POSIX layer: how the process must end after a console
// control signal was handled.
#pragma once

namespace pelorin_win::detail {

// The first SIGINT, SIGTERM or SIGHUP that reached the installed routine, or
// 0. A process that handled one ends by that same signal once it is done, so
// that its parent sees what ended it.
int ConsoleControlSignal();

}  // namespace pelorin_win::detail
