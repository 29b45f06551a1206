// Windows error numbers for errno values, and the thread's last error.
#include "ErrorMapping.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace pelorin_win {

namespace {
thread_local DWORD t_lastError = 0;
}  // namespace

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

namespace {
// strerror_r comes in two shapes: GNU returns the text, POSIX fills the buffer.
[[maybe_unused]] const char* ErrorWords(const char* words, const char*) { return words; }
[[maybe_unused]] const char* ErrorWords(int, const char* buffer) { return buffer; }
}  // namespace

BOOL DescribeSystemError(int error, char* text, std::size_t size)
{
    if (error <= 0 || text == nullptr || size == 0) return FALSE;
    char buffer[256] = {};
    const char* words = ErrorWords(::strerror_r(error, buffer, sizeof buffer), buffer);
    std::snprintf(text, size, "%s (%d)", words, error);
    return TRUE;
}

namespace detail {

int WinsockErrorFromErrno(int error)
{
    switch (error) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case ENOTSOCK: return WSAENOTSOCK;
    case EMSGSIZE: return WSAEMSGSIZE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
    case ENODEV: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ECONNRESET:
    case ECONNREFUSED: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return WSAEINVAL;
    }
}

DWORD Win32ErrorFromErrno(int error)
{
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_PATH_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENAMETOOLONG:
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_INVALID_PARAMETER;
    }
}

}  // namespace detail

}  // namespace pelorin_win
