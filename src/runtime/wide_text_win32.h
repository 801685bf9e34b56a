#pragma once
// The program's 8-bit texts are WTF-8 (see wtf8.h); the wide Win32 calls
// speak UTF-16. The ANSI code page is what a board's bytes are read in, and
// what output redirected to a file or a pipe has always been written in.
// Included by Win32 sources only.
#include <optional>
#include <string>
#include <string_view>

#include <windows.h>

#include "runtime/wtf8.h"

namespace hp::rt {

// Program text as UTF-16, for a system call.
inline std::wstring Widen(std::string_view Text)
{
    const std::u16string units = Utf16FromWtf8(Text);
    return std::wstring(units.begin(), units.end());
}

// UTF-16 from a system call as program text; every name survives the trip.
inline std::string Narrow(std::wstring_view Text)
{
    return Wtf8FromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(Text.data()), Text.size()));
}

// The bytes of Text in CodePage (CP_ACP: the ANSI code page) when it has
// an exact form there: no "best fit" character standing in for one the code
// page lacks, no default character, and the bytes read back as the same
// text. Otherwise nullopt. ASCII is returned byte for byte.
std::optional<std::string> ToCodePageExact(std::wstring_view Text, UINT CodePage);

// Text in CodePage for a reader that takes whatever comes: what the code
// page lacks becomes '?', never a look-alike.
std::string ToCodePageLossy(std::wstring_view Text, UINT CodePage);

// Bytes of CodePage as UTF-16.
std::wstring FromCodePage(std::string_view Bytes, UINT CodePage);

} // namespace hp::rt
