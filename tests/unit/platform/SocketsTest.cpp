// The Winsock set-up calls over BSD sockets: the start-up count and the
// options and bind the recorder's set-up relies on.
#include "platform/Platform.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

class SocketsTest : public testing::Test {
protected:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
        port = FreeUdpPort();
        socket = WSASocketW(AF_INET, SOCK_DGRAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
        ASSERT_NE(socket, INVALID_SOCKET);
    }
    void TearDown() override
    {
        if (socket != INVALID_SOCKET) closesocket(socket);
        WSACleanup();
    }
    std::uint16_t port = 0;
    SOCKET socket = INVALID_SOCKET;
};

}  // namespace

TEST_F(SocketsTest, CleanupReleasesSocketsAndLaterCallsSayNotInitialised)
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);  // a second user
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(closesocket(socket), 0);  // still started once
    socket = WSASocketW(AF_INET, SOCK_DGRAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
    EXPECT_EQ(WSACleanup(), 0);
    // Winsock has ended and closed the socket with it.
    EXPECT_EQ(closesocket(socket), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSASocketW(AF_INET, SOCK_DGRAM, 0, nullptr, 0, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    socket = INVALID_SOCKET;
    WSAStartup(MAKEWORD(2, 2), &data);  // for TearDown's cleanup
}

TEST_F(SocketsTest, OptionsTakeWinsockNumbersAndBindChecksTheAddress)
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
