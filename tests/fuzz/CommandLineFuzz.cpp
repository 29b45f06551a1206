// libFuzzer target over the command line. The input is cut at its NUL bytes
// into the ten arguments that follow the program name (missing ones are
// empty, extra pieces are dropped) and each is widened from UTF-8 the way the
// entry point widens a real command line, invalid bytes kept as they are.
// Then everything the program does with its arguments before a recording
// starts: the option loop, the address conversions, the split of the output
// path, and the checks of what a successful parse promises.
#include "front/CommandLine.h"

#include <clocale>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int kArguments = 10;

std::wstring Widen(const std::uint8_t* data, std::size_t size)
{
    std::wstring wide;
    std::mbstate_t state{};
    std::size_t at = 0;
    while (at < size) {
        wchar_t character = 0;
        std::size_t used = std::mbrtowc(&character, reinterpret_cast<const char*>(data + at), size - at, &state);
        if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2) || used == 0) {
            character = static_cast<wchar_t>(data[at]);
            used = 1;
            state = std::mbstate_t{};
        }
        wide.push_back(character);
        at += used;
    }
    return wide;
}

void Require(bool condition)
{
    if (!condition) std::abort();
}

bool IsOneOfTheValues(const wchar_t* path, wchar_t** argv)
{
    for (int i = 2; i <= kArguments; i += 2)
        if (path == argv[i]) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::setlocale(LC_CTYPE, "C.UTF-8");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::wstring> arguments(kArguments);
    std::size_t begin = 0;
    for (int piece = 0; piece < kArguments && begin <= size; ++piece) {
        std::size_t end = begin;
        while (end < size && data[end] != 0) ++end;
        arguments[static_cast<std::size_t>(piece)] = Widen(data + begin, end - begin);
        begin = end + 1;
    }
    std::wstring program = L"pelorin";
    std::vector<wchar_t*> argv;
    argv.push_back(program.data());
    for (std::wstring& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    // Each value on its own, as -i and -m would take it: a failure and only
    // a failure gives INADDR_NONE.
    for (int i = 1; i <= kArguments; ++i) {
        HRESULT status = S_OK;
        const ULONG address = ParseIPv4Address(argv[static_cast<std::size_t>(i)], &status);
        Require((status == E_FAIL) == (address == INADDR_NONE));
        Require(status == S_OK || status == E_FAIL);
    }

    RecordingSettings settings = {};
    settings.startTime = 1700000000;
    const HRESULT result = ParseOptions(kArguments + 1, argv.data(), &settings);
    Require(result == S_OK || result == E_FAIL);
    if (result != S_OK) return 0;

    // What a recording may rely on after a successful parse.
    Require(settings.port != 0);
    Require(settings.endTime >= settings.startTime && settings.endTime - settings.startTime <= 2147483647);
    Require(settings.outputPath != nullptr && IsOneOfTheValues(settings.outputPath, argv.data()));
    Require(settings.interfaceAddress != INADDR_NONE && settings.groupAddress != INADDR_NONE);
    // A source only ever comes with a multicast group.
    Require(settings.sourceAddress != INADDR_NONE);
    Require(settings.sourceAddress == 0 || (ntohl(settings.groupAddress) & 0xF0000000u) == 0xE0000000u);

    return 0;
}
