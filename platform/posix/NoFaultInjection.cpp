// The product's failure points: nothing is ever armed, so every call goes
// through. The test binaries link FaultInjection.cpp instead, whose
// definitions of these two take precedence over this file in the library.
#include "FaultInjection.h"

namespace pelorin_win::fault {

int Check(Point) { return 0; }

bool Fail(Point) { return false; }

}  // namespace pelorin_win::fault
