#pragma once
// The program's 8-bit texts are in the ANSI code page; the wide Win32 calls
// (registry values, folder listings) speak UTF-16. Included by Win32 sources
// only.
#include <string>

#include <windows.h>

namespace hp::rt {

inline std::wstring Widen(const std::string& Text)
{
    if (Text.empty())
        return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, Text.data(), static_cast<int>(Text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, Text.data(), static_cast<int>(Text.size()), wide.data(), n);
    return wide;
}

inline std::string Narrow(const std::wstring& Text)
{
    if (Text.empty())
        return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, Text.data(), static_cast<int>(Text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, Text.data(), static_cast<int>(Text.size()), narrow.data(), n, nullptr,
                        nullptr);
    return narrow;
}

} // namespace hp::rt
