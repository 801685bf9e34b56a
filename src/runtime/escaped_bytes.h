#pragma once
// Bytes written as text where some of them must not stand as they are (they
// would drive a terminal, or be read back as something else): each such byte
// becomes \x and two upper-case hex digits.
#include <string>
#include <string_view>

namespace hp::rt {

template <class TMustEscape>
std::string EscapedBytes(std::string_view Bytes, TMustEscape MustEscape)
{
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(Bytes.size());
    for (const char c : Bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (MustEscape(b)) {
            escaped += "\\x";
            escaped += Hex[b >> 4];
            escaped += Hex[b & 0xF];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

} // namespace hp::rt
