#include "runtime/port_lines.h"

namespace hp::rt {

std::vector<std::string> SplitPortLines(const std::string& Text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < Text.size()) {
        const char c = Text[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        lines.push_back(Text.substr(start, i - start));
        // CR LF is one line break, not two.
        i += (c == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n') ? 2 : 1;
        start = i;
    }
    if (start < Text.size())
        lines.push_back(Text.substr(start));
    return lines;
}

} // namespace hp::rt
