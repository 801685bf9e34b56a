#include "runtime/board_text.h"

#include "runtime/wide_text_win32.h"

namespace hp::rt {

namespace {

// Text in normalisation form C by the system's own tables, or the text
// unchanged when the system cannot compose it (a lone surrogate, say): the
// code page then judges it as it stands.
std::wstring Composed(const std::wstring& Text)
{
    if (Text.empty())
        return Text;
    const int length = static_cast<int>(Text.size());
    int size = NormalizeString(NormalizationC, Text.c_str(), length, nullptr, 0);
    // The first answer is an estimate; a longer result asks again.
    for (int tries = 0; size > 0 && tries < 4; ++tries) {
        std::wstring result(static_cast<std::size_t>(size), L'\0');
        const int n = NormalizeString(NormalizationC, Text.c_str(), length, result.data(), size);
        if (n > 0) {
            result.resize(static_cast<std::size_t>(n));
            return result;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            break;
        size = -n;
    }
    return Text;
}

} // namespace

// A board stores and compares bytes; the user reads them, and Explorer
// shows names, in the ANSI code page.
std::optional<std::string> ToBoardText(const std::string& Text)
{
    return ToCodePageExact(Widen(Text), CP_ACP);
}

std::optional<std::string> ToBoardName(const std::string& Name)
{
    // Composing first would lose names that convert as they stand: U+212B
    // ANGSTROM SIGN has bytes in code page 932, its composed U+00C5 none, and
    // 949's compatibility ideographs would change bytes. Such a name keeps
    // the bytes it always had; composition only rescues a name that fails.
    const std::wstring name = Widen(Name);
    if (auto bytes = ToCodePageExact(name, CP_ACP))
        return bytes;
    const std::wstring composed = Composed(name);
    if (composed == name)
        return std::nullopt;
    return ToCodePageExact(composed, CP_ACP);
}

std::string FromBoardText(const std::string& Bytes)
{
    return Narrow(FromCodePage(Bytes, CP_ACP));
}

} // namespace hp::rt
