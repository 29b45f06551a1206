// pelorin-inspect's report as text for people and as one JSON object for scripts.
#pragma once

#include <string>

#include "InspectReport.h"

namespace pelorin::tools {

std::string toText(const InspectReport& report);
std::string toJson(const InspectReport& report);

}  // namespace pelorin::tools
