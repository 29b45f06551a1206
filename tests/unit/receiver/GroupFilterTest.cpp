// What the recording keeps of the datagrams taken at its port, by the
// destination the system reported for each.
#include "receiver/GroupFilter.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

DatagramDestination V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    return DatagramDestination{DatagramDestination::Family::ipv4, {a, b, c, d}};
}

// An IPv6 address from its first two bytes and its last one.
DatagramDestination V6(std::uint8_t first, std::uint8_t second, std::uint8_t last)
{
    DatagramDestination d{DatagramDestination::Family::ipv6, {first, second}};
    d.address[15] = last;
    return d;
}

GroupFilter FilterFor(const DatagramDestination& group)
{
    if (group.family == DatagramDestination::Family::ipv6) return GroupFilter::Ipv6(group.address);
    std::uint32_t address = 0;
    std::memcpy(&address, group.address, 4);
    return GroupFilter::Ipv4(address);
}

}  // namespace

TEST(GroupFilterTest, KeepsWhatWasSentToTheGroupAndWhatTheSystemDidNotPlace)
{
    const DatagramDestination unknown{DatagramDestination::Family::unknown, {}};
    const struct {
        const char* what;
        DatagramDestination group;
        DatagramDestination sent;
        bool kept;
    } cases[] = {
        {"IPv4 group", V4(239, 1, 2, 3), V4(239, 1, 2, 3), true},
        {"other IPv4 group, same port", V4(239, 1, 2, 3), V4(239, 1, 2, 4), false},
        {"unicast to the port", V4(239, 1, 2, 3), V4(127, 0, 0, 1), false},
        {"broadcast to the port", V4(239, 1, 2, 3), V4(255, 255, 255, 255), false},
        {"IPv4 destination unknown", V4(239, 1, 2, 3), unknown, true},
        {"IPv6 group", V6(0xff, 0x15, 0x34), V6(0xff, 0x15, 0x34), true},
        {"other IPv6 group, same port", V6(0xff, 0x15, 0x34), V6(0xff, 0x15, 0x35), false},
        {"unicast to the IPv6 port", V6(0xff, 0x15, 0x34), V6(0, 0, 1), false},
        {"IPv6 destination unknown", V6(0xff, 0x15, 0x34), unknown, true},
        {"IPv4 datagram at an IPv6 recording", V6(0xff, 0x15, 0x34), V4(239, 1, 2, 3), false},
        {"no group (unicast recording)", V4(0, 0, 0, 0), V4(127, 0, 0, 1), true},
        {"a local address as the group", V4(127, 0, 0, 1), V4(239, 1, 2, 3), true},
    };
    for (const auto& c : cases) EXPECT_EQ(FilterFor(c.group).Accepts(c.sent), c.kept) << c.what;
}
