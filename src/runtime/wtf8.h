#pragma once
// The program's own text on Windows is UTF-8, widened to UTF-16 for every
// system call and narrowed back from it. Windows names are UTF-16 code units
// that need not pair up, so the 8-bit form is WTF-8: UTF-8 that also encodes
// a lone surrogate, which makes every name survive the round trip. Kept free
// of any platform call so that it is tested on every build.
#include <string>
#include <string_view>

namespace hp::rt {

// UTF-16 code units as WTF-8: a surrogate pair as its one character, a lone
// surrogate as a three-byte sequence of its own. ASCII stays as it is.
std::string Wtf8FromUtf16(std::u16string_view Text);

// WTF-8 as UTF-16 code units. A byte that starts no well-formed sequence
// (a stray continuation byte, an overlong or cut-off sequence, a value beyond
// U+10FFFF) becomes U+FFFD, so no byte of it turns into ASCII.
std::u16string Utf16FromWtf8(std::string_view Text);

} // namespace hp::rt
