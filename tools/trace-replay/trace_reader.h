#pragma once
// A trace as hiltpush writes it (--trace), read back: the run's parameters,
// the device map and the files it announced, every answer of the Windows
// comm driver in order, and the exit status.
#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace hp::replay {

// One answer of the driver: "comm <call> <arguments> -> <answer>".
struct TTraceCall {
    int LineNo = 0;
    std::uint64_t Stamp = 0; // ms since the trace began
    std::string Text;        // as written after the stamp, for reports
    std::string Call;
    std::vector<std::string> Args; // quoted ones unescaped
    // The answer's "key value" pairs; a word without a value ("pending",
    // "ended", "timed-out") is a key with an empty value.
    std::map<std::string, std::string> Answer;

    // The answer's value for Key; throws ETraceError when it is missing.
    const std::string& Value(const std::string& Key) const;
    // A number of the answer, decimal or 0x hexadecimal.
    std::int64_t Number(const std::string& Key) const;
};

struct TTraceRun {
    std::string Version;
    std::string Platform;
    std::vector<std::string> Params;
    bool DeviceMapMissing = false;
    std::vector<std::pair<std::string, std::string>> DeviceMap; // value name, text
    std::vector<std::pair<std::string, std::int64_t>> Files;    // name as given, size
    std::vector<TTraceCall> Calls;
    std::optional<int> ExitStatus;
};

class ETraceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The Index-th run (from 1) of a trace file, which may hold several.
TTraceRun ReadTrace(std::istream& In, int Index = 1);

// A quoted field's bytes: \xHH escapes undone, the quotes dropped.
std::string Unquote(const std::string& Field);

} // namespace hp::replay
