#include "common/AddressText.h"

#include <cstdio>
#include <cstring>

std::string AddressText(ULONG address)
{
    unsigned char bytes[4];
    std::memcpy(bytes, &address, sizeof bytes);  // network order: the first byte first
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}
