// The Windows command-line splitter on arbitrary command lines.
//
// Checked: no double quote survives; the parameters are those of a model that
// decides the fate of each byte on its own (so a separator, a blank or control
// character, inside a parameter always came from between quotes); a line
// without quotes splits like a plain whitespace split; and quoting the
// parameters again gives a line that splits back into them.
#include "runtime/cmdline.h"
#include "fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using hp::fuzz::Check;
using hp::fuzz::Visible;

bool IsSeparator(char C)
{
    return static_cast<unsigned char>(C) <= ' ';
}

std::string Describe(const std::string& Line, const std::vector<std::string>& Params)
{
    std::string text = "line " + Visible(Line) + " ->";
    for (const auto& p : Params)
        text += " " + Visible(p);
    return text;
}

// What becomes of every input byte: a separator outside quotes ends a
// parameter; a quote is dropped (a doubled one without changing the quoting);
// every other byte is kept in the current parameter. A parameter is a maximal
// run of bytes that are not separators outside quotes.
enum class TFate { Separator, Dropped, Kept };

std::vector<std::string> ModelSplit(const std::string& Line)
{
    std::vector<TFate> fates(Line.size(), TFate::Kept);
    bool quoted = false;
    for (std::size_t i = 0; i < Line.size(); ++i) {
        if (Line[i] == '"') {
            fates[i] = TFate::Dropped;
            if (i + 1 < Line.size() && Line[i + 1] == '"')
                fates[++i] = TFate::Dropped;
            else
                quoted = !quoted;
        } else if (IsSeparator(Line[i]) && !quoted) {
            fates[i] = TFate::Separator;
        }
    }
    std::vector<std::string> params;
    bool inParam = false;
    for (std::size_t i = 0; i < Line.size(); ++i) {
        if (fates[i] == TFate::Separator) {
            inParam = false;
            continue;
        }
        if (!inParam)
            params.emplace_back();
        inParam = true;
        if (fates[i] == TFate::Kept)
            params.back().push_back(Line[i]);
    }
    return params;
}

std::vector<std::string> PlainSplit(const std::string& Line)
{
    std::vector<std::string> params;
    std::string current;
    bool inParam = false;
    for (const char c : Line) {
        if (IsSeparator(c)) {
            if (inParam)
                params.push_back(current);
            current.clear();
            inParam = false;
        } else {
            current.push_back(c);
            inParam = true;
        }
    }
    if (inParam)
        params.push_back(current);
    return params;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::string line(reinterpret_cast<const char*>(Data), Size);
    const std::vector<std::string> params = hp::rt::SplitCommandLine(line);
    const std::string what = Describe(line, params);

    for (const auto& p : params)
        Check(p.find('"') == std::string::npos, "a quote survived", what);
    Check(params == ModelSplit(line), "the split differs from the model", what);

    if (line.find('"') == std::string::npos)
        Check(params == PlainSplit(line), "a line without quotes splits differently from a plain split", what);

    // Round trip: every parameter quoted whole, or bare when it needs no
    // quotes; both lines split back into the same parameters.
    std::string allQuoted = "program.exe";
    std::string minimal = "program.exe";
    for (const auto& p : params) {
        allQuoted += " \"" + p + "\"";
        bool needsQuotes = p.empty();
        for (const char c : p)
            needsQuotes = needsQuotes || IsSeparator(c);
        minimal += needsQuotes ? " \"" + p + "\"" : " " + p;
    }
    std::vector<std::string> expected{"program.exe"};
    expected.insert(expected.end(), params.begin(), params.end());
    Check(hp::rt::SplitCommandLine(allQuoted) == expected, "quoted round trip", what);
    Check(hp::rt::SplitCommandLine(minimal) == expected, "minimal round trip", what);
    return 0;
}
