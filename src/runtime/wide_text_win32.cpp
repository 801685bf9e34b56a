#include "runtime/wide_text_win32.h"

#include <algorithm>

namespace hp::rt {

namespace {

bool IsAscii(std::wstring_view Text)
{
    return std::all_of(Text.begin(), Text.end(), [](wchar_t C) { return C < 0x80; });
}

UINT Resolved(UINT CodePage)
{
    return CodePage == CP_ACP ? GetACP() : CodePage;
}

std::wstring Decode(std::string_view Bytes, UINT CodePage, DWORD Flags)
{
    if (Bytes.empty())
        return {};
    const int length = static_cast<int>(std::min<std::size_t>(Bytes.size(), 0x7FFFFFFF));
    const int n = MultiByteToWideChar(CodePage, Flags, Bytes.data(), length, nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    wide.resize(static_cast<std::size_t>(
        std::max(MultiByteToWideChar(CodePage, Flags, Bytes.data(), length, wide.data(), n), 0)));
    return wide;
}

// One conversion to CodePage; UsedDefault is set when some character had to
// be replaced. The flags and the default character are refused by the UTF-8
// code page, which replaces nothing but lone surrogates.
std::optional<std::string> Encode(std::wstring_view Text, UINT CodePage, bool Strict, bool& UsedDefault)
{
    UsedDefault = false;
    if (Text.empty())
        return std::string();
    const bool utf8 = CodePage == CP_UTF8;
    const DWORD flags = utf8 ? (Strict ? WC_ERR_INVALID_CHARS : 0) : WC_NO_BEST_FIT_CHARS;
    const char* fallback = utf8 ? nullptr : "?";
    BOOL used = FALSE;
    BOOL* usedFlag = utf8 ? nullptr : &used;
    const int length = static_cast<int>(std::min<std::size_t>(Text.size(), 0x7FFFFFFF));
    const int n = WideCharToMultiByte(CodePage, flags, Text.data(), length, nullptr, 0, fallback, usedFlag);
    if (n <= 0)
        return std::nullopt;
    std::string bytes(static_cast<std::size_t>(n), '\0');
    const int done = WideCharToMultiByte(CodePage, flags, Text.data(), length, bytes.data(), n, fallback, usedFlag);
    if (done <= 0)
        return std::nullopt;
    bytes.resize(static_cast<std::size_t>(done));
    UsedDefault = used != FALSE;
    return bytes;
}

} // namespace

std::optional<std::string> ToCodePageExact(std::wstring_view Text, UINT CodePage)
{
    if (IsAscii(Text))
        return std::string(Text.begin(), Text.end());
    const UINT codePage = Resolved(CodePage);
    bool usedDefault = false;
    std::optional<std::string> bytes = Encode(Text, codePage, true, usedDefault);
    if (!bytes || usedDefault)
        return std::nullopt;
    // A code page may map a character without a best fit and still read the
    // bytes back as another one; only a text that survives the trip is exact.
    if (Decode(*bytes, codePage, MB_ERR_INVALID_CHARS) != Text)
        return std::nullopt;
    return bytes;
}

std::string ToCodePageLossy(std::wstring_view Text, UINT CodePage)
{
    if (IsAscii(Text))
        return std::string(Text.begin(), Text.end());
    bool usedDefault = false;
    return Encode(Text, Resolved(CodePage), false, usedDefault).value_or(std::string(Text.size(), '?'));
}

std::wstring FromCodePage(std::string_view Bytes, UINT CodePage)
{
    return Decode(Bytes, Resolved(CodePage), 0);
}

} // namespace hp::rt
