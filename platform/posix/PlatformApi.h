// Our own implementation of the part of the Windows interface that the Linux
// build still takes, with the semantics the program relies on:
// - Winsock set-up: start-up and clean-up, the socket, its options (the
//   receive buffer, reuse, memberships), bind, close, its events, and
//   Winsock's numbers and error codes;
// - kernel objects: threads and their priority, manual-reset events, waits,
//   critical sections, the last error;
// - the clocks (GetTickCount64, QueryPerformanceCounter), Sleep, the physical
//   memory, ExitProcess;
// - text and output: WideCharToMultiByte, localtime_s, OutputDebugStringW
//   (syslog), the standard handles, the console's width and its control
//   handler (signals).
// Receiving is not emulated: the receive seam (platform/DatagramReceiver.h)
// is met natively, with recvmmsg (DatagramReceiver.cpp), and says each
// datagram's destination; which destinations a recording keeps is the
// recorder's rule, not this layer's.
//
// Everything lives in namespace pelorin_win and is pulled into the global
// namespace, so portable code names it exactly as on Windows. Implementation
// files include this header before any system socket header: several Winsock
// names (SOL_SOCKET, SO_RCVBUF, ...) are macros there with other values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <cwchar>
#include <filesystem>
#include <string>
#include <pthread.h>

namespace pelorin_win {

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using USHORT = std::uint16_t;
using u_short = std::uint16_t;
using u_long = std::uint32_t;
using UINT = unsigned int;
using INT = int;
using HRESULT = std::int32_t;
using ULONG_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using ULONGLONG = std::uint64_t;
using LPVOID = void*;
using LPDWORD = DWORD*;
using LPINT = int*;
using CHAR = char;
using WCHAR = wchar_t;
using LPCWSTR = const wchar_t*;
using errno_t = int;
using HANDLE = void*;
using WSAEVENT = HANDLE;
using SOCKET = std::uintptr_t;
using GROUP = unsigned int;

#define WINAPI
#define CALLBACK

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

constexpr HRESULT S_OK = 0;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);

inline HRESULT HRESULT_FROM_WIN32(unsigned long code)
{
    return static_cast<HRESULT>(code) <= 0
               ? static_cast<HRESULT>(code)
               : static_cast<HRESULT>((code & 0x0000FFFFu) | 0x80070000u);
}

// Win32 and Winsock error numbers.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_PIPE_NOT_CONNECTED = 233;
constexpr int WSA_IO_PENDING = 997;
constexpr int WSA_OPERATION_ABORTED = 995;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSANOTINITIALISED = 10093;

// Winsock option levels and numbers (Windows values, not the host's).
namespace winsock_values {
constexpr int afInet = 2;
constexpr int sockDgram = 2;
constexpr int solSocket = 0xFFFF;
constexpr int soReuseAddr = 0x0004;
constexpr int soSndBuf = 0x1001;
constexpr int soRcvBuf = 0x1002;
constexpr int ipprotoIp = 0;
constexpr int ipMulticastIf = 9;
constexpr int ipAddMembership = 12;
constexpr int ipAddSourceMembership = 15;
constexpr int afInet6 = 23;
constexpr int ipprotoIpv6 = 41;
constexpr int ipv6MulticastIf = 9;
constexpr int mcastJoinGroup = 41;
constexpr int mcastJoinSourceGroup = 45;
constexpr ULONG inaddrAny = 0x00000000u;
constexpr ULONG inaddrNone = 0xFFFFFFFFu;
}  // namespace winsock_values

constexpr int AF_INET = winsock_values::afInet;
constexpr int SOCK_DGRAM = winsock_values::sockDgram;
constexpr int SOL_SOCKET = winsock_values::solSocket;
constexpr int SO_REUSEADDR = winsock_values::soReuseAddr;
constexpr int SO_SNDBUF = winsock_values::soSndBuf;
constexpr int SO_RCVBUF = winsock_values::soRcvBuf;
constexpr int IPPROTO_IP = winsock_values::ipprotoIp;
constexpr int IP_MULTICAST_IF = winsock_values::ipMulticastIf;
constexpr int IP_ADD_MEMBERSHIP = winsock_values::ipAddMembership;
constexpr int IP_ADD_SOURCE_MEMBERSHIP = winsock_values::ipAddSourceMembership;
constexpr int AF_INET6 = winsock_values::afInet6;
constexpr int IPPROTO_IPV6 = winsock_values::ipprotoIpv6;
constexpr int IPV6_MULTICAST_IF = winsock_values::ipv6MulticastIf;
constexpr int MCAST_JOIN_GROUP = winsock_values::mcastJoinGroup;
constexpr int MCAST_JOIN_SOURCE_GROUP = winsock_values::mcastJoinSourceGroup;
constexpr ULONG INADDR_ANY = winsock_values::inaddrAny;
constexpr ULONG INADDR_NONE = winsock_values::inaddrNone;

