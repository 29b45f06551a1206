// A numbered test stream sent to 127.0.0.1, and what a recording of it must
// hold. Free of the platform header, so that the implementation can use the
// host's own sockets.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

// The payload sizes of one stream: every datagram `fixedSize` bytes, or,
// with a seed, sizes drawn from the seed and the datagram's index (1 to 2999
// bytes, and now and then an empty datagram).
struct StreamShape {
    std::size_t fixedSize = 1316;
    std::uint32_t seed = 0;  // 0: fixed size

    std::size_t SizeOf(std::uint32_t index) const;
    // Datagram `index`: its index in the first four bytes, then bytes that
    // follow from the index and the position.
    std::string Payload(std::uint32_t index) const;
    // What the first `count` datagrams make when stored back to back.
    std::string Concatenation(std::uint32_t count) const;
};

// Sends `count` datagrams of `shape` to 127.0.0.1:port from a thread of its
// own. It begins once `ready()` is true and keeps at most `window`
// datagrams ahead of `consumed()`, the number of datagrams the receiver has
// taken from its socket, so that the socket's buffer never overflows and
// nothing is dropped before the recorder sees it. It ends by itself after
// `count` datagrams, on Stop(), or at the latest after 30 s.
class LoopbackStream {
public:
    LoopbackStream(std::uint16_t port, StreamShape shape, std::uint32_t count, std::uint32_t window,
                   std::function<bool()> ready, std::function<unsigned long()> consumed);
    ~LoopbackStream();
    LoopbackStream(const LoopbackStream&) = delete;
    LoopbackStream& operator=(const LoopbackStream&) = delete;

    // Runs `action` once, on the sending thread, as soon as `consumed()` has
    // reached `count`. Before Start.
    void TriggerAt(std::uint32_t count, std::function<void()> action);

    void Start();
    void Stop();
    std::uint32_t Sent() const { return sent.load(); }

private:
    void Run();
    void PullTrigger();

    std::uint16_t port;
    StreamShape shape;
    std::uint32_t count;
    std::uint32_t window;
    std::function<bool()> ready;
    std::function<unsigned long()> consumed;
    std::uint32_t triggerCount = 0;
    std::function<void()> trigger;
    std::atomic<bool> stopping{false};
    std::atomic<std::uint32_t> sent{0};
    std::thread thread;
};

// A UDP port on 127.0.0.1 that nothing is bound to, in host byte order.
std::uint16_t UnusedLoopbackPort();

// Where the recording `file` first differs from `expected`, as a readable
// message; empty when they are equal.
std::string FirstDifference(const std::string& file, const std::string& expected);

std::string ReadWholeFile(const std::string& path);
