#pragma once
// Text that crosses to a board: the board's firmware stores and compares
// 8-bit bytes, which on Windows are read in the ANSI code page.
#include <optional>
#include <string>

namespace hp::rt {

// The bytes a board gets for a text of the program (a flash name, a command
// the user typed), or nullopt when the text has no exact form in those bytes.
// On Windows: the ANSI code page's bytes, never a "best fit" or a default
// character standing in for one it lacks. On Linux: the bytes as they stand.
std::optional<std::string> ToBoardText(const std::string& Text);

// The bytes a board gets for a flash name: ToBoardText of the name as it
// stands, or on Windows, when it has no exact form, of the name composed
// (Unicode normalisation form C), so that a name stored decomposed ("e" and
// a combining accent, as archives made on a Mac hold it) is stored as the
// same name typed there. On Linux names are bytes and go as they stand.
std::optional<std::string> ToBoardName(const std::string& Name);

// A board's bytes as text of the program, for a message that quotes them.
std::string FromBoardText(const std::string& Bytes);

} // namespace hp::rt
