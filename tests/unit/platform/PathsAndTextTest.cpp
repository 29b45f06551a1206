#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

TEST(WideToNarrow, ReportsSizeAndRefusesSmallBuffers)
{
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"239.1", -1, nullptr, 0, nullptr, nullptr), 6);
    char narrow[6];
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"239.1", -1, narrow, 6, nullptr, nullptr), 6);
    EXPECT_STREQ(narrow, "239.1");
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"239.1", -1, narrow, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(InetAddr, ClassicForms)
{
    EXPECT_EQ(inet_addr("239.255.0.1"), htonl(0xEFFF0001u));
    EXPECT_EQ(inet_addr("0xEFFF0001"), htonl(0xEFFF0001u));
    EXPECT_EQ(inet_addr("4026466305"), htonl(0xEFFF0001u));
    EXPECT_EQ(inet_addr("239.16711681"), htonl(0xEFFF0001u));
    EXPECT_EQ(inet_addr("0357.0xff.0.01"), htonl(0xEFFF0001u));
    EXPECT_EQ(inet_addr("0"), 0u);
    EXPECT_EQ(inet_addr("1.2.3.4 "), htonl(0x01020304u));
    for (const char* bad : {"", ".", "1.", "1..2", "1.2.3.4.5", "256.1.1.1", "1.2.3.256", "0x", "09", "1.2.3.4x",
                            "4294967296", "-1", " 1.2.3.4"})
        EXPECT_EQ(inet_addr(bad), INADDR_NONE) << bad;
}

TEST(ResultCodes, Win32ErrorsBecomeHresults)
{
    EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(WSAENOBUFS)), 0x80072747u);
    EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(WSANOTINITIALISED)), 0x8007276Du);
    EXPECT_EQ(HRESULT_FROM_WIN32(0), 0);
    EXPECT_EQ(HRESULT_FROM_WIN32(static_cast<unsigned long>(E_FAIL)), E_FAIL);
}

TEST(LocalTime, ConvertsAndRejectsNull)
{
    std::time_t epoch = 86400 * 365;
    std::tm local{};
    EXPECT_EQ(localtime_s(&local, &epoch), 0);
    EXPECT_GE(local.tm_year, 70);
    EXPECT_EQ(localtime_s(nullptr, &epoch), EINVAL);
}
