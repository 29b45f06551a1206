// Which of the datagrams taken at the socket belong to the recording. Bound
// to its port, a socket may also be handed unicast to a local address,
// broadcast and other groups joined at that port; a recording of a group
// keeps only what was sent to the group.
#pragma once

#include "platform/DatagramReceiver.h"

#include <cstdint>

class GroupFilter {
public:
    // An IPv4 "group" that is not multicast (joined by no one) keeps
    // whatever reaches the port, as its recording always has.
    static GroupFilter Ipv4(std::uint32_t groupNetworkOrder);
    static GroupFilter Ipv6(const std::uint8_t (&group)[16]);

    // A destination the system did not say is kept: the socket's own bind
    // and membership are then all there is to go by.
    bool Accepts(const DatagramDestination& destination) const;

private:
    DatagramDestination group_{};  // family unknown: keeps everything
};
