// What a trace line may hold: a board's bytes can never drive the terminal.
#include "runtime/trace.h"

#include <gtest/gtest.h>

namespace hp {
namespace {

TEST(TraceText, OnlyPrintableAsciiPassesUnchanged)
{
    using namespace std::string_literals;
    EXPECT_EQ(rt::EscapeTraceText("\x1f !~\x7f\x80\xff\0"s), "\\x1F !~\\x7F\\x80\\xFF\\x00");
    EXPECT_EQ(rt::EscapeTraceText("S=0042\r\n\x1b[2J\\x41"), "S=0042\\x0D\\x0A\\x1B[2J\\x41");
}

} // namespace
} // namespace hp
