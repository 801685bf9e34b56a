#include "runtime/board_text.h"

#include "runtime/wide_text_win32.h"

namespace hp::rt {

// A board stores and compares bytes; the user reads them, and Explorer
// shows names, in the ANSI code page.
std::optional<std::string> ToBoardText(const std::string& Text)
{
    return ToCodePageExact(Widen(Text), CP_ACP);
}

std::string FromBoardText(const std::string& Bytes)
{
    return Narrow(FromCodePage(Bytes, CP_ACP));
}

} // namespace hp::rt
