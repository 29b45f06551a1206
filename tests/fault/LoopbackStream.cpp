#include "LoopbackStream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

std::uint32_t Mix(std::uint32_t value)
{
    value ^= value >> 16;
    value *= 0x7FEB352Du;
    value ^= value >> 15;
    value *= 0x846CA68Bu;
    value ^= value >> 16;
    return value;
}

}  // namespace

std::size_t StreamShape::SizeOf(std::uint32_t index) const
{
    if (seed == 0) return fixedSize;
    const std::uint32_t draw = Mix(index * 2654435761u ^ seed);
    if (draw % 41 == 0) return 0;
    return 1 + draw % 2999;
}

std::string StreamShape::Payload(std::uint32_t index) const
{
    std::string bytes(SizeOf(index), '\0');
    const std::uint32_t base = Mix(index + 0x9E3779B9u);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((base >> (i % 4 * 8)) + static_cast<std::uint32_t>(i) * 131u);
    for (std::size_t i = 0; i < 4 && i < bytes.size(); ++i) bytes[i] = static_cast<char>(index >> (i * 8));
    return bytes;
}

std::string StreamShape::Concatenation(std::uint32_t count) const
{
    std::string all;
    for (std::uint32_t i = 0; i < count; ++i) all += Payload(i);
    return all;
}

LoopbackStream::LoopbackStream(std::uint16_t portValue, StreamShape shapeValue, std::uint32_t countValue,
                               std::uint32_t windowValue, std::function<bool()> readyCheck,
                               std::function<unsigned long()> consumedCount)
    : port(portValue),
      shape(shapeValue),
      count(countValue),
      window(windowValue),
      ready(std::move(readyCheck)),
      consumed(std::move(consumedCount))
{
}

LoopbackStream::~LoopbackStream() { Stop(); }

void LoopbackStream::TriggerAt(std::uint32_t count, std::function<void()> action)
{
    triggerCount = count;
    trigger = std::move(action);
}

void LoopbackStream::Start()
{
    stopping.store(false);
    sent.store(0);
    thread = std::thread([this] { Run(); });
}

void LoopbackStream::Stop()
{
    stopping.store(true);
    if (thread.joinable()) thread.join();
}

void LoopbackStream::PullTrigger()
{
    if (trigger && consumed() >= triggerCount) {
        trigger();
        trigger = nullptr;
    }
}

void LoopbackStream::Run()
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(30);
    auto pause = [this] {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        PullTrigger();
    };

    while (!ready()) {
        if (stopping.load() || Clock::now() > giveUp) return;
        pause();
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return;
    ::sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    for (std::uint32_t index = 0; index < count; ++index) {
        while (index >= consumed() + window) {
            if (stopping.load() || Clock::now() > giveUp) {
                ::close(fd);
                return;
            }
            pause();
        }
        if (stopping.load()) break;
        PullTrigger();
        const std::string payload = shape.Payload(index);
        if (::sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const ::sockaddr*>(&target),
                     sizeof target) != static_cast<ssize_t>(payload.size()))
            break;
        sent.store(index + 1);
    }
    ::close(fd);
}

std::uint16_t UnusedLoopbackPort()
{
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    ::sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<::sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(probe, reinterpret_cast<::sockaddr*>(&address), &length);
    ::close(probe);
    return ntohs(address.sin_port);
}

std::string FirstDifference(const std::string& file, const std::string& expected)
{
    if (file == expected) return "";
    std::size_t at = 0;
    while (at < file.size() && at < expected.size() && file[at] == expected[at]) ++at;
    std::ostringstream text;
    text << "the recording has " << file.size() << " bytes, " << expected.size() << " expected; first difference at byte "
         << at;
    return text.str();
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
