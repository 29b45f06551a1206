#include "front/CommandLine.h"

#include "common/ConsoleLine.h"
#include "front/AddressOptions.h"

#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <new>

namespace {

// Leading blanks, one sign, at least one digit; anything after the digits
// is ignored ("3600s" is 3600). False when there is no digit or the value is
// outside [low, high].
bool ParseNumber(const wchar_t* text, long long low, long long high, long long* value)
{
    const wchar_t* p = text;
    while (std::iswspace(static_cast<wint_t>(*p))) ++p;
    if (*p == L'+' || *p == L'-') ++p;
    if (!(*p >= L'0' && *p <= L'9')) return false;
    errno = 0;
    wchar_t* end = nullptr;
    long long parsed = std::wcstoll(text, &end, 10);
    if (errno == ERANGE || parsed < low || parsed > high) return false;
    *value = parsed;
    return true;
}

// A whole count and nothing after it but, where `units` allows, one unit
// letter: s, m, h or d. "1h" is 3600; "7d" is refused for --keep, and so is
// any other text after the digits.
bool ParseCount(const wchar_t* text, long long low, long long high, bool units, long long* value)
{
    long long number = 0;
    if (!ParseNumber(text, 0, 0x7FFFFFFF, &number)) return false;
    const wchar_t* end = text;
    while (std::iswspace(static_cast<wint_t>(*end))) ++end;
    if (*end == L'+') ++end;
    while (*end >= L'0' && *end <= L'9') ++end;
    long long unit = 1;
    if (units && *end != L'\0' && end[1] == L'\0') {
        switch (*end) {
        case L's': unit = 1; break;
        case L'm': unit = 60; break;
        case L'h': unit = 3600; break;
        case L'd': unit = 86400; break;
        default: return false;
        }
        ++end;
    }
    if (*end != L'\0') return false;
    number *= unit;
    if (number < low || number > high) return false;
    *value = number;
    return true;
}

HRESULT Report(const char* message)
{
    PrintLine(message);
    return E_FAIL;
}

// Every extension option, without its dashes: a new option is one more
// entry, and its misspellings are refused from then on.
const wchar_t* const kExtensionOptionNames[] = {
    L"report", L"segment", L"keep", L"index", L"media-rate", L"no-data", L"metrics",
};

bool IsExtensionOptionName(const wchar_t* name, std::size_t length)
{
    for (const wchar_t* known : kExtensionOptionNames)
        if (std::wcslen(known) == length && std::wcsncmp(known, name, length) == 0) return true;
    return false;
}

void NarrowText(const wchar_t* text, char (&narrow)[512])
{
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr) == 0)
        std::snprintf(narrow, sizeof narrow, "%s", "?");
}

// "--NAME=VALUE" with a known NAME.
bool IsKnownOptionWithValue(const wchar_t* argument)
{
    const wchar_t* equals = std::wcschr(argument, L'=');
    return std::wcsncmp(argument, L"--", 2) == 0 && equals != nullptr &&
           IsExtensionOptionName(argument + 2, static_cast<std::size_t>(equals - argument - 2));
}

// A known option written the wrong way where the extension options stand:
// "--segment 60" (a space for the "="), or "-segment=60" (one dash). Prints
// what to write instead and the usage, and sets *status to E_FAIL.
bool RefuseMisspelledOption(const wchar_t* argument, const wchar_t* next, HRESULT* status)
{
    char narrow[512];
    if (std::wcsncmp(argument, L"--", 2) == 0 && IsExtensionOptionName(argument + 2, std::wcslen(argument + 2))) {
        char value[512] = "VALUE";
        if (next != nullptr && *next != L'\0' && *next != L'-') NarrowText(next, value);
        NarrowText(argument, narrow);
        PrintFormattedLine("Write %s=%s as one argument, with \"=\".", narrow, value);
    } else if (argument[0] == L'-' && argument[1] != L'-' && std::wcschr(argument, L'=') != nullptr &&
               IsExtensionOptionName(argument + 1, static_cast<std::size_t>(std::wcschr(argument, L'=') - argument - 1))) {
        NarrowText(argument, narrow);
        PrintFormattedLine("Write -%s with two dashes.", narrow);
    } else {
        return false;
    }
    PrintUsage();
    *status = E_FAIL;
    return true;
}

enum OptionBit : unsigned {
    kInterfaceSeen = 1u << 0,
    kGroupSeen = 1u << 1,
    kPortSeen = 1u << 2,
    kLengthSeen = 1u << 3,
    kFileSeen = 1u << 4,
    kAllSeen = (1u << 5) - 1,
};

}  // namespace

