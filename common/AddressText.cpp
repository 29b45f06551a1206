#include "common/AddressText.h"

#include <cstdio>
#include <cstring>

namespace {

// snprintf's length, or what fitted when the text was cut.
std::size_t Fitted(int written, std::size_t size)
{
    if (written < 0 || size == 0) return 0;
    return static_cast<std::size_t>(written) < size ? static_cast<std::size_t>(written) : size - 1;
}

}  // namespace

bool IsUnspecified(const IN6_ADDR& address)
{
    static const IN6_ADDR zero = {};
    return std::memcmp(&address, &zero, sizeof zero) == 0;
}

std::size_t FormatIPv4(ULONG address, char* text, std::size_t size)
{
    unsigned char bytes[4];
    std::memcpy(bytes, &address, 4);
    return Fitted(std::snprintf(text, size, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]), size);
}

std::size_t FormatIPv6(const IN6_ADDR& address, char* text, std::size_t size)
{
    const unsigned char* bytes = address.u.Byte;
    unsigned groups[8];
    for (int i = 0; i < 8; ++i) groups[i] = static_cast<unsigned>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    int bestStart = -1, bestLength = 1;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && groups[j] == 0) ++j;
        if (j - i > bestLength) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j > i ? j : i + 1;
    }
    const bool mapped = bestStart == 0 && bestLength == 5 && groups[5] == 0xFFFF;
    char out[64];
    std::size_t used = 0;
    for (int i = 0; i < (mapped ? 6 : 8); ++i) {
        if (i == bestStart) {
            used += static_cast<std::size_t>(std::snprintf(out + used, sizeof out - used, "::"));
            i += bestLength - 1;
            continue;
        }
        const bool afterRun = bestStart >= 0 && i == bestStart + bestLength;
        used += static_cast<std::size_t>(
            std::snprintf(out + used, sizeof out - used, "%s%x", i == 0 || afterRun ? "" : ":", groups[i]));
    }
    if (mapped)
        used += static_cast<std::size_t>(
            std::snprintf(out + used, sizeof out - used, ":%u.%u.%u.%u", bytes[12], bytes[13], bytes[14], bytes[15]));
    return Fitted(std::snprintf(text, size, "%s", out), size);
}

std::size_t FormatStreamAddress(StreamAddressPart part, ULONG ipv4, const ExtendedAddresses& extended, char* text,
                                std::size_t size)
{
    if (size == 0) return 0;
    const bool ipv6 = extended.family == AF_INET6;
    text[0] = '\0';
    switch (part) {
        case StreamAddressPart::group:
            return ipv6 ? FormatIPv6(extended.group, text, size) : FormatIPv4(ipv4, text, size);
        case StreamAddressPart::source:
            if (ipv6) return IsUnspecified(extended.source) ? 0 : FormatIPv6(extended.source, text, size);
            return ipv4 == 0 ? 0 : FormatIPv4(ipv4, text, size);
        case StreamAddressPart::interfaceAddress: break;
    }
    char name[256] = {};
    if (extended.interfaceName != nullptr &&
        WideCharToMultiByte(CP_ACP, 0, extended.interfaceName, -1, name, sizeof name, nullptr, nullptr) == 0)
        std::snprintf(name, sizeof name, "?");
    if (ipv6 && !IsUnspecified(extended.interfaceAddress)) {
        std::size_t used = FormatIPv6(extended.interfaceAddress, text, size);
        if (name[0] != '\0') used += Fitted(std::snprintf(text + used, size - used, "%%%s", name), size - used);
        return used;
    }
    if (name[0] != '\0') return Fitted(std::snprintf(text, size, "%s", name), size);
    return ipv6 ? Fitted(std::snprintf(text, size, "::"), size) : FormatIPv4(ipv4, text, size);
}

std::size_t FormatStreamAddress(StreamAddressPart part, const RecordingSettings& settings, char* text, std::size_t size)
{
    const ULONG ipv4 = part == StreamAddressPart::group    ? settings.groupAddress
                       : part == StreamAddressPart::source ? settings.sourceAddress
                                                           : settings.interfaceAddress;
    return FormatStreamAddress(part, ipv4, settings.extended, text, size);
}
