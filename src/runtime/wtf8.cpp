#include "runtime/wtf8.h"

namespace hp::rt {

namespace {

bool IsLeadSurrogate(char32_t C) { return C >= 0xD800 && C <= 0xDBFF; }
bool IsTrailSurrogate(char32_t C) { return C >= 0xDC00 && C <= 0xDFFF; }

void AppendUtf8(std::string& Out, char32_t C)
{
    if (C < 0x80) {
        Out.push_back(static_cast<char>(C));
    } else if (C < 0x800) {
        Out.push_back(static_cast<char>(0xC0 | (C >> 6)));
        Out.push_back(static_cast<char>(0x80 | (C & 0x3F)));
    } else if (C < 0x10000) {
        Out.push_back(static_cast<char>(0xE0 | (C >> 12)));
        Out.push_back(static_cast<char>(0x80 | ((C >> 6) & 0x3F)));
        Out.push_back(static_cast<char>(0x80 | (C & 0x3F)));
    } else {
        Out.push_back(static_cast<char>(0xF0 | (C >> 18)));
        Out.push_back(static_cast<char>(0x80 | ((C >> 12) & 0x3F)));
        Out.push_back(static_cast<char>(0x80 | ((C >> 6) & 0x3F)));
        Out.push_back(static_cast<char>(0x80 | (C & 0x3F)));
    }
}

// The character of the sequence starting at Text[I] and its length; a length
// of 0 when no well-formed sequence starts there.
std::pair<char32_t, std::size_t> DecodeAt(std::string_view Text, std::size_t I)
{
    const auto byte = [&](std::size_t K) { return static_cast<unsigned char>(Text[K]); };
    const unsigned char b0 = byte(I);
    if (b0 < 0x80)
        return {b0, 1};
    std::size_t length = 0;
    char32_t c = 0;
    char32_t least = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2, c = b0 & 0x1F, least = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3, c = b0 & 0x0F, least = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4, c = b0 & 0x07, least = 0x10000;
    } else {
        return {0, 0};
    }
    if (I + length > Text.size())
        return {0, 0};
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char b = byte(I + k);
        if ((b & 0xC0) != 0x80)
            return {0, 0};
        c = (c << 6) | (b & 0x3F);
    }
    if (c < least || c > 0x10FFFF)
        return {0, 0};
    return {c, length};
}

} // namespace

std::string Wtf8FromUtf16(std::u16string_view Text)
{
    std::string out;
    out.reserve(Text.size());
    for (std::size_t i = 0; i < Text.size(); ++i) {
        char32_t c = Text[i];
        if (IsLeadSurrogate(c) && i + 1 < Text.size() && IsTrailSurrogate(Text[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (Text[i + 1] - 0xDC00);
            ++i;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string Utf16FromWtf8(std::string_view Text)
{
    std::u16string out;
    out.reserve(Text.size());
    for (std::size_t i = 0; i < Text.size();) {
        const auto [c, length] = DecodeAt(Text, i);
        if (length == 0) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            // A surrogate of its own (lead or trail) is a unit of its own.
            out.push_back(static_cast<char16_t>(c));
        }
        i += length;
    }
    return out;
}

} // namespace hp::rt
