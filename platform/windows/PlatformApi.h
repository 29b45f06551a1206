// On Windows the platform layer is the system itself: its own headers and
// libraries (ws2_32). This header only includes them in the right order and
// checks, at compile time, that the interfaces the recorder is written
// against exist with the numbers and signatures it relies on.
#pragma once

// Before any system header: keep winsock.h (version 1, other option numbers)
// out of windows.h, keep min/max from being macros, and let MSVC accept the
// classic C runtime and Winsock calls the recorder uses (wcscpy, inet_addr).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _CRT_SECURE_NO_WARNINGS
#define _CRT_SECURE_NO_WARNINGS
#endif
#ifndef _WINSOCK_DEPRECATED_NO_WARNINGS
#define _WINSOCK_DEPRECATED_NO_WARNINGS
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>  // ConvertInterfaceAliasToLuid and its kin (netioapi.h)

#include <stdlib.h>  // _wsplitpath_s, _MAX_DRIVE, _MAX_DIR
#include <time.h>    // localtime_s

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <type_traits>
#include <utility>

// The program's wide entry, called by the C runtime (-municode with mingw).
extern "C" int wmain(int argc, wchar_t** argv);

// A process's exit code keeps all 32 bits (an HRESULT is one as it is).
constexpr int kExitCodeBits = 32;

// Not a Winsock call: datagrams the system dropped at this socket because its
// receive buffer was full. Winsock keeps no such count per socket.
inline BOOL QuerySocketDrops(SOCKET, ULONGLONG*)
{
    return FALSE;
}

// Not Winsock calls: the time each datagram came in (ReceiveTimes.cpp).
// Asks the system to time-stamp every datagram the socket receives
// (SIO_TIMESTAMPING); FALSE when it cannot.
BOOL EnableReceiveTimes(SOCKET s);
// A receive of one buffer without the sender's address, posted so that its
// completion routine may ask QueryReceiveTime: WSARecvMsg where the system
// has it, else WSARecvFrom.
int PostTimedReceive(SOCKET s, LPWSABUF buffer, LPWSAOVERLAPPED overlapped,
                     LPWSAOVERLAPPED_COMPLETION_ROUTINE completionRoutine);
// In the completion routine of `overlapped`: the system's time stamp of its
// datagram in nanoseconds on QueryPerformanceCounter's clock; FALSE when the
// datagram came without one.
BOOL QueryReceiveTime(LPWSAOVERLAPPED overlapped, std::int64_t* nanoseconds);

// Not Winsock calls: the system's own words for a failure, which the Linux
// build adds on standard error. Windows users have the error number in the
// exit code and the debugger channel.
inline int LastSocketSystemError()
{
    return 0;
}
inline BOOL DescribeSystemError(int, char*, std::size_t)
{
    return FALSE;
}
// Not a Windows call: the index of the interface that has the IPv6 address
// (with its scope for a link-local one), 0 when none has it (Interfaces.cpp).
NET_IFINDEX InterfaceIndexOfAddress(const sockaddr_in6* address);

// Not a Winsock call: how a user gets the receive buffer asked for when the
// system granted less. Winsock grants what is asked; nothing to advise.
inline const char* ReceiveBufferRemedy()
{
    return "";
}

// The path as the file system takes it: UTF-16 from end to end.
inline std::filesystem::path FileSystemPath(const wchar_t* path)
{
    return std::filesystem::path(path);
}

// The inverse: a path's name as wide text.
inline std::wstring PathText(const std::filesystem::path& path)
{
    return path.wstring();
}

// Creates the directory that holds `path`'s file: one level, the drive
// included. A failure shows in the open that follows.
void CreateParentDirectory(const wchar_t* path);

// Flushes the file's data to stable storage; FALSE when it cannot.
inline BOOL FlushFileToStorage(const std::filesystem::path& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FALSE;
    const BOOL flushed = FlushFileBuffers(file);
    CloseHandle(file);
    return flushed;
}

// TRUE when the path names the file that the standard stream writes to.
inline BOOL SameFileAsStandardHandle(const wchar_t* path, DWORD standardHandle)
{
    HANDLE output = GetStdHandle(standardHandle);
    BY_HANDLE_FILE_INFORMATION outputInfo;
    if (output == nullptr || output == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(output, &outputInfo))
        return FALSE;  // a console or a pipe: not a file the path could name
    HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FALSE;
    BY_HANDLE_FILE_INFORMATION fileInfo;
    const BOOL same = GetFileInformationByHandle(file, &fileInfo) &&
                      fileInfo.dwVolumeSerialNumber == outputInfo.dwVolumeSerialNumber &&
                      fileInfo.nFileIndexHigh == outputInfo.nFileIndexHigh &&
                      fileInfo.nFileIndexLow == outputInfo.nFileIndexLow;
    CloseHandle(file);
    return same;
}

