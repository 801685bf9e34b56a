#include "runtime/board_text.h"

namespace hp::rt {

// The program still speaks the ANSI code page itself, as the board does.
std::optional<std::string> ToBoardText(const std::string& Text)
{
    return Text;
}

std::string FromBoardText(const std::string& Bytes)
{
    return Bytes;
}

} // namespace hp::rt
