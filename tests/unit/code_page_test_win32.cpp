// Names in a code page: exact or not at all, never a look-alike.
#include "runtime/board_text.h"
#include "runtime/wide_text_win32.h"

#include <cstdlib>

#include <gtest/gtest.h>

namespace {

using hp::rt::FromCodePage;
using hp::rt::ToCodePageExact;
using hp::rt::ToCodePageLossy;

TEST(CodePage, ExactOrNothing)
{
    struct TCase {
        UINT CodePage;
        std::wstring Text;
        std::optional<std::string> Bytes;
    };
    const TCase cases[] = {
        {1252, L"hum1.wav", "hum1.wav"},
        {1252, L"caf\u00E9.wav", "caf\xE9.wav"},
        {1252, L"\u0430.wav", std::nullopt},               // Cyrillic is not in Latin
        {1252, L"a\uFF02.wav", std::nullopt},              // best fit would make it '"'
        {1252, L"\uFF0Derase-all", std::nullopt},          // ... and this '-'
        {1252, L"\u30BD", std::nullopt},
        {932, L"\u30BD\u30FC\u30C9.wav", "\x83\x5C\x81\x5B\x83\x68.wav"},
        {932, L"\u0430\u0431.wav", "\x84\x70\x84\x71.wav"}, // JIS has Cyrillic
        {932, L"caf\u00E9", std::nullopt},                  // best fit would make it 'e'
        {CP_UTF8, L"\u30BD\u00E9", "\xE3\x82\xBD\xC3\xA9"},
        {CP_UTF8, L"a\xD800", std::nullopt},               // a lone surrogate has no bytes
        {932, L"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.CodePage << " #" << (&c - cases));
        EXPECT_EQ(ToCodePageExact(c.Text, c.CodePage), c.Bytes);
        if (c.Bytes) {
            EXPECT_EQ(FromCodePage(*c.Bytes, c.CodePage), c.Text);
        }
    }
}

TEST(CodePage, LossyOutputShowsWhatIsMissingAsAQuestionMark)
{
    EXPECT_EQ(ToCodePageLossy(L"a\uFF02 -v \uFF02.wav \u00E9", 1252), "a? -v ?.wav \xE9");
    EXPECT_EQ(ToCodePageLossy(L"\u30BD\u0430", 1252), "??");
    EXPECT_EQ(ToCodePageLossy(L"\u30BD\u00E9", 932), "\x83\x5C?");
}

// A flash name goes as it stands when the ANSI code page holds it, composed
// only when it does not. Wine takes the code page from the locale: this runs
// under C.UTF-8 (1252) and again under ja_JP.UTF-8 (932).
TEST(BoardName, AsItStandsFirstComposedOnlyWhenThatFails)
{
    if (const char* wanted = std::getenv("HP_ANSI_CODE_PAGE")) {
        ASSERT_EQ(std::to_string(GetACP()), wanted) << "is the locale of that code page missing?";
    }
    const std::string angstrom = "\u212B.wav", decomposed = "cafe\u0301.wav";
    if (GetACP() == 932) {
        EXPECT_EQ(hp::rt::ToBoardName(angstrom), "\x81\xF0.wav"); // composed: U+00C5, which 932 lacks
        EXPECT_EQ(hp::rt::ToBoardName(decomposed), std::nullopt);
    } else {
        EXPECT_EQ(hp::rt::ToBoardName(decomposed), "caf\xE9.wav"); // as the same name typed on Windows
        EXPECT_EQ(hp::rt::ToBoardName(angstrom), "\xC5.wav");
    }
}

} // namespace
