// The process entry: narrow arguments become wide ones for the program's
// wmain, and its HRESULT becomes an 8-bit exit status.
#include "PlatformApi.h"

#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cwchar>
#include <vector>

namespace {

// 0 stays 0; E_FAIL (bad command line, file error) is 1; the bind failure
// 2049 is 2; any other failure code is 3.
int PosixExitStatus(int result)
{
    if (result == 0) return 0;
    if (result == E_FAIL) return 1;
    if (result == 2049) return 2;
    return 3;
}

std::vector<wchar_t> Widen(const char* text)
{
    std::mbstate_t state{};
    const char* source = text;
    std::size_t length = std::mbsrtowcs(nullptr, &source, 0, &state);
    if (length == static_cast<std::size_t>(-1)) {
        // Not valid in the locale's encoding: keep the bytes one by one.
        std::vector<wchar_t> bytes;
        for (const char* p = text; *p != '\0'; ++p) bytes.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
        bytes.push_back(L'\0');
        return bytes;
    }
    std::vector<wchar_t> wide(length + 1, L'\0');
    state = std::mbstate_t{};
    source = text;
    std::mbsrtowcs(wide.data(), &source, length + 1, &state);
    return wide;
}

}  // namespace

int main(int argc, char** argv)
{
    // Only the character type follows the user's locale (for the arguments
    // and path names); time formatting stays in the "C" locale.
    std::setlocale(LC_CTYPE, "");
    // As on Windows, writing to a pipe whose reader has gone is a failed
    // write that the program reports, not a signal that ends it silently.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::vector<wchar_t>> storage;
    storage.reserve(static_cast<std::size_t>(argc));
    std::vector<wchar_t*> wideArgv;
    for (int i = 0; i < argc; ++i) {
        storage.push_back(Widen(argv[i]));
        wideArgv.push_back(storage.back().data());
    }
    wideArgv.push_back(nullptr);
    return PosixExitStatus(wmain(argc, wideArgv.data()));
}
