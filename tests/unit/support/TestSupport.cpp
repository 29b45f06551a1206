#include "support/TestSupport.h"

#include "DebugOutputSink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

namespace {
std::mutex g_captureLock;
std::vector<std::wstring> g_captured;

void Collect(const wchar_t* text)
{
    std::lock_guard<std::mutex> guard(g_captureLock);
    g_captured.emplace_back(text);
}
}  // namespace

DebugCapture::DebugCapture()
{
    std::lock_guard<std::mutex> guard(g_captureLock);
    g_captured.clear();
    pelorin_win::SetDebugOutputSink(Collect);
}

DebugCapture::~DebugCapture() { pelorin_win::SetDebugOutputSink(nullptr); }

std::vector<std::wstring> DebugCapture::Messages() const
{
    std::lock_guard<std::mutex> guard(g_captureLock);
    return g_captured;
}

LoopbackSender::LoopbackSender() : fd(::socket(AF_INET, SOCK_DGRAM, 0)) {}
LoopbackSender::~LoopbackSender()
{
    if (fd >= 0) ::close(fd);
}

bool LoopbackSender::Send(std::uint16_t port, const void* data, std::size_t size)
{
    ::sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = ::htons(port);
    target.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    return ::sendto(fd, data, size, 0, reinterpret_cast<const ::sockaddr*>(&target), sizeof target) ==
           static_cast<ssize_t>(size);
}

std::uint16_t FreeUdpPort()
{
    int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    ::sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<::sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(probe, reinterpret_cast<::sockaddr*>(&address), &length);
    ::close(probe);
    return ::ntohs(address.sin_port);
}

bool UdpPortFree(std::uint16_t port)
{
    int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    ::sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    address.sin_port = ::htons(port);
    const bool bound = ::bind(probe, reinterpret_cast<::sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return bound;
}

std::vector<char> Payload(std::uint32_t index, std::size_t size)
{
    std::vector<char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((index * 131u + i * 7u) & 0xFFu);
    if (size >= 4) std::memcpy(bytes.data(), &index, 4);
    return bytes;
}

int CurrentThreadId() { return static_cast<int>(::syscall(SYS_gettid)); }

bool WaitUntilAsleep(int threadId)
{
    const std::string path = "/proc/self/task/" + std::to_string(threadId) + "/stat";
    for (int tries = 0; tries < 5000; ++tries) {
        std::ifstream stat(path);
        const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // The state letter follows the command name, which ends with ')'.
        const std::size_t close = text.rfind(')');
        if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S') return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}
