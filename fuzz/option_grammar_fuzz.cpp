// The option grammar on arbitrary parameter lists, against a plain model of
// the matching rules: a parameter of two or more characters starting with
// '-' is an option; "--name=value" is a long option named up to the first
// '='; "-name" is a short option named by the whole rest; the search runs
// from the last parameter backwards.
//
// Input: the first line holds the option letter (its first byte) and the
// long name (the rest); every further line is one parameter. The program's
// port option (-p, --port=) is checked on every input besides: neither it
// nor its value is ever taken for a file to upload, and an option whose name begins with 'p'
// or 'P' but is not "p" or "port" is refused as a mistyped one. So is the
// trace option, taken in its long form only, and never a file either.
#include "app/application_base.h"
#include "app/port_option.h"
#include "app/trace_option.h"
#include "app/upload_list.h"
#include "fuzz_check.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using hp::fuzz::Check;
using hp::fuzz::Visible;

constexpr std::size_t MaxParams = 64;

class TProbe : public hp::TApplicationBase {
public:
    using TApplicationBase::TApplicationBase;

protected:
    void DoRun() override { Terminate(); }
};

struct TModelHit {
    int Index = -1;
    std::optional<bool> LongOpt; // of the last option-like parameter examined
};

std::string ModelName(const std::string& P, bool& Long)
{
    Long = P[1] == '-';
    if (!Long)
        return P.substr(1);
    const std::string rest = P.substr(2);
    return rest.substr(0, rest.find('='));
}

TModelHit ModelFind(const std::vector<std::string>& Params, const std::string& S, int StartAt)
{
    TModelHit hit;
    const int n = static_cast<int>(Params.size());
    for (int i = StartAt == -1 ? n : StartAt; i > 0; --i) {
        const std::string p = i <= n ? Params[static_cast<std::size_t>(i - 1)] : std::string();
        if (p.size() < 2 || p[0] != '-')
            continue;
        bool isLong = false;
        const std::string name = ModelName(p, isLong);
        hit.LongOpt = isLong;
        if (name == S) {
            hit.Index = i;
            break;
        }
    }
    return hit;
}

std::string ModelValue(const std::vector<std::string>& Params, char C, const std::string& S)
{
    TModelHit hit = ModelFind(Params, std::string(1, C), -1);
    if (hit.Index == -1)
        hit = ModelFind(Params, S, -1);
    if (hit.Index == -1)
        return {};
    const std::string& p = Params[static_cast<std::size_t>(hit.Index - 1)];
    if (*hit.LongOpt) {
        const std::size_t eq = p.find('=');
        return eq == std::string::npos ? std::string() : p.substr(eq + 1);
    }
    if (static_cast<std::size_t>(hit.Index) < Params.size()) {
        const std::string& next = Params[static_cast<std::size_t>(hit.Index)];
        if (next.empty() || next[0] != '-')
            return next;
    }
    return {};
}

std::string Describe(const std::vector<std::string>& Params, const std::string& S)
{
    std::string text = "name " + Visible(S) + ", params:";
    for (const auto& p : Params)
        text += " " + Visible(p);
    return text;
}

void CheckFind(const TProbe& App, const std::vector<std::string>& Params, const std::string& S, int StartAt)
{
    const TModelHit want = ModelFind(Params, S, StartAt);
    for (const bool initial : {false, true}) {
        bool longOpt = initial;
        const int got = App.FindOptionIndex(S, longOpt, StartAt);
        const std::string what = Describe(Params, S) + ", start " + std::to_string(StartAt);
        Check(got == want.Index, "FindOptionIndex differs from the model",
              what + ": got " + std::to_string(got) + ", want " + std::to_string(want.Index));
        Check(longOpt == want.LongOpt.value_or(initial), "FindOptionIndex left a wrong LongOpt", what);
        if (got != -1) {
            // A hit is a real option-like parameter whose name is S.
            Check(got >= 1 && got <= static_cast<int>(Params.size()), "index out of range", what);
            const std::string& p = Params[static_cast<std::size_t>(got - 1)];
            Check(p.size() >= 2 && p[0] == '-', "hit is not option-like", what);
            bool isLong = false;
            Check(ModelName(p, isLong) == S, "hit does not carry the name", what);
        }
    }
}

