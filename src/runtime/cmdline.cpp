#include "runtime/cmdline.h"

namespace hp::rt {

std::vector<std::string> SplitCommandLine(std::string_view CmdLine)
{
    std::vector<std::string> params;
    std::size_t i = 0;
    const std::size_t n = CmdLine.size();
    auto isSeparator = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (i < n) {
        while (i < n && isSeparator(CmdLine[i]))
            ++i;
        if (i == n)
            break;
        std::string param;
        bool quoted = false;
        while (i < n && (quoted || !isSeparator(CmdLine[i]))) {
            const char c = CmdLine[i];
            if (c == '"') {
                if (i + 1 < n && CmdLine[i + 1] == '"') {
                    i += 2; // a doubled quote vanishes and changes nothing
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            param.push_back(c);
            ++i;
        }
        params.push_back(std::move(param));
    }
    return params;
}

} // namespace hp::rt
