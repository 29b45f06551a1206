#include "receiver/GroupFilter.h"

#include <cstring>

GroupFilter GroupFilter::Ipv4(std::uint32_t groupNetworkOrder)
{
    GroupFilter filter;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&groupNetworkOrder);
    if (bytes[0] >= 224 && bytes[0] <= 239) {
        filter.group_.family = DatagramDestination::Family::ipv4;
        std::memcpy(filter.group_.address, bytes, 4);
    }
    return filter;
}

GroupFilter GroupFilter::Ipv6(const std::uint8_t (&group)[16])
{
    GroupFilter filter;
    filter.group_.family = DatagramDestination::Family::ipv6;
    std::memcpy(filter.group_.address, group, 16);
    return filter;
}

bool GroupFilter::Accepts(const DatagramDestination& destination) const
{
    using Family = DatagramDestination::Family;
    if (group_.family == Family::unknown || destination.family == Family::unknown) return true;
    const std::size_t length = group_.family == Family::ipv4 ? 4 : 16;
    return destination.family == group_.family && std::memcmp(destination.address, group_.address, length) == 0;
}
