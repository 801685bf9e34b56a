#include "runtime/device_map.h"

#include "runtime/exceptions.h"
#include "runtime/port_lines.h"
#include "runtime/wide_text_win32.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include <windows.h>

namespace hp::rt {

namespace {

const wchar_t* const SerialCommKey = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

// The names the scan asks for, \Device\USBSER000 to \Device\USBSER099, as
// the registry matches them: letters in either case.
bool IsProbeName(std::wstring_view Name)
{
    constexpr std::wstring_view prefix = L"\\Device\\USBSER";
    const auto digit = [](wchar_t C) { return C >= L'0' && C <= L'9'; };
    return Name.size() == prefix.size() + 3 &&
           CompareStringOrdinal(Name.data(), static_cast<int>(prefix.size()), prefix.data(),
                                static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL &&
           Name[prefix.size()] == L'0' && digit(Name[prefix.size() + 1]) && digit(Name[prefix.size() + 2]);
}

} // namespace

struct TDeviceMap::TImpl {
    HKEY Key = nullptr;
};

TDeviceMap::TDeviceMap()
    : FImpl(std::make_unique<TImpl>())
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SerialCommKey, 0, KEY_READ, &key) == ERROR_SUCCESS)
        FImpl->Key = key;
}

TDeviceMap::~TDeviceMap()
{
    if (FImpl->Key)
        RegCloseKey(FImpl->Key);
}

bool TDeviceMap::Exists() const
{
    return FImpl->Key != nullptr;
}

std::optional<std::string> TDeviceMap::Value(const std::string& Name) const
{
    if (!FImpl->Key)
        return std::nullopt;
    const std::wstring wideName = Widen(Name);
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(FImpl->Key, wideName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    if (size == 0)
        return std::string();
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        RaiseRegistryError("Invalid registry data type: \"" + Name + "\"");

    // Room for a terminating NUL even when the stored data lacks one.
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 2, L'\0');
    DWORD got = size;
    if (RegQueryValueExW(FImpl->Key, wideName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                         &got) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        RaiseRegistryError("Failed to get data for value \"" + Name + "\"");
    std::size_t length = got / sizeof(wchar_t);
    // The stored text normally carries its terminating NUL; it is not part of
    // the port name.
    if (length > 0 && buffer[length - 1] == L'\0')
        --length;
    return Narrow(std::wstring(buffer.data(), length));
}

std::vector<TDeviceMap::TOtherPort> TDeviceMap::OtherPorts() const
{
    if (!FImpl->Key)
        return {};
    DWORD maxName = 0;
    DWORD maxData = 0;
    if (RegQueryInfoKeyW(FImpl->Key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName,
                         &maxData, nullptr, nullptr) != ERROR_SUCCESS)
        return {};
    std::vector<wchar_t> name(maxName + 1);
    std::vector<BYTE> data(maxData + sizeof(wchar_t));

    std::vector<std::pair<std::wstring, std::wstring>> values;
    int retries = 0;
    for (DWORD index = 0;;) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(data.size());
        const LONG rc = RegEnumValueW(FImpl->Key, index, name.data(), &nameLength, nullptr, &type, data.data(), &size);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc == ERROR_MORE_DATA && retries++ < 3) {
            // A value that grew since the key was measured: the longest
            // name the registry allows, and the size just reported.
            name.resize(16384);
            data.resize(std::max<std::size_t>(data.size(), size) + sizeof(wchar_t));
            continue;
        }
        retries = 0;
        ++index;
        // A value that is not text is no port; only the scan's own names
        // are an error when they are not text.
        if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
            continue;
        const std::wstring_view valueName(name.data(), nameLength);
        if (IsProbeName(valueName))
            continue;
        std::size_t length = size / sizeof(wchar_t);
        std::wstring text(length, L'\0');
        std::copy_n(data.data(), length * sizeof(wchar_t), reinterpret_cast<BYTE*>(text.data()));
        if (!text.empty() && text.back() == L'\0')
            text.pop_back();
        values.emplace_back(valueName, std::move(text));
    }
    // The registry's order is its own; the user gets the same list each run.
    std::sort(values.begin(), values.end());

    std::vector<TOtherPort> ports;
    for (const auto& [valueName, text] : values)
        for (auto& port : SplitPortLines(Narrow(text)))
            if (!port.empty()) // an empty line names no port
                ports.push_back({std::move(port), Narrow(valueName)});
    return ports;
}

} // namespace hp::rt
