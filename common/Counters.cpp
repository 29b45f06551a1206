#include "common/Counters.h"

RecordingCounters g_counters;
