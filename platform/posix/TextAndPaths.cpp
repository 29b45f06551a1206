// Text and paths: wide text and back, path splitting, directories and the
// output file's identity.
#include "ErrorMapping.h"
#include "PathText.h"

#include <cerrno>
#include <climits>
#include <cwchar>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace pelorin_win {

int WideCharToMultiByte(UINT, DWORD, const wchar_t* wide, int wideLength, char* narrow, int narrowSize,
                        const char*, BOOL* usedDefaultChar)
{
    if (wide == nullptr || narrowSize < 0 || (narrowSize > 0 && narrow == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::size_t length = wideLength < 0 ? std::wcslen(wide) + 1 : static_cast<std::size_t>(wideLength);
    if (usedDefaultChar != nullptr) *usedDefaultChar = FALSE;

    // The process's multibyte encoding (its LC_CTYPE) plays the ANSI code
    // page; characters it cannot express become '?', as on Windows.
    std::mbstate_t state{};
    int written = 0;
    char bytes[MB_LEN_MAX];
    for (std::size_t i = 0; i < length; ++i) {
        std::size_t n = std::wcrtomb(bytes, wide[i], &state);
        if (n == static_cast<std::size_t>(-1)) {
            bytes[0] = '?';
            n = 1;
            state = std::mbstate_t{};
            if (usedDefaultChar != nullptr) *usedDefaultChar = TRUE;
        }
        if (narrowSize != 0) {
            if (written + static_cast<int>(n) > narrowSize) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            for (std::size_t k = 0; k < n; ++k) narrow[written + static_cast<int>(k)] = bytes[k];
        }
        written += static_cast<int>(n);
    }
    return written;
}

namespace detail {

namespace {
constexpr wchar_t kFirstEscape = 0xDC80;
constexpr wchar_t kLastEscape = 0xDCFF;
}  // namespace

std::wstring WidenText(const char* bytes)
{
    std::wstring wide;
    std::mbstate_t state{};
    const char* p = bytes;
    std::size_t left = std::char_traits<char>::length(bytes);
    while (left > 0) {
        wchar_t character = 0;
        std::size_t used = std::mbrtowc(&character, p, left, &state);
        // An encoded escape would narrow to one byte, not to what it was: keep
        // those bytes as escapes too.
        if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2) ||
            (character >= kFirstEscape && character <= kLastEscape)) {
            const unsigned char byte = static_cast<unsigned char>(*p);
            wide.push_back(byte < 0x80 ? static_cast<wchar_t>(byte) : static_cast<wchar_t>(kFirstEscape + byte - 0x80));
            state = std::mbstate_t{};
            ++p;
            --left;
            continue;
        }
        wide.push_back(character);
        p += used;
        left -= used;
    }
    return wide;
}

std::string NarrowText(const wchar_t* text)
{
    std::string narrow;
    std::mbstate_t state{};
    char bytes[MB_LEN_MAX];
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        if (*p >= kFirstEscape && *p <= kLastEscape) {
            narrow.push_back(static_cast<char>(*p - kFirstEscape + 0x80));
            continue;
        }
        std::size_t n = std::wcrtomb(bytes, *p, &state);
        if (n == static_cast<std::size_t>(-1)) {
            narrow.push_back('?');
            state = std::mbstate_t{};
            continue;
        }
        narrow.append(bytes, n);
    }
    return narrow;
}

}  // namespace detail

std::filesystem::path FileSystemPath(const wchar_t* path)
{
    // Built from the narrow bytes, the path is taken as it is: no conversion
    // through the C++ locale, which cannot fail or throw here.
    return std::filesystem::path(detail::NarrowText(path));
}

std::wstring PathText(const std::filesystem::path& path)
{
    return detail::WidenText(path.c_str());
}

BOOL FlushFileToStorage(const std::filesystem::path& path)
{
    // Any descriptor of the file flushes what every writer put into it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FALSE;
    const bool flushed = ::fsync(fd) == 0;
    ::close(fd);
    return flushed ? TRUE : FALSE;
}

BOOL SameFileAsStandardHandle(const wchar_t* path, DWORD standardHandle)
{
    struct stat output = {};
    struct stat file = {};
    int fd = -1;
    if (standardHandle == STD_OUTPUT_HANDLE) fd = STDOUT_FILENO;
    if (standardHandle == STD_ERROR_HANDLE) fd = STDERR_FILENO;
    if (fd < 0 || ::fstat(fd, &output) != 0) return FALSE;
    if (::stat(detail::NarrowText(path).c_str(), &file) != 0) return FALSE;
    return output.st_dev == file.st_dev && output.st_ino == file.st_ino ? TRUE : FALSE;
}

BOOL WaitForFileReader(const wchar_t* path, DWORD milliseconds)
{
    const std::string narrow = detail::NarrowText(path);
    struct stat file = {};
    if (::stat(narrow.c_str(), &file) != 0 || !S_ISFIFO(file.st_mode)) return TRUE;
    // A FIFO's open for writing blocks until a reader comes; without blocking
    // it fails with ENXIO while there is none, so ask again now and then.
    const ULONGLONG end = GetTickCount64() + milliseconds;
    for (;;) {
        int fd = ::open(narrow.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) return TRUE;  // kept open on purpose, until the process ends
        if (errno != ENXIO) return TRUE;  // the real open says what is wrong
        if (GetTickCount64() >= end) break;
        Sleep(50);
    }
    SetLastError(ERROR_PIPE_NOT_CONNECTED);
    return FALSE;
}

void CreateParentDirectory(const wchar_t* path)
{
    // POSIX paths have no drive: the directory runs up to the last '/'.
    const std::string narrow = detail::NarrowText(path);
    const std::size_t slash = narrow.rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    ::mkdir(narrow.substr(0, slash).c_str(), 0777);
}

}  // namespace pelorin_win