constexpr SOCKET INVALID_SOCKET = ~static_cast<SOCKET>(0);
constexpr int SOCKET_ERROR = -1;
constexpr DWORD WSA_FLAG_OVERLAPPED = 0x01;
constexpr DWORD WSA_FLAG_MULTIPOINT_C_LEAF = 0x04;
constexpr DWORD WSA_FLAG_MULTIPOINT_D_LEAF = 0x10;

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_IO_COMPLETION = 0xC0;
constexpr DWORD WAIT_TIMEOUT = 0x102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD WSA_INFINITE = INFINITE;
constexpr DWORD WSA_WAIT_EVENT_0 = WAIT_OBJECT_0;
constexpr DWORD WSA_WAIT_IO_COMPLETION = WAIT_IO_COMPLETION;
constexpr DWORD WSA_WAIT_TIMEOUT = WAIT_TIMEOUT;
constexpr DWORD WSA_WAIT_FAILED = WAIT_FAILED;
constexpr DWORD STILL_ACTIVE = 259;

constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_HIGHEST = 2;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;

constexpr UINT CP_ACP = 0;

inline constexpr WORD MAKEWORD(int low, int high)
{
    return static_cast<WORD>((low & 0xFF) | ((high & 0xFF) << 8));
}

// --- Windows Sockets -------------------------------------------------------

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
};
using LPWSADATA = WSADATA*;

struct in_addr {
    ULONG s_addr;
};

struct sockaddr {
    u_short sa_family;
    char sa_data[14];
};

struct sockaddr_in {
    short sin_family;
    USHORT sin_port;
    in_addr sin_addr;
    char sin_zero[8];
};

struct ip_mreq {
    in_addr imr_multiaddr;
    in_addr imr_interface;
};

// Winsock's order, which is not Linux's: the source comes second.
struct ip_mreq_source {
    in_addr imr_multiaddr;
    in_addr imr_sourceaddr;
    in_addr imr_interface;
};

struct WSAPROTOCOL_INFOW;
using LPWSAPROTOCOL_INFOW = WSAPROTOCOL_INFOW*;

int WSAStartup(WORD version, LPWSADATA data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);
SOCKET WSASocketW(int af, int type, int protocol, LPWSAPROTOCOL_INFOW info, GROUP group, DWORD flags);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int bind(SOCKET s, const sockaddr* name, int namelen);
int closesocket(SOCKET s);
WSAEVENT WSACreateEvent();
BOOL WSACloseEvent(WSAEVENT event);
ULONG inet_addr(const char* text);

// Not a Winsock call: datagrams the system dropped at this socket because its
// receive buffer was full. FALSE when the platform cannot tell.
BOOL QuerySocketDrops(SOCKET s, ULONGLONG* drops);
// Not a Winsock call: asks the system to time-stamp every datagram the socket
// receives, for the receive seam. FALSE when it cannot.
BOOL EnableReceiveTimes(SOCKET s);
// Not Winsock calls: the system's own account of a failure. The errno of the
// last socket call on this thread that failed (0 when none did), and the
// words for an errno value, "Permission denied (13)"; FALSE when there are
// none to give.
int LastSocketSystemError();
BOOL DescribeSystemError(int error, char* text, std::size_t size);
// Not a Winsock call: how a user gets the receive buffer asked for when the
// system granted less; "" when there is nothing to advise.
const char* ReceiveBufferRemedy();

// Inline, because the C library may define the host's versions as macros.
inline u_short htons(u_short value)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return static_cast<u_short>(((value & 0xFFu) << 8) | (value >> 8));
#else
    return value;
#endif
}
inline u_short ntohs(u_short value) { return htons(value); }
inline u_long htonl(u_long value)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return ((value & 0xFFu) << 24) | ((value & 0xFF00u) << 8) | ((value >> 8) & 0xFF00u) | (value >> 24);
#else
    return value;
#endif
}
inline u_long ntohl(u_long value) { return htonl(value); }

// --- Kernel ----------------------------------------------------------------

using LPTHREAD_START_ROUTINE = DWORD(WINAPI*)(LPVOID parameter);
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

struct CRITICAL_SECTION {
    pthread_mutex_t mutex;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId);
BOOL SetThreadPriority(HANDLE thread, int priority);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
BOOL CloseHandle(HANDLE handle);
void InitializeCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);
DWORD GetLastError();
void SetLastError(DWORD error);

