#include "trace_reader.h"

#include <cstdlib>

namespace hp::replay {

namespace {

const std::string Prefix = "hiltpush: trace ";

int HexDigit(char C)
{
    if (C >= '0' && C <= '9')
        return C - '0';
    if (C >= 'A' && C <= 'F')
        return C - 'A' + 10;
    if (C >= 'a' && C <= 'f')
        return C - 'a' + 10;
    return -1;
}

// Words split at blanks; a quoted field is one word, quotes kept.
std::vector<std::string> Words(const std::string& Text)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < Text.size()) {
        if (Text[i] == ' ') {
            ++i;
            continue;
        }
        std::size_t end;
        if (Text[i] == '"') {
            end = Text.find('"', i + 1);
            if (end == std::string::npos)
                throw ETraceError("a quoted field without its end");
            ++end;
        } else {
            end = Text.find(' ', i);
            if (end == std::string::npos)
                end = Text.size();
        }
        words.push_back(Text.substr(i, end - i));
        i = end;
    }
    return words;
}

std::string Word(const std::string& W)
{
    return !W.empty() && W.front() == '"' ? Unquote(W) : W;
}

bool StartsWith(const std::string& Text, const std::string& Head)
{
    return Text.compare(0, Head.size(), Head) == 0;
}

TTraceCall ReadCall(const std::vector<std::string>& W)
{
    TTraceCall call;
    call.Call = W.at(1);
    std::size_t i = 2;
    for (; i < W.size() && W[i] != "->"; ++i)
        call.Args.push_back(Word(W[i]));
    for (++i; i < W.size(); i += 2)
        call.Answer[W[i]] = i + 1 < W.size() ? Word(W[i + 1]) : std::string();
    return call;
}

} // namespace

const std::string& TTraceCall::Value(const std::string& Key) const
{
    const auto it = Answer.find(Key);
    if (it == Answer.end())
        throw ETraceError("line " + std::to_string(LineNo) + ": no \"" + Key + "\" in: " + Text);
    return it->second;
}

std::int64_t TTraceCall::Number(const std::string& Key) const
{
    const std::string& text = Value(Key);
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0')
        throw ETraceError("line " + std::to_string(LineNo) + ": \"" + Key + "\" is no number in: " + Text);
    return value;
}

std::string Unquote(const std::string& Field)
{
    if (Field.size() < 2 || Field.front() != '"' || Field.back() != '"')
        throw ETraceError("not a quoted field: " + Field);
    std::string bytes;
    for (std::size_t i = 1; i + 1 < Field.size(); ++i) {
        if (Field[i] == '\\') {
            const int hi = i + 3 < Field.size() && Field[i + 1] == 'x' ? HexDigit(Field[i + 2]) : -1;
            const int lo = hi >= 0 ? HexDigit(Field[i + 3]) : -1;
            if (lo < 0)
                throw ETraceError("a backslash that starts no \\xHH in " + Field);
            bytes += static_cast<char>(hi * 16 + lo);
            i += 3;
        } else {
            bytes += Field[i];
        }
    }
    return bytes;
}

TTraceRun ReadTrace(std::istream& In, int Index)
{
    TTraceRun run;
    int runs = 0;
    int lineNo = 0;
    for (std::string line; std::getline(In, line);) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!StartsWith(line, Prefix))
            continue;
        const std::size_t blank = line.find(' ', Prefix.size());
        if (blank == std::string::npos)
            continue;
        const std::uint64_t stamp = std::strtoull(line.c_str() + Prefix.size(), nullptr, 10);
        const std::string text = line.substr(blank + 1);
        try {
            const std::vector<std::string> w = Words(text);
            if (w.size() >= 4 && w[0] == "hiltpush" && w[2] == "on") {
                if (++runs > Index)
                    break;
                if (runs == Index) {
                    run.Version = w[1];
                    run.Platform = w[3];
                    for (std::size_t i = 5; i < w.size(); ++i)
                        run.Params.push_back(Word(w[i]));
                }
                continue;
            }
            if (runs != Index || w.empty())
                continue;
            if (w[0] == "comm" && w.size() >= 2) {
                TTraceCall call = ReadCall(w);
                call.LineNo = lineNo;
                call.Stamp = stamp;
                call.Text = text;
                run.Calls.push_back(std::move(call));
            } else if (StartsWith(text, "device map missing")) {
                run.DeviceMapMissing = true;
            } else if (StartsWith(text, "device map ") && w.size() == 5 && w[3] == "->") {
                run.DeviceMap.emplace_back(Word(w[2]), Word(w[4]));
            } else if (StartsWith(text, "upload file ") && w.size() == 5 && w[3] == "size") {
                run.Files.emplace_back(Word(w[2]), std::stoll(w[4]));
            } else if (StartsWith(text, "exit status ") && w.size() == 3) {
                run.ExitStatus = std::stoi(w[2]);
            }
        } catch (const std::exception& E) {
            throw ETraceError("line " + std::to_string(lineNo) + ": " + E.what());
        }
    }
    if (runs < Index)
        throw ETraceError(runs == 0 ? "no run of hiltpush 0.1.0.19 or later: its first line names the parameters"
                                    : "the trace holds " + std::to_string(runs) + " runs");
    return run;
}

} // namespace hp::replay
