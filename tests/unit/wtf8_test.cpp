// The program's own text on Windows: UTF-16 names as WTF-8 and back.
#include "runtime/wtf8.h"

#include <gtest/gtest.h>

namespace {

using hp::rt::Utf16FromWtf8;
using hp::rt::Wtf8FromUtf16;

TEST(Wtf8, EveryUtf16NameSurvivesTheTrip)
{
    const std::u16string names[] = {
        u"hum1.wav", u"\u0430\u0431\u0432.wav", u"\u30BD\u30FC\u30C9.wav", u"caf\u00E9",
        u"\U0001F3B5 clash.wav",               // a surrogate pair
        u"a\xD800.wav", u"\xDC00", u"\xDBFF\xD800", // lone surrogates, a pair in the wrong order
    };
    for (const auto& name : names)
        EXPECT_EQ(Utf16FromWtf8(Wtf8FromUtf16(name)), name);
    EXPECT_EQ(Wtf8FromUtf16(u"caf\u00E9 \U0001F3B5"), "caf\xC3\xA9 \xF0\x9F\x8E\xB5");
    EXPECT_EQ(Wtf8FromUtf16(u"\xD800"), "\xED\xA0\x80");
}

// No character beyond ASCII may turn into a byte that the splitting, the
// option test or the path split would take for a quote, a blank, a '-' or a
// separator.
TEST(Wtf8, NoUnitBeyondAsciiYieldsAnAsciiByte)
{
    for (char32_t unit = 0x80; unit <= 0xFFFF; ++unit) {
        const std::u16string text(1, static_cast<char16_t>(unit));
        const std::string bytes = Wtf8FromUtf16(text);
        for (const char b : bytes)
            ASSERT_GE(static_cast<unsigned char>(b), 0x80) << std::hex << static_cast<unsigned>(unit);
        ASSERT_EQ(Utf16FromWtf8(bytes), text) << std::hex << static_cast<unsigned>(unit);
    }
}

TEST(Wtf8, BytesThatStartNoSequenceBecomeReplacementCharacters)
{
    EXPECT_EQ(Utf16FromWtf8("a\x80" "b"), u"a\uFFFDb");
    EXPECT_EQ(Utf16FromWtf8("\xC0\xA2"), u"\uFFFD\uFFFD") << "an overlong quote is no quote";
    EXPECT_EQ(Utf16FromWtf8("\xE3\x82"), u"\uFFFD\uFFFD") << "cut off";
    EXPECT_EQ(Utf16FromWtf8("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD") << "beyond U+10FFFF";
    EXPECT_EQ(Utf16FromWtf8("\xED\xA0\x80\xED\xB0\x80"), u"\xD800\xDC00") << "halves meet again";
}

} // namespace
