#pragma once
// Console output. Everything the program says goes to standard output (no
// text-mode translation), lines ended by the platform's line end. Every call
// is flushed: the user must see progress as it happens. Only the reasons
// behind a failure that standard output shows tersely go to standard error,
// where scripts that read the output do not see them.
//
// Two kinds of text reach the console: the program's own (its messages, file
// names, the system's reasons) and what a board sent (8-bit bytes that the
// board's firmware and the user read in the ANSI code page). On Linux both
// are written as the bytes they are. On Windows the program's own text is
// UTF-8 and a board's is ANSI; a console window is shown the characters
// either stands for, while a file or a pipe gets the bytes it always got
// (the program's text in the ANSI code page, a board's unchanged).
#include <string>
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

// Where a text written to the console comes from.
enum class TTextOrigin { Program, Board };

// The program's own text followed by the platform's line end.
void WriteLine(std::string_view Text = {});

// The program's own text without a line end.
void Write(std::string_view Text);

// Bytes a board sent, followed by the platform's line end / without one;
// shown as ShownBoardText says.
void WriteBoardLine(std::string_view Bytes);
void WriteBoard(std::string_view Bytes);

// A board's bytes as the console is given them. Anything that answers on a
// serial port can send what a terminal obeys (clear the screen, retitle the
// window, write the clipboard), so each byte from 0x00 to 0x1F other than
// TAB, and DEL, is shown as \x and two upper-case hex digits. A CR that ends
// the text stays when the text ends a line (EndsLine): that is how a CR LF
// board ends its lines. Text without such bytes is unchanged.
std::string ShownBoardText(std::string_view Bytes, bool EndsLine);

// A board's text echoed byte by byte as it arrives: a line feed ends the
// console line. A CR waits for the byte after it, which tells a CR LF line
// end (shown as WriteBoardLine shows it) from a lone CR (escaped).
class TBoardEcho {
public:
    void Put(char Byte);
    // No more bytes to this line: a CR still waiting stood alone.
    void End();

private:
    bool FHeldCR = false;
};

// The platform's line end: "\n" on Linux, "\r\n" on Windows.
std::string_view LineEnd();

// Writes the text to standard output, all of it, at once.
void WriteOutput(std::string_view Text, TTextOrigin Origin);

// The program's own text followed by the platform's line end, on standard
// error.
void WriteErrorLine(std::string_view Text);

// Writes the program's own text to standard error, all of it, at once.
void WriteErrorOutput(std::string_view Text);

} // namespace hp::rt
