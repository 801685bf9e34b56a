#pragma once
// Console output. Everything the program says goes to standard output as
// bytes (no text-mode translation), lines ended by the platform's line end.
// Every call is flushed: the user must see progress as it happens.
#include <string_view>

namespace hp::rt {

// Platform start-up of the console: binary standard output, and on Windows
// console input that delivers Ctrl+C as a key.
void ConsoleInit();

// Text followed by the platform's line end.
void WriteLine(std::string_view Text = {});

// Text without a line end.
void Write(std::string_view Text);

// The platform's line end: "\n" on Linux, "\r\n" on Windows.
std::string_view LineEnd();

// Writes the bytes to standard output, all of them, at once.
void WriteRawOutput(std::string_view Bytes);

} // namespace hp::rt
