#include "front/AddressOptions.h"

#include "common/AddressText.h"
#include "front/CommandLine.h"

#include <cstring>
#include <cwchar>

namespace {

// The narrow text of an address, or false when it cannot be one.
bool Narrow(const wchar_t* text, std::size_t length, char (&narrow)[64])
{
    if (length == 0 || length >= sizeof narrow) return false;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] <= L' ' || text[i] > L'~') return false;
        narrow[i] = static_cast<char>(text[i]);
    }
    narrow[length] = '\0';
    return true;
}

bool ParseIPv6(const wchar_t* text, std::size_t length, IN6_ADDR* address)
{
    char narrow[64];
    return Narrow(text, length, narrow) && std::strchr(narrow, ':') != nullptr &&
           inet_pton(AF_INET6, narrow, address) == 1;
}

bool IsDecimal(const wchar_t* text)
{
    if (*text == L'\0') return false;
    for (; *text != L'\0'; ++text)
        if (*text < L'0' || *text > L'9') return false;
    return true;
}

// An interface by its name as the system shows it, or by its index.
ULONG InterfaceIndex(const wchar_t* nameOrIndex)
{
    NET_LUID luid = {};
    NET_IFINDEX index = 0;
    if (IsDecimal(nameOrIndex) && std::wcslen(nameOrIndex) < 10) {
        index = static_cast<NET_IFINDEX>(std::wcstoul(nameOrIndex, nullptr, 10));
        return ConvertInterfaceIndexToLuid(index, &luid) == NO_ERROR ? index : 0;
    }
    if (ConvertInterfaceAliasToLuid(nameOrIndex, &luid) != NO_ERROR ||
        ConvertInterfaceLuidToIndex(&luid, &index) != NO_ERROR)
        return 0;
    return index;
}

}  // namespace

void ParseStreamGroup(const wchar_t* text, RecordingSettings* settings, HRESULT* status)
{
    ExtendedAddresses& extended = settings->extended;
    extended.family = 0;
    extended.group = IN6_ADDR{};
    extended.source = IN6_ADDR{};
    if (std::wcschr(text, L':') == nullptr) {
        ParseGroup(text, &settings->groupAddress, &settings->sourceAddress, status);
        return;
    }
    settings->groupAddress = 0;
    settings->sourceAddress = 0;
    const wchar_t* at = std::wcschr(text, L'@');
    const wchar_t* groupText = at == nullptr ? text : at + 1;
    const bool groupOk = ParseIPv6(groupText, std::wcslen(groupText), &extended.group);
    const bool sourceOk = at == nullptr || ParseIPv6(text, static_cast<std::size_t>(at - text), &extended.source);
    // Only a multicast group is joined; a source is one host's address.
    if (!groupOk || !sourceOk || extended.group.u.Byte[0] != 0xFF ||
        (at != nullptr && (IsUnspecified(extended.source) || extended.source.u.Byte[0] == 0xFF))) {
        *status = E_FAIL;
        return;
    }
    extended.family = AF_INET6;
}

InterfaceForm ParseInterface(const wchar_t* text, RecordingSettings* settings, HRESULT* status)
{
    ExtendedAddresses& extended = settings->extended;
    extended.interfaceAddress = IN6_ADDR{};
    extended.interfaceIndex = 0;
    extended.interfaceName = nullptr;
    HRESULT ipv4Status = S_OK;
    settings->interfaceAddress = ParseIPv4Address(text, &ipv4Status);
    if (ipv4Status == S_OK) return InterfaceForm::ipv4;
    settings->interfaceAddress = 0;
    if (std::wcschr(text, L':') != nullptr) {
        const wchar_t* percent = std::wcschr(text, L'%');
        const std::size_t length = percent == nullptr ? std::wcslen(text) : static_cast<std::size_t>(percent - text);
        if (ParseIPv6(text, length, &extended.interfaceAddress)) {
            if (percent == nullptr) return InterfaceForm::ipv6;
            extended.interfaceName = percent + 1;
            extended.interfaceIndex = InterfaceIndex(percent + 1);
            if (extended.interfaceIndex != 0) return InterfaceForm::ipv6;
        }
    } else {
        extended.interfaceIndex = InterfaceIndex(text);
        extended.interfaceName = text;
        if (extended.interfaceIndex != 0) return InterfaceForm::name;
    }
    *status = E_FAIL;
    return InterfaceForm::none;
}

bool MatchFamilies(InterfaceForm form, const wchar_t* interfaceText, RecordingSettings* settings, bool* nicError)
{
    *nicError = false;
    ExtendedAddresses& extended = settings->extended;
    if (extended.family != AF_INET6) {
        // Nothing is joined for a unicast "group", so a name would limit
        // nothing: only an interface's address says where unicast arrives.
        *nicError = form == InterfaceForm::name && (ntohl(settings->groupAddress) & 0xF0000000u) != 0xE0000000u;
        return form != InterfaceForm::ipv6 && !*nicError;
    }
    // An interface-local or link-local group (ff01::/16, ff02::/16, ff32::/16
    // ...) is one group per link: "any interface" names none to join it on.
    const unsigned scope = extended.group.u.Byte[1] & 0x0Fu;
    const bool needsInterface = scope == 1 || scope == 2;
    if (form == InterfaceForm::ipv6) {
        *nicError = needsInterface && extended.interfaceIndex == 0 && IsUnspecified(extended.interfaceAddress);
        return !*nicError;
    }
    if (form != InterfaceForm::ipv4) return true;
    // 0, or another plain number: the interface by index. A dotted (or
    // other IPv4) form is an IPv4 address, which an IPv6 group cannot use.
    if (!IsDecimal(interfaceText)) return false;
    settings->interfaceAddress = 0;
    if (std::wcsspn(interfaceText, L"0") == std::wcslen(interfaceText)) {
        *nicError = needsInterface;
        return !*nicError;
    }
    extended.interfaceIndex = InterfaceIndex(interfaceText);
    extended.interfaceName = interfaceText;
    *nicError = extended.interfaceIndex == 0;
    return !*nicError;
}
