// IPv4 addresses in text: inet_addr with the classic rules.
#include "PlatformApi.h"

#include <cstdint>

namespace pelorin_win {

ULONG inet_addr(const char* text)
{
    if (text == nullptr) return INADDR_NONE;
    // The classic rules: one to four parts separated by dots, each decimal,
    // octal (leading 0) or hexadecimal (0x); the last part fills the
    // remaining bytes. Trailing white space ends the address.
    std::uint32_t parts[4] = {};
    int count = 0;
    const char* p = text;
    for (;;) {
        if (!(*p >= '0' && *p <= '9')) return INADDR_NONE;
        std::uint64_t value = 0;
        int base = 10;
        if (*p == '0') {
            ++p;
            base = 8;
            if (*p == 'x' || *p == 'X') {
                base = 16;
                ++p;
            }
        }
        bool digits = base == 8;  // the lone "0" is itself a digit
        for (;; ++p) {
            int digit;
            if (*p >= '0' && *p <= '9')
                digit = *p - '0';
            else if (base == 16 && *p >= 'a' && *p <= 'f')
                digit = *p - 'a' + 10;
            else if (base == 16 && *p >= 'A' && *p <= 'F')
                digit = *p - 'A' + 10;
            else
                break;
            if (digit >= base) return INADDR_NONE;
            value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
            if (value > 0xFFFFFFFFu) return INADDR_NONE;
            digits = true;
        }
        if (!digits) return INADDR_NONE;
        if (count == 4) return INADDR_NONE;
        parts[count++] = static_cast<std::uint32_t>(value);
        if (*p == '.') {
            ++p;
            continue;
        }
        break;
    }
    if (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\n') return INADDR_NONE;

    std::uint32_t host = 0;
    switch (count) {
    case 1: host = parts[0]; break;
    case 2:
        if (parts[0] > 0xFF || parts[1] > 0xFFFFFF) return INADDR_NONE;
        host = (parts[0] << 24) | parts[1];
        break;
    case 3:
        if (parts[0] > 0xFF || parts[1] > 0xFF || parts[2] > 0xFFFF) return INADDR_NONE;
        host = (parts[0] << 24) | (parts[1] << 16) | parts[2];
        break;
    default:
        if (parts[0] > 0xFF || parts[1] > 0xFF || parts[2] > 0xFF || parts[3] > 0xFF) return INADDR_NONE;
        host = (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3];
        break;
    }
    return (pelorin_win::htonl)(host);
}

}  // namespace pelorin_win
