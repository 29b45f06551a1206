// The output's directory as Windows names it: a drive and a directory, each
// split out by the C runtime.
#include "PlatformApi.h"

#include <cwchar>
#include <new>

namespace {

// True when the directory part of the path fits the splitter's buffer; a
// longer one would make the splitter call the C runtime's invalid-parameter
// handler, which ends the process.
bool DirectoryFits(const wchar_t* path)
{
    std::size_t length = 0;
    for (std::size_t i = 0; path[i] != L'\0'; ++i)
        if (path[i] == L'/' || path[i] == L'\\') length = i + 1;
    if (length >= 2 && path[1] == L':') length -= 2;  // the drive has its own buffer
    return length < _MAX_DIR;
}

}  // namespace

void CreateParentDirectory(const wchar_t* path)
{
    // Drive and directory together: the directory alone would be resolved
    // against the current drive.
    wchar_t drive[_MAX_DRIVE] = {};
    wchar_t* directory = DirectoryFits(path) ? new (std::nothrow) wchar_t[_MAX_DRIVE + _MAX_DIR]() : nullptr;
    if (directory == nullptr) return;
    // A path without a directory part makes no directory; the open decides
    // either way.
    if (_wsplitpath_s(path, drive, _MAX_DRIVE, directory + _MAX_DRIVE, _MAX_DIR, nullptr, 0, nullptr, 0) == 0 &&
        directory[_MAX_DRIVE] != L'\0') {
        std::wcscpy(directory, drive);
        std::wmemmove(directory + std::wcslen(drive), directory + _MAX_DRIVE, std::wcslen(directory + _MAX_DRIVE) + 1);
        CreateDirectoryW(directory, nullptr);
    }
    delete[] directory;
}
