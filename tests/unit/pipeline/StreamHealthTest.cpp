#include "pipeline/HealthReport.h"
#include "pipeline/StreamHealth.h"

#include <gtest/gtest.h>
