// What becomes of a board's bytes where they are shown, on the console and in
// the trace: no board can drive the terminal, and what it sent can be told.
#include "runtime/console.h"
#include "runtime/trace.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace hp {
namespace {

using namespace std::string_literals;

TEST(ShownText, ConsoleEscapesTheControlBytesAndNothingElse)
{
    // Every byte from 0x00 to 0x7F: the controls but TAB, and DEL, escaped.
    std::string all, expected;
    for (int b = 0; b < 0x80; ++b) {
        all += static_cast<char>(b);
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", b);
        expected += (b < 0x20 && b != '\t') || b == 0x7F ? std::string(hex) : std::string(1, static_cast<char>(b));
    }
    EXPECT_EQ(rt::ShownBoardText(all, true), expected);
    // Lines without such bytes are left byte for byte, 8-bit bytes and TAB
    // included; so is the CR that ends a CR LF board's line.
    for (const std::string& line : {"S=0042-5117"s, "a\tb"s, "caf\xe9 \x80\xff"s, ""s, "OK, Write Ready\r"s})
        EXPECT_EQ(rt::ShownBoardText(line, true), line);
    // The board that clears the screen and retitles the window.
    EXPECT_EQ(rt::ShownBoardText("S=12\x1b]0;owned\x07\x1b[2J34", true), "S=12\\x1B]0;owned\\x07\\x1B[2J34");
    // A CR anywhere else moves the cursor: it is a control byte like any
    // other, and so is the last one of a text that does not end a line.
    EXPECT_EQ(rt::ShownBoardText("a\rb\r\r", true), "a\\x0Db\\x0D\r");
    EXPECT_EQ(rt::ShownBoardText("a\r", false), "a\\x0D");
}

TEST(ShownText, TraceEscapesAllButPrintableAsciiAndItsOwnBackslash)
{
    EXPECT_EQ(rt::EscapeTraceText("\x1f !~\x7f\x80\xff\0"s), "\\x1F !~\\x7F\\x80\\xFF\\x00");
    // A board's own "\x41" reads otherwise than the byte it spells.
    EXPECT_EQ(rt::EscapeTraceText("S=0042\r\n\x1b[2J\\x41A"), "S=0042\\x0D\\x0A\\x1B[2J\\x5Cx41A");
}

} // namespace
} // namespace hp
