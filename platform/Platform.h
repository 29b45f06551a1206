// The one header the portable code includes. The build puts exactly one of
// platform/windows or platform/posix on the include path; each provides
// PlatformApi.h with the Windows interfaces the recorder is written against.
#pragma once

#include "PlatformApi.h"
