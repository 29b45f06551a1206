#include "stream/DuplicateWindow.h"

#include <cstring>

namespace pelorin {

namespace {

// Eight bytes at a time with a multiply and a rotate: fast enough to run over
// every datagram, and two different payloads of a stream agree by chance
// about once in 2^64.
constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;

std::uint64_t Mix(std::uint64_t h, const std::uint8_t* d)
{
    std::uint64_t word;
    std::memcpy(&word, d, 8);
    h = (h ^ word) * kMul;
    return h ^ (h >> 29);
}

// The same for 16 bytes with one multiply: their two words folded first.
std::uint64_t Mix16(std::uint64_t h, const std::uint8_t* d)
{
    std::uint64_t low, high;
    std::memcpy(&low, d, 8);
    std::memcpy(&high, d + 8, 8);
    h = (h ^ low ^ ((high << 32) | (high >> 32))) * kMul;
    return h ^ (h >> 29);
}

std::uint64_t Digest(const std::uint8_t* d, std::size_t size)
{
    std::uint64_t h = size * kMul;
    if (size % 188 == 0 && size > 0 && d[0] == 0x47) {
        for (std::size_t at = 0; at < size; at += 188) h = Mix16(h, d + at);
        return h ^ (h >> 32);
    }
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) h = Mix(h, d + i);
    std::uint64_t tail = 0;
    std::memcpy(&tail, d + i, size - i);
    h = (h ^ tail) * kMul;
    return h ^ (h >> 32);
}

}  // namespace

void DuplicateWindow::Reset()
{
    next = filled = 0;
}

int DuplicateWindow::Match(const std::uint8_t* payload, std::size_t size)
{
    const std::uint64_t digest = Digest(payload, size);
    // Copies are rare: one pass over all the digests, which the compiler can
    // do several at a time, says whether to look for the newest in order.
    bool seen = false;
    for (const std::uint64_t earlier : digests) seen |= earlier == digest;
    int age = -1;
    for (std::size_t k = 1; seen && k <= filled && age < 0; ++k)
        if (digests[(next + kDatagrams - k) % kDatagrams] == digest) age = static_cast<int>(k - 1);
    digests[next] = digest;
    next = (next + 1) % kDatagrams;
    if (filled < kDatagrams) ++filled;
    return age;
}

}  // namespace pelorin
