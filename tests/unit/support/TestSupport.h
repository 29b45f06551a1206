// Helpers shared by the unit tests. Free of the platform header, so that
// their implementation can use the host's sockets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Collects the debugger output channel while alive.
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    std::vector<std::wstring> Messages() const;
};

// A UDP socket of the host's own, for sending test datagrams to 127.0.0.1.
class LoopbackSender {
public:
    LoopbackSender();
    ~LoopbackSender();
    bool Send(std::uint16_t port, const void* data, std::size_t size);

private:
    int fd;
};

// A free UDP port on 127.0.0.1, in host byte order.
std::uint16_t FreeUdpPort();
// True when a socket of the host's, without address reuse, can bind 127.0.0.1:port.
bool UdpPortFree(std::uint16_t port);

// This thread's id, for WaitUntilAsleep.
int CurrentThreadId();
// Waits until the thread `threadId` of this process sleeps in a blocking
// call (up to 5 s): another thread's event then comes while it waits.
bool WaitUntilAsleep(int threadId);

// Numbered payload i of `size` bytes, as the tests send and expect it.
std::vector<char> Payload(std::uint32_t index, std::size_t size);