// Only the physical memory is filled in.
struct MEMORYSTATUSEX {
    DWORD dwLength;
    DWORD dwMemoryLoad;
    ULONGLONG ullTotalPhys;
    ULONGLONG ullAvailPhys;
    ULONGLONG ullTotalPageFile;
    ULONGLONG ullAvailPageFile;
    ULONGLONG ullTotalVirtual;
    ULONGLONG ullAvailVirtual;
    ULONGLONG ullAvailExtendedVirtual;
};
BOOL GlobalMemoryStatusEx(MEMORYSTATUSEX* status);
// A process's exit status keeps the low 8 bits of its exit code.
constexpr int kExitCodeBits = 8;
// Ends the process at once with the exit code (after a handled console
// control signal: by that signal), without running destructors or waiting
// for other threads: for a thread that may be stuck in a write.
[[noreturn]] void ExitProcess(UINT exitCode);
ULONGLONG GetTickCount64();
void Sleep(DWORD milliseconds);
// The high-resolution monotonic counter; portable code uses QuadPart only.
struct LARGE_INTEGER {
    std::int64_t QuadPart;
};
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);

// --- Files, text and debug output -----------------------------------------

int WideCharToMultiByte(UINT codePage, DWORD flags, const wchar_t* wide, int wideLength, char* narrow,
                        int narrowSize, const char* defaultChar, BOOL* usedDefaultChar);
errno_t localtime_s(std::tm* result, const std::time_t* time);
void OutputDebugStringW(LPCWSTR text);

// Not Windows calls: what each platform answers in its own way.
// The path as the file system takes it. Here every byte of the argument that
// became this text comes back unchanged, in any locale.
std::filesystem::path FileSystemPath(const wchar_t* path);
// The inverse: a path's name as wide text, every byte kept.
std::wstring PathText(const std::filesystem::path& path);
// Creates the directory that holds `path`'s file: one level. A failure
// shows in the open that follows.
void CreateParentDirectory(const wchar_t* path);
// Flushes the file's data to stable storage (fsync); FALSE when it cannot.
BOOL FlushFileToStorage(const std::filesystem::path& path);
// TRUE when the path names the file (or pipe) that the standard stream
// (STD_OUTPUT_HANDLE, STD_ERROR_HANDLE) writes to.
BOOL SameFileAsStandardHandle(const wchar_t* path, DWORD standardHandle);
// For a FIFO: waits until a reader has opened it, at most `milliseconds`, and
// then holds it open for writing until the process ends, so that the reader
// sees no end of file before the real open. FALSE (ERROR_PIPE_NOT_CONNECTED)
// when no reader came. TRUE at once for anything that is not a FIFO.
BOOL WaitForFileReader(const wchar_t* path, DWORD milliseconds);

// --- Console -----------------------------------------------------------------

// The standard streams as handles. GetConsoleMode succeeds only for a
// terminal, which is how a program tells a person from a pipe or a file.
// These handles are never closed.
constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~static_cast<std::uintptr_t>(0));

HANDLE GetStdHandle(DWORD standardHandle);
BOOL GetConsoleMode(HANDLE console, LPDWORD mode);

// The console's visible window; only its width (srWindow.Left..Right) is
// filled in here, from the terminal's current size.
struct COORD {
    short X;
    short Y;
};
struct SMALL_RECT {
    short Left;
    short Top;
    short Right;
    short Bottom;
};
struct CONSOLE_SCREEN_BUFFER_INFO {
    COORD dwSize;
    COORD dwCursorPosition;
    WORD wAttributes;
    SMALL_RECT srWindow;
    COORD dwMaximumWindowSize;
};
BOOL GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO* info);

// Ctrl-C and its kin. SIGINT arrives as CTRL_C_EVENT, SIGTERM and SIGHUP as
// CTRL_BREAK_EVENT; CTRL_CLOSE_EVENT never comes. The routine runs inside the
// signal handler, so it may only do what is async-signal-safe (atomics,
// SetEvent) and must not block. When it returns FALSE, or none is installed,
// the signal takes its default action and ends the process. A signal that was
// ignored when the process started (nohup) stays ignored; removing the
// routine puts back what each signal did before.
constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;
// The exit code Windows gives a program ended by Ctrl-C.
constexpr DWORD STATUS_CONTROL_C_EXIT = 0xC000013Au;
using PHANDLER_ROUTINE = BOOL(WINAPI*)(DWORD controlType);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add);

}  // namespace pelorin_win

#include "NetworkApi.h"

// Portable code names these exactly as on Windows. The layer's own files
// (built with PELORIN_PLATFORM_IMPLEMENTATION) work inside the namespace and
// also see the host's socket names, so they go without.
#ifndef PELORIN_PLATFORM_IMPLEMENTATION
using namespace pelorin_win;  // NOLINT(google-global-names-in-headers)
#endif

// The program's wide entry, called by the platform's main().
extern "C" int wmain(int argc, wchar_t** argv);
