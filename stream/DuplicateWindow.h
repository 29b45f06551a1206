// Exact copies of a recent datagram, as a network that duplicates delivers
// them. A plain transport stream has no sequence number to tell a copy by,
// so the payload itself is compared (by a 64-bit digest) with the last
// kDatagrams datagrams'.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pelorin {

class DuplicateWindow {
public:
    static constexpr std::size_t kDatagrams = 32;

    void Reset();
    // True when `payload` equals one of the last kDatagrams payloads given;
    // either way it becomes the newest of them.
    bool Repeats(const std::uint8_t* payload, std::size_t size);

private:
    std::uint64_t digests[kDatagrams] = {};
    std::size_t next = 0, filled = 0;
};

}  // namespace pelorin
