#include "runtime/board_text.h"

namespace hp::rt {

// Names and replies are bytes on both sides of the line.
std::optional<std::string> ToBoardText(const std::string& Text)
{
    return Text;
}

std::optional<std::string> ToBoardName(const std::string& Name)
{
    return Name;
}

std::string FromBoardText(const std::string& Bytes)
{
    return Bytes;
}

} // namespace hp::rt