ULONG ParseIPv4Address(const wchar_t* text, HRESULT* status)
{
    const std::size_t characters = std::wcslen(text);
    const std::size_t size = 2 * characters + 2;
    if (size < 4) *status = E_FAIL;

    char* narrow = new (std::nothrow) char[size]();
    if (narrow == nullptr) {
        *status = E_FAIL;
        return INADDR_NONE;
    }
    // A text that does not fit the buffer is no address; inet_addr must never
    // read an unterminated buffer.
    ULONG address = INADDR_NONE;
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, static_cast<int>(size), nullptr, nullptr) != 0)
        address = inet_addr(narrow);
    if (address == INADDR_NONE) *status = E_FAIL;
    delete[] narrow;
    return address;
}

void ParseGroup(const wchar_t* text, ULONG* group, ULONG* source, HRESULT* status)
{
    *source = 0;
    const wchar_t* at = std::wcschr(text, L'@');
    if (at == nullptr) {
        *group = ParseIPv4Address(text, status);
        return;
    }
    const std::size_t sourceLength = static_cast<std::size_t>(at - text);
    wchar_t* sourceText = new (std::nothrow) wchar_t[sourceLength + 1];
    if (sourceText == nullptr || sourceLength == 0 || std::wcschr(at + 1, L'@') != nullptr || at[1] == L'\0') {
        delete[] sourceText;
        *status = E_FAIL;
        return;
    }
    std::wmemcpy(sourceText, text, sourceLength);
    sourceText[sourceLength] = L'\0';
    *source = ParseIPv4Address(sourceText, status);
    delete[] sourceText;
    *group = ParseIPv4Address(at + 1, status);
    // Only a multicast group can be joined for one source, and 0.0.0.0 is
    // no source: it would quietly take the group from any.
    if ((ntohl(*group) & 0xF0000000u) != 0xE0000000u || *source == 0) *status = E_FAIL;
}

void PrintUsage()
{
    PrintLine("You must provide exactly 5 arguments: -i[interface] , -m[multicast address] , -p[port] , "
              "-l[recording length in seconds], -f[file]");
    PrintLine("Example: pelorin.exe -i 192.168.0.2 -m 239.255.0.1 -p 5002 -l 3600 -f "
              "\"C:\\\\Recording\\\\stream.ts.mpg\" ");
    PrintLine("If you have only one NIC: pelorin.exe -i 0 ...");
}

