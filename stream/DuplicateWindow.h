// Copies of a recent datagram, as a network that duplicates delivers them. A
// plain transport stream has no sequence number to tell a copy by, so the
// payload itself is compared, by a 64-bit digest, with the last kDatagrams
// datagrams'. For whole TS packets the digest takes the first 16 bytes of
// each (header, adaptation field or the start of the payload), which is
// enough to tell datagrams of a stream apart and costs a fraction of reading
// every byte; the caller confirms a match by the continuity counters.
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
    bool Repeats(const std::uint8_t* payload, std::size_t size) { return Match(payload, size) >= 0; }
    // The same, telling how many datagrams came between the newest equal
    // payload and this one (0: it was the one just before), or -1.
    int Match(const std::uint8_t* payload, std::size_t size);

private:
    std::uint64_t digests[kDatagrams] = {};
    std::size_t next = 0, filled = 0;
};

}  // namespace pelorin
