// Directories, text conversion, path splitting and local time.
#include "ErrorMapping.h"

#include <cerrno>
#include <climits>
#include <cwchar>
#include <sys/stat.h>

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

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES)
{
    if (path == nullptr || path[0] == L'\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    int size = WideCharToMultiByte(CP_ACP, 0, path, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, path, -1, narrow.data(), size, nullptr, nullptr);
    if (::mkdir(narrow.c_str(), 0777) != 0) {
        SetLastError(detail::Win32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

namespace {

bool CopyComponent(const wchar_t* begin, const wchar_t* end, wchar_t* out, std::size_t size)
{
    if (out == nullptr) return true;
    const std::size_t length = static_cast<std::size_t>(end - begin);
    if (length + 1 > size) return false;
    for (std::size_t i = 0; i < length; ++i) out[i] = begin[i];
    out[length] = L'\0';
    return true;
}

void Clear(wchar_t* out, std::size_t size)
{
    if (out != nullptr && size > 0) out[0] = L'\0';
}

}  // namespace

errno_t _wsplitpath_s(const wchar_t* path, wchar_t* drive, std::size_t driveSize, wchar_t* dir, std::size_t dirSize,
                      wchar_t* fileName, std::size_t fileNameSize, wchar_t* ext, std::size_t extSize)
{
    if (path == nullptr || (drive == nullptr) != (driveSize == 0) || (dir == nullptr) != (dirSize == 0) ||
        (fileName == nullptr) != (fileNameSize == 0) || (ext == nullptr) != (extSize == 0)) {
        Clear(drive, driveSize);
        Clear(dir, dirSize);
        Clear(fileName, fileNameSize);
        Clear(ext, extSize);
        return EINVAL;
    }
    // POSIX paths have no drive; the directory runs up to the last '/'.
    const wchar_t* end = path + std::wcslen(path);
    const wchar_t* nameStart = path;
    for (const wchar_t* p = path; p != end; ++p)
        if (*p == L'/') nameStart = p + 1;
    const wchar_t* extStart = end;
    for (const wchar_t* p = nameStart; p != end; ++p)
        if (*p == L'.') extStart = p;

    bool fits = CopyComponent(path, path, drive, driveSize) && CopyComponent(path, nameStart, dir, dirSize) &&
                CopyComponent(nameStart, extStart, fileName, fileNameSize) &&
                CopyComponent(extStart, end, ext, extSize);
    if (!fits) {
        Clear(drive, driveSize);
        Clear(dir, dirSize);
        Clear(fileName, fileNameSize);
        Clear(ext, extSize);
        return ERANGE;
    }
    return 0;
}

errno_t localtime_s(std::tm* result, const std::time_t* time)
{
    if (result == nullptr || time == nullptr) return EINVAL;
    if (::localtime_r(time, result) == nullptr) return EINVAL;
    return 0;
}

}  // namespace pelorin_win