int ParseExtensionOptions(int argc, wchar_t** argv, RecordingSettings* settings, HRESULT* status)
{
    int taken = 0;
    // Only "--NAME=VALUE" is one: anything else (even "--version" among
    // other arguments) is left to the argument count, as it always was,
    // unless it is a known option written the wrong way.
    for (int position = 1; position < argc; ++position) {
        const wchar_t* argument = argv[position];
        if (RefuseMisspelledOption(argument, position + 1 < argc ? argv[position + 1] : nullptr, status))
            return taken;
        if (std::wcsncmp(argument, L"--", 2) != 0 || std::wcschr(argument, L'=') == nullptr) break;
        const wchar_t* equals = std::wcschr(argument, L'=');
        const auto nameLength = static_cast<std::size_t>(equals - argument);
        const wchar_t* value = equals + 1;
        long long number = 0;
        if (nameLength == 8 && std::wcsncmp(argument, L"--report", 8) == 0 && *value != L'\0') {
            settings->reportPath = value;
        } else if (nameLength == 9 && std::wcsncmp(argument, L"--segment", 9) == 0) {
            if (!ParseCount(value, 1, 86400, true, &number)) {
                *status = Report("Error occurred while parsing segment length.");
                return taken;
            }
            settings->segmentSeconds = number;
        } else if (nameLength == 6 && std::wcsncmp(argument, L"--keep", 6) == 0) {
            if (!ParseCount(value, 1, 1000000, false, &number)) {
                *status = Report("Error occurred while parsing segment count.");
                return taken;
            }
            settings->keepSegments = static_cast<unsigned>(number);
        } else if (nameLength == 7 && std::wcsncmp(argument, L"--index", 7) == 0 && *value != L'\0') {
            settings->indexPath = value;
        } else if (nameLength == 9 && std::wcsncmp(argument, L"--no-data", 9) == 0) {
            if (!ParseNumber(value, 1, 86400, &number)) {
                *status = Report("Error occurred while parsing no-data length.");
                return taken;
            }
            settings->noDataSeconds = number;
        } else if (nameLength == 9 && std::wcsncmp(argument, L"--metrics", 9) == 0 && *value != L'\0') {
            settings->metricsPath = value;
        } else if (nameLength == 12 && std::wcsncmp(argument, L"--media-rate", 12) == 0) {
            // Mbit/s with up to three decimals, read by hand: the C library
            // would follow the locale's decimal separator.
            long long thousandths = 0;
            int decimals = -1;
            const wchar_t* p = value;
            for (; (*p >= L'0' && *p <= L'9') || (*p == L'.' && decimals < 0); ++p) {
                if (*p == L'.') {
                    decimals = 0;
                } else if (decimals < 3 && thousandths <= 100000000) {
                    thousandths = thousandths * 10 + (*p - L'0');
                    if (decimals >= 0) ++decimals;
                }
            }
            for (int k = decimals < 0 ? 0 : decimals; k < 3; ++k) thousandths *= 10;
            if (*p != L'\0' || p == value || thousandths <= 0 || thousandths > 100000000) {
                *status = Report("Error occurred while parsing media rate.");
                return taken;
            }
            settings->mediaRateMbit = static_cast<double>(thousandths) / 1000.0;
        } else {
            // A typo must not look like success.
            char narrow[512];
            NarrowText(argument, narrow);
            PrintFormattedLine("Unknown option: %s", narrow);
            PrintUsage();
            *status = E_FAIL;
            return taken;
        }
        ++taken;
    }
    // A known option behind the five pairs was meant as one, not as an
    // extra argument.
    for (int position = 1 + taken + 10; position < argc; ++position) {
        if (!IsKnownOptionWithValue(argv[position])) continue;
        char narrow[512];
        NarrowText(argv[position], narrow);
        PrintFormattedLine("Write %s before the five option pairs.", narrow);
        PrintUsage();
        *status = E_FAIL;
        return taken;
    }
    if (settings->keepSegments != 0 && settings->segmentSeconds == 0) *status = Report("--keep needs --segment.");
    if (settings->indexPath != nullptr && settings->segmentSeconds == 0) *status = Report("--index needs --segment.");
    return taken;
}

HRESULT ParseOptions(int argc, wchar_t** argv, RecordingSettings* settings)
{
    HRESULT status = S_OK;
    unsigned seen = 0;
    InterfaceForm interfaceForm = InterfaceForm::none;
    const wchar_t* interfaceText = L"";
    for (int position = 1; position + 1 < argc && position < 11; position += 2) {
        const wchar_t* name = argv[position];
        const wchar_t* value = argv[position + 1];
        long long number = 0;
        if (std::wcscmp(name, L"-i") == 0) {
            interfaceForm = ParseInterface(value, settings, &status);
            interfaceText = value;
            if (status == E_FAIL) return Report("Error occurred while parsing NIC ip.");
            seen |= kInterfaceSeen;
        } else if (std::wcscmp(name, L"-m") == 0) {
            ParseStreamGroup(value, settings, &status);
            if (status == E_FAIL) return Report("Error occurred while parsing multicast ip.");
            seen |= kGroupSeen;
        } else if (std::wcscmp(name, L"-p") == 0) {
            if (!ParseNumber(value, 1, 65535, &number)) return Report("Error occurred while parsing port.");
            settings->port = htons(static_cast<u_short>(number));
            seen |= kPortSeen;
        } else if (std::wcscmp(name, L"-l") == 0) {
            if (!ParseNumber(value, 0, 2147483647, &number))
                return Report("Error occurred while parsing recording length.");
            SetRecordingLength(settings, number);
            seen |= kLengthSeen;
        } else if (std::wcscmp(name, L"-f") == 0) {
            settings->outputPath = value;
            seen |= kFileSeen;
        }
        // An IPv6 group takes no IPv4 interface address, and the reverse.
        bool nicError = false;
        if ((seen & (kInterfaceSeen | kGroupSeen)) == (kInterfaceSeen | kGroupSeen) &&
            (std::wcscmp(name, L"-i") == 0 || std::wcscmp(name, L"-m") == 0) &&
            !MatchFamilies(interfaceForm, interfaceText, settings, &nicError))
            return Report(nicError ? "Error occurred while parsing NIC ip."
                                   : "Error occurred while parsing multicast ip.");
    }
    // Every option is required: a missing one (an unknown option in its
    // place, or another given twice) leaves a setting nobody chose.
    if (seen != kAllSeen) {
        PrintUsage();
        return E_FAIL;
    }
    return S_OK;
}
