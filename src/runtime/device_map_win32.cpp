#include "runtime/device_map.h"

#include "runtime/wide_text_win32.h"
#include "runtime/exceptions.h"

#include <vector>

#include <windows.h>

namespace hp::rt {

namespace {

const wchar_t* const SerialCommKey = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

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
    return {};
}

} // namespace hp::rt
