// Splitting of a Windows command line into parameters.
#include "runtime/cmdline.h"

#include <gtest/gtest.h>

namespace {

using Params = std::vector<std::string>;

TEST(SplitCommandLineTest, BlanksAndControlCharactersSeparate)
{
    EXPECT_EQ(hp::rt::SplitCommandLine("prog  -i\tsong.raw\r\n"), (Params{"prog", "-i", "song.raw"}));
    EXPECT_EQ(hp::rt::SplitCommandLine(""), Params{});
    EXPECT_EQ(hp::rt::SplitCommandLine("   "), Params{});
}

TEST(SplitCommandLineTest, SingleQuotesToggleAndAreDropped)
{
    EXPECT_EQ(hp::rt::SplitCommandLine(R"(prog "C:\My Sounds\hum 1.wav")"),
              (Params{"prog", R"(C:\My Sounds\hum 1.wav)"}));
    EXPECT_EQ(hp::rt::SplitCommandLine(R"(prog a"b c"d)"), (Params{"prog", "ab cd"}));
    // An unterminated quote runs to the end of the line.
    EXPECT_EQ(hp::rt::SplitCommandLine(R"(prog "a b)"), (Params{"prog", "a b"}));
}

TEST(SplitCommandLineTest, DoubledQuotesVanishWithoutToggling)
{
    EXPECT_EQ(hp::rt::SplitCommandLine(R"(prog a""b c)"), (Params{"prog", "ab", "c"}));
    EXPECT_EQ(hp::rt::SplitCommandLine(R"(prog "a""b c")"), (Params{"prog", "ab c"}));
    // Three quotes: the first two vanish, the third opens a quoted stretch.
    EXPECT_EQ(hp::rt::SplitCommandLine(R"(prog """a b)"), (Params{"prog", "a b"}));
    EXPECT_EQ(hp::rt::SplitCommandLine(R"(prog "" x)"), (Params{"prog", "", "x"}));
}

TEST(SplitCommandLineTest, BackslashesAreOrdinary)
{
    // The C runtime would read \" as a literal quote; here the quote still toggles.
    EXPECT_EQ(hp::rt::SplitCommandLine(R"(prog "C:\dir\" -s)"), (Params{"prog", R"(C:\dir\)", "-s"}));
    EXPECT_EQ(hp::rt::SplitCommandLine(R"(prog -t V?\n)"), (Params{"prog", "-t", R"(V?\n)"}));
}

TEST(SplitCommandLineTest, EightBitBytesSurvive)
{
    EXPECT_EQ(hp::rt::SplitCommandLine("prog \xE9t\xE9.wav"), (Params{"prog", "\xE9t\xE9.wav"}));
}

} // namespace
