#include "platform/Platform.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

struct Completion {
    DWORD error;
    DWORD bytes;
    std::thread::id thread;
};

// The request record the tests post; the routine finds its state behind it.
struct TestRequest {
    WSAOVERLAPPED overlapped;
    SOCKET socket;
    WSABUF buffer;
    char data[2048];
    std::vector<Completion> completions;
    bool repost;
};

void CALLBACK Record(DWORD error, DWORD bytes, LPWSAOVERLAPPED overlapped, DWORD)
{
    auto* request = reinterpret_cast<TestRequest*>(overlapped);
    request->completions.push_back({error, bytes, std::this_thread::get_id()});
    if (request->repost && error == 0) {
        DWORD flags = 0;
        WSARecvFrom(request->socket, &request->buffer, 1, nullptr, &flags, nullptr, nullptr, &request->overlapped,
                    Record);
    }
}

class OverlappedTest : public testing::Test {
protected:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
        port = FreeUdpPort();
        request.socket = WSASocketW(AF_INET, SOCK_DGRAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
        ASSERT_NE(request.socket, INVALID_SOCKET);
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        local.sin_addr.s_addr = inet_addr("127.0.0.1");
        ASSERT_EQ(bind(request.socket, reinterpret_cast<const sockaddr*>(&local), sizeof local), 0);
        request.buffer.len = sizeof request.data;
        request.buffer.buf = request.data;
        stop = WSACreateEvent();
    }
    void TearDown() override
    {
        if (request.socket != INVALID_SOCKET) closesocket(request.socket);
        WSACloseEvent(stop);
        WSACleanup();
    }
    int Post()
    {
        DWORD flags = 0;
        return WSARecvFrom(request.socket, &request.buffer, 1, nullptr, &flags, nullptr, nullptr, &request.overlapped,
                           Record);
    }
    void SendNumbered(int count, std::size_t size = 100)
    {
        for (int i = 0; i < count; ++i) {
            std::vector<char> payload = Payload(static_cast<std::uint32_t>(i), size);
            ASSERT_TRUE(sender.Send(port, payload.data(), payload.size()));
        }
    }
    std::uint16_t port = 0;
    TestRequest request{};
    WSAEVENT stop = nullptr;
    LoopbackSender sender;
};

}  // namespace

TEST_F(OverlappedTest, RoutineRunsOnlyInThePostersAlertableWait)
{
    EXPECT_EQ(Post(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSA_IO_PENDING);
    SendNumbered(1, 321);

    // Neither another thread's wait nor a non-alertable wait runs it.
    std::thread other([&] { WSAWaitForMultipleEvents(1, &stop, FALSE, 50, TRUE); });
    other.join();
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &stop, FALSE, 50, FALSE), WSA_WAIT_TIMEOUT);
    EXPECT_TRUE(request.completions.empty());

    EXPECT_EQ(WSAWaitForMultipleEvents(1, &stop, FALSE, WSA_INFINITE, TRUE), WSA_WAIT_IO_COMPLETION);
    ASSERT_EQ(request.completions.size(), 1u);
    EXPECT_EQ(request.completions[0].error, 0u);
    EXPECT_EQ(request.completions[0].bytes, 321u);
    EXPECT_EQ(request.completions[0].thread, std::this_thread::get_id());
    EXPECT_EQ(std::memcmp(request.data, Payload(0, 321).data(), 321), 0);
}

TEST_F(OverlappedTest, SignalledEventEndsTheWaitBeforeAnyCompletion)
{
    request.repost = true;
    Post();
    SendNumbered(20);
    SetEvent(stop);
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &stop, FALSE, WSA_INFINITE, TRUE), WSA_WAIT_EVENT_0);
    EXPECT_TRUE(request.completions.empty());
}

TEST_F(OverlappedTest, OneWaitRunsABoundedNumberOfCompletions)
{
    int size = 212992;  // room for every datagram below
    ASSERT_EQ(setsockopt(request.socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), 4), 0);
    request.repost = true;
    Post();
    SendNumbered(300);  // all queued in the socket before the wait
    DWORD first = WSAWaitForMultipleEvents(1, &stop, FALSE, WSA_INFINITE, TRUE);
    EXPECT_EQ(first, WSA_WAIT_IO_COMPLETION);
    EXPECT_GE(request.completions.size(), 1u);
    EXPECT_LT(request.completions.size(), 300u);
    while (request.completions.size() < 300)
        ASSERT_EQ(WSAWaitForMultipleEvents(1, &stop, FALSE, 5000, TRUE), WSA_WAIT_IO_COMPLETION);
    // In order, each datagram once, the next receive tried at once.
    for (std::size_t i = 0; i < request.completions.size(); ++i) EXPECT_EQ(request.completions[i].bytes, 100u);
    std::uint32_t last = 0;
    std::memcpy(&last, request.data, 4);
    EXPECT_EQ(last, 299u);
}