// Opening a named pipe without a server fails at once on Windows: nothing to
// wait for.
inline BOOL WaitForFileReader(const wchar_t*, DWORD)
{
    return TRUE;
}

namespace pelorin_platform_checks {

// Winsock 2 numbers. winsock.h (version 1) has other values for the two
// IP_ options; a socket set up with those would join nothing.
static_assert(AF_INET == 2 && SOCK_DGRAM == 2, "IPv4 datagram socket");
static_assert(SOL_SOCKET == 0xFFFF && SO_REUSEADDR == 4 && SO_SNDBUF == 0x1001 && SO_RCVBUF == 0x1002,
              "socket-level options");
static_assert(IPPROTO_IP == 0 && IP_MULTICAST_IF == 9 && IP_ADD_MEMBERSHIP == 12,
              "Winsock 2 multicast options (ws2tcpip.h), not winsock.h's");
static_assert(WSA_FLAG_OVERLAPPED == 0x01 && WSA_FLAG_MULTIPOINT_C_LEAF == 0x04 &&
                  WSA_FLAG_MULTIPOINT_D_LEAF == 0x10,
              "socket creation flags");
static_assert(WSA_IO_PENDING == 997 && WSA_WAIT_IO_COMPLETION == 0xC0 && WSA_WAIT_EVENT_0 == 0,
              "overlapped receive and alertable wait results");
static_assert(WSAEADDRNOTAVAIL == 10049 && WSANOTINITIALISED == 10093, "Winsock error numbers");
static_assert(sizeof(sockaddr_in) == 16 && sizeof(ip_mreq) == 8, "address records as Winsock takes them");
static_assert(IP_ADD_SOURCE_MEMBERSHIP == 15 && sizeof(ip_mreq_source) == 12 &&
                  offsetof(ip_mreq_source, imr_sourceaddr) == 4 && offsetof(ip_mreq_source, imr_interface) == 8,
              "Winsock's source-specific membership: group, source, interface");
static_assert(AF_INET6 == 23 && IPPROTO_IPV6 == 41 && IPV6_MULTICAST_IF == 9, "IPv6 datagram socket");
static_assert(MCAST_JOIN_GROUP == 41 && MCAST_JOIN_SOURCE_GROUP == 45 && offsetof(GROUP_REQ, gr_group) == 8 &&
                  sizeof(sockaddr_storage) == 128 && sizeof(sockaddr_in6) == 28,
              "the protocol-independent joins, by interface index");
static_assert(static_cast<unsigned long>(E_FAIL) == 0x80004005ul, "E_FAIL");
static_assert(THREAD_PRIORITY_HIGHEST == 2 && THREAD_PRIORITY_TIME_CRITICAL == 15, "thread priorities");
static_assert(_MAX_DRIVE == 3 && _MAX_DIR == 256, "path component buffer sizes");
static_assert(sizeof(std::time_t) == 8, "64-bit time");

// C runtime functions whose shape differs between libraries: the Microsoft
// localtime_s takes (tm*, const time_t*) and returns errno_t, the C11 one is
// the other way round; _wsplitpath_s exists in the Microsoft runtimes only.
static_assert(std::is_same<decltype(localtime_s(std::declval<std::tm*>(), std::declval<const std::time_t*>())),
                           errno_t>::value,
              "Microsoft localtime_s");
static_assert(std::is_same<decltype(_wsplitpath_s(std::declval<const wchar_t*>(), std::declval<wchar_t*>(),
                                                  std::size_t{}, std::declval<wchar_t*>(), std::size_t{},
                                                  std::declval<wchar_t*>(), std::size_t{},
                                                  std::declval<wchar_t*>(), std::size_t{})),
                           errno_t>::value,
              "_wsplitpath_s");
static_assert(std::is_same<decltype(GetTickCount64()), ULONGLONG>::value, "GetTickCount64 (Vista and later)");
static_assert(std::is_same<decltype(HRESULT_FROM_WIN32(0ul)), HRESULT>::value, "HRESULT_FROM_WIN32");
static_assert(static_cast<unsigned long>(STATUS_CONTROL_C_EXIT) == 0xC000013Aul, "the exit code of a Ctrl-C");
static_assert(CTRL_C_EVENT == 0 && CTRL_BREAK_EVENT == 1 && CTRL_CLOSE_EVENT == 2, "console control events");

}  // namespace pelorin_platform_checks
