#pragma once
// A failed invariant in a fuzz target: say which, and abort so that libFuzzer
// records the input as a crash.
#include <cstdio>
#include <cstdlib>
#include <string>

namespace hp::fuzz {

[[noreturn]] inline void Fail(const char* What, const std::string& Detail = {})
{
    std::fprintf(stderr, "invariant broken: %s\n%s\n", What, Detail.c_str());
    std::abort();
}

inline void Check(bool Holds, const char* What, const std::string& Detail = {})
{
    if (!Holds)
        Fail(What, Detail);
}

// Bytes shown with escapes, for failure messages.
inline std::string Visible(const std::string& Bytes)
{
    std::string out = "\"";
    for (const unsigned char c : Bytes) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out + "\"";
}

} // namespace hp::fuzz