TEST_F(OverlappedTest, SocketFoundEmptyIsReadAgainOnceDataArrives)
{
    request.repost = true;
    Post();
    // The wait finds the socket empty and gives up; what arrives afterwards
    // must still complete the same request.
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &stop, FALSE, 30, TRUE), WSA_WAIT_TIMEOUT);
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &stop, FALSE, 30, TRUE), WSA_WAIT_TIMEOUT);
    SendNumbered(3);
    while (request.completions.size() < 3)
        ASSERT_EQ(WSAWaitForMultipleEvents(1, &stop, FALSE, 5000, TRUE), WSA_WAIT_IO_COMPLETION);
    EXPECT_EQ(request.completions.size(), 3u);

    // And a datagram that comes while the thread sleeps wakes it.
    const int waiter = CurrentThreadId();
    std::thread late([&] {
        EXPECT_TRUE(WaitUntilAsleep(waiter));
        SendNumbered(1);
    });
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &stop, FALSE, 5000, TRUE), WSA_WAIT_IO_COMPLETION);
    late.join();
    EXPECT_EQ(request.completions.size(), 4u);
}

TEST_F(OverlappedTest, WaitWithoutTimeLimitWakesForALateDatagramAndForTheEvent)
{
    // One request and no time limit: the wait sleeps in the receive itself.
    request.repost = true;
    Post();
    const int waiter = CurrentThreadId();
    std::thread late([&] {
        EXPECT_TRUE(WaitUntilAsleep(waiter));
        SendNumbered(1, 200);
    });
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &stop, FALSE, WSA_INFINITE, TRUE), WSA_WAIT_IO_COMPLETION);
    late.join();
    ASSERT_EQ(request.completions.size(), 1u);
    EXPECT_EQ(request.completions[0].bytes, 200u);

    std::thread setter([&] {
        EXPECT_TRUE(WaitUntilAsleep(waiter));
        SetEvent(stop);
    });
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &stop, FALSE, WSA_INFINITE, TRUE), WSA_WAIT_EVENT_0);
    setter.join();
    EXPECT_EQ(request.completions.size(), 1u);
}

TEST_F(OverlappedTest, ClosingTheSocketCancelsWithoutRunningTheRoutine)
{
    Post();
    SendNumbered(1);
    EXPECT_EQ(closesocket(request.socket), 0);
    EXPECT_EQ(closesocket(request.socket), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    request.socket = INVALID_SOCKET;
    EXPECT_EQ(WSAWaitForMultipleEvents(1, &stop, FALSE, 50, TRUE), WSA_WAIT_TIMEOUT);
    EXPECT_TRUE(request.completions.empty());
}

TEST_F(OverlappedTest, CleanupReleasesSocketsAndLaterCallsSayNotInitialised)
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);  // a second user
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(closesocket(request.socket), 0);  // still started once
    request.socket = WSASocketW(AF_INET, SOCK_DGRAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
    EXPECT_EQ(WSACleanup(), 0);
    // Winsock has ended and closed the socket with it.
    EXPECT_EQ(closesocket(request.socket), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSASocketW(AF_INET, SOCK_DGRAM, 0, nullptr, 0, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    request.socket = INVALID_SOCKET;
    WSAStartup(MAKEWORD(2, 2), &data);  // for TearDown's cleanup
}

TEST_F(OverlappedTest, OptionsTakeWinsockNumbersAndBindChecksTheAddress)
{
    SOCKET other = WSASocketW(AF_INET, SOCK_DGRAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
    const char one = 1;
    EXPECT_EQ(setsockopt(other, SOL_SOCKET, SO_REUSEADDR, &one, 1), 0);
    int size = 131600;
    EXPECT_EQ(setsockopt(other, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), 4), 0);
    EXPECT_EQ(setsockopt(other, SOL_SOCKET, 0x7777, reinterpret_cast<const char*>(&size), 4), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOPROTOOPT);

    ULONG missing = inet_addr("10.255.255.254");
    EXPECT_EQ(setsockopt(other, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&missing), 4),
              SOCKET_ERROR);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = missing;
    EXPECT_EQ(bind(other, reinterpret_cast<const sockaddr*>(&local), sizeof local), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRNOTAVAIL);
    local.sin_addr.s_addr = inet_addr("239.255.0.1");
    EXPECT_EQ(bind(other, reinterpret_cast<const sockaddr*>(&local), sizeof local), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRNOTAVAIL);
    closesocket(other);
}
