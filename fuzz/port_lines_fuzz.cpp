// The splitting of a device-map value into port names, on arbitrary texts,
// against a model that first turns every line break (CR LF, then a lone CR)
// into LF and then cuts at LF: no entry holds a CR or LF, a final line break
// adds no empty entry, an empty text gives none, and the entries joined by LF
// rebuild the text with its line breaks so normalised.
#include "runtime/port_lines.h"

#include "fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using hp::fuzz::Check;
using hp::fuzz::Visible;

std::string Normalised(const std::string& Text)
{
    std::string out;
    for (std::size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == '\r') {
            out.push_back('\n');
            if (i + 1 < Text.size() && Text[i + 1] == '\n')
                ++i;
        } else {
            out.push_back(Text[i]);
        }
    }
    return out;
}

std::vector<std::string> ModelLines(const std::string& Text)
{
    const std::string text = Normalised(Text);
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::string text(reinterpret_cast<const char*>(Data), Size);
    const std::vector<std::string> lines = hp::rt::SplitPortLines(text);
    std::string what = "text " + Visible(text) + " ->";
    for (const auto& l : lines)
        what += " " + Visible(l);

    std::string joined;
    for (const auto& l : lines) {
        Check(l.find_first_of("\r\n") == std::string::npos, "an entry holds a line break", what);
        joined += l + "\n";
    }
    const std::string normalised = Normalised(text);
    const bool endsWithBreak = !normalised.empty() && normalised.back() == '\n';
    if (!endsWithBreak && !joined.empty())
        joined.pop_back();
    Check(joined == normalised, "the entries do not rebuild the text", what);
    Check(lines == ModelLines(text), "the entries differ from the model", what);
    Check(!text.empty() || lines.empty(), "an empty text gave entries", what);
    return 0;
}