void CheckPortOption(const TProbe& App, const std::vector<std::string>& Params)
{
    const std::string what = Describe(Params, "port");
    const TModelHit letter = ModelFind(Params, "p", -1);
    const TModelHit name = ModelFind(Params, "port", -1);
    Check(App.HasOption('p', "port") == (letter.Index != -1 || name.Index != -1), "HasOption('p', \"port\")", what);
    const std::string value = App.GetOptionValue('p', "port");
    Check(value == ModelValue(Params, 'p', "port"), "the port's value differs from the model", what);

    // The refusal in the grammar's own terms: the first option-like
    // parameter whose name begins with 'p' or 'P' and is not the port
    // option's name.
    std::optional<std::string> mistyped;
    for (const auto& p : Params) {
        bool isLong = false;
        const std::string optName = p.size() >= 2 && p[0] == '-' ? ModelName(p, isLong) : std::string();
        if (!optName.empty() && (optName[0] == 'p' || optName[0] == 'P') && optName != "p" && optName != "port") {
            mistyped = p;
            break;
        }
    }
    const auto refused = hp::MistypedPortOption(Params);
    Check(refused == mistyped, "the mistyped port option differs from the model",
          what + ": got " + Visible(refused.value_or("<none>")) + ", want " + Visible(mistyped.value_or("<none>")));
    // What serves as the value of -t or -p is never refused.
    for (std::size_t i = 1; refused && i < Params.size(); ++i)
        if (Params[i] == *refused)
            for (const char* option : {"-t", "-trans", "-p", "-port"})
                Check(Params[i - 1] != option || App.GetOptionAtIndex(static_cast<int>(i), false) != *refused,
                      "a value was refused as an option", what);

    const std::vector<std::string> files = hp::UploadParams(Params);
    // Files are parameters, in command-line order.
    auto next = Params.begin();
    for (const auto& f : files) {
        next = std::find(next, Params.end(), f);
        Check(next != Params.end(), "UploadParams gave what is no parameter, or out of order", what);
        ++next;
        Check(!hp::IsPortOptionForm(f) && !hp::IsTraceOptionForm(f), "an option of port or trace was taken for a file",
              what + ": " + Visible(f));
    }
    // A value taken from the parameter after -p or -port has a slot of its
    // own that is no file: the files hold that text fewer times than the
    // parameters do.
    const TModelHit hit = letter.Index != -1 ? letter : name;
    if (hit.Index != -1 && !*hit.LongOpt && static_cast<std::size_t>(hit.Index) < Params.size() && !value.empty())
        Check(std::count(files.begin(), files.end(), value) < std::count(Params.begin(), Params.end(), value),
              "the port's value was taken for a file", what + ": value " + Visible(value));
}

// The last parameter named "trace" decides: "--trace" or "--trace=FILE"
// starts a trace, "-trace" is no trace option.
void CheckTraceOption(const TProbe& App, const std::vector<std::string>& Params)
{
    const TModelHit hit = ModelFind(Params, "trace", -1);
    std::optional<std::string> want;
    if (hit.Index != -1 && *hit.LongOpt) {
        const std::string& p = Params[static_cast<std::size_t>(hit.Index - 1)];
        want = p.size() > 8 ? p.substr(8) : std::string();
    }
    Check(hp::TraceOption(App) == want, "the trace option differs from the model", Describe(Params, "trace"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::string input(reinterpret_cast<const char*>(Data), Size);
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= input.size() && lines.size() <= MaxParams) {
        const std::size_t end = input.find('\n', start);
        lines.push_back(input.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    if (lines.empty() || lines[0].empty())
        return 0;
    const char letter = lines[0][0];
    const std::string name = lines[0].substr(1);
    const std::vector<std::string> params(lines.begin() + 1, lines.end());
    const TProbe app("/opt/hiltpush/hiltpush", params);

    Check(app.ParamCount() == static_cast<int>(params.size()), "ParamCount");
    for (int i = -1; i <= app.ParamCount() + 1; ++i) {
        const std::string want = i == 0 ? app.ExeName()
                                 : (i >= 1 && i <= app.ParamCount()) ? params[static_cast<std::size_t>(i - 1)]
                                                                     : std::string();
        Check(app.ParamStr(i) == want, "ParamStr", std::to_string(i));
    }

    const int n = static_cast<int>(params.size());
    for (int startAt = -2; startAt <= n + 1; ++startAt) {
        CheckFind(app, params, name, startAt);
        CheckFind(app, params, std::string(1, letter), startAt);
    }
    const bool hasName = ModelFind(params, name, -1).Index != -1;
    const bool hasLetter = ModelFind(params, std::string(1, letter), -1).Index != -1;
    Check(app.HasOption(name) == hasName, "HasOption(S)", Describe(params, name));
    Check(app.HasOption(letter, name) == (hasLetter || hasName), "HasOption(C, S)", Describe(params, name));
    const std::string value = app.GetOptionValue(letter, name);
    const std::string want = ModelValue(params, letter, name);
    Check(value == want, "GetOptionValue differs from the model",
          Describe(params, name) + ": got " + Visible(value) + ", want " + Visible(want));
    Check(app.GetOptionAtIndex(-1, false).empty() && app.GetOptionAtIndex(-1, true).empty(),
          "GetOptionAtIndex(-1) is not empty");
    CheckPortOption(app, params);
    CheckTraceOption(app, params);
    return 0;
}
