// An address as people write it, for messages and metric labels.
#pragma once

#include "platform/Platform.h"

#include <string>

// "239.255.0.1" for an IPv4 address in network byte order.
std::string AddressText(ULONG address);
