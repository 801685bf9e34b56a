#pragma once
// Console output. Everything the program says goes to standard output as
// bytes (no text-mode translation), lines ended by the platform's line end.
// Every call is flushed: the user must see progress as it happens. Only the
// reasons behind a failure that standard output shows tersely go to standard
// error, where scripts that read the output do not see them.
#include <string_view>

namespace hp::rt {

// The console for the length of the program: on Linux a reader that goes
// away no longer kills the program (its output is dropped instead); on
// Windows console input delivers Ctrl+C as a key. The destructor puts the
// console input back as the program found it; on Windows a Ctrl+Break or a
// closed console window, which end the process without unwinding, put it
// back too.
class TConsoleSession {
public:
    TConsoleSession();
    ~TConsoleSession();
    TConsoleSession(const TConsoleSession&) = delete;
    TConsoleSession& operator=(const TConsoleSession&) = delete;
};

// Text followed by the platform's line end.
void WriteLine(std::string_view Text = {});

// Text without a line end.
void Write(std::string_view Text);

// The platform's line end: "\n" on Linux, "\r\n" on Windows.
std::string_view LineEnd();

// Writes the bytes to standard output, all of them, at once.
void WriteRawOutput(std::string_view Bytes);

// Text followed by the platform's line end, on standard error.
void WriteErrorLine(std::string_view Text);

// Writes the bytes to standard error, all of them, at once.
void WriteRawError(std::string_view Bytes);

} // namespace hp::rt
