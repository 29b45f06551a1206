// The one header the portable code includes. The build puts exactly one of
// platform/windows or platform/posix on the include path; each provides
// PlatformApi.h with the Windows interfaces the recorder is written against
// for set-up, threads, events, clocks, text and the console. Receiving goes
// through the receive seam (DatagramReceiver.h), which each system meets
// natively. This layer holds what the system knows; the recorder's rules
// (which datagrams to keep, buffer sizes and advice, exit codes) live above.
#pragma once

#include "PlatformApi.h"
