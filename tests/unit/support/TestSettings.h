// The settings the tests' recordings and writers run with, as the command
// line would have given them.
#pragma once

#include "common/Recording.h"

inline RecordingSettings g_testSettings = {};
