// The simulator's command line.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace hp::sim {

struct SimOptions {
    // Where the port is announced.
    std::string DeviceMapDir;            // --device-map DIR
    int Index = 0;                       // --index N
    std::optional<std::string> Value;    // --value TEXT (instead of the port path / COMn)
    std::string WinePrefix;              // --wine-prefix P
    int ComNumber = 0;                   // --com N
    std::string TtyPath;                 // --tty PATH: serve this terminal, no pseudo-terminal

    // The board.
    std::string FlashDir;                // --flash DIR (empty: a fresh temporary folder)
    std::string Version = "2.05";        // --version TEXT  (reply "V=" TEXT)
    std::string Serial = "0042-5117";    // --serial TEXT   (reply "S=" TEXT)
    std::int64_t Free = 16 * 1024 * 1024;  // --free N
    bool NotReady = false;               // --not-ready
    bool RefuseWrite = false;            // --refuse-write
    bool CrLf = false;                   // --crlf
    bool Silent = false;                 // --silent
    std::vector<std::string> Banner;     // --banner TEXT (repeatable, one line each)
    double EraseSeconds = 2.0;           // --erase-seconds S
    int EraseDots = 10;                  // --erase-dots N
    bool EraseSilent = false;            // --erase-silent
    std::optional<int> ListLines;        // --list-lines N
    std::optional<std::int64_t> StreamJunk;  // --stream-junk BYTES
    std::optional<std::string> Chatter;  // --chatter TEXT (a device that is no saber)
    // Key: the command up to its first '=' (or the whole command); value: the
    // reply text, or no value at all for "send nothing".
    std::map<std::string, std::optional<std::string>> Replies;  // --reply, --no-reply
    // --reply-raw CMD=BYTES: the bytes exactly, with no line end added.
    std::map<std::string, std::string> RawReplies;
    // --from-open N: the --reply and --no-reply switches after it take effect
    // only from the Nth open of the port on (0: there is none).
    int LateFromOpen = 0;
    std::map<std::string, std::optional<std::string>> LateReplies;

    // Faults and pacing.
    std::optional<std::int64_t> HangUpAfter;       // --hang-up-after N
    std::vector<std::string> HangUpAfterCommand;   // --hang-up-after-command CMD
    std::optional<int> HangUpAfterLines;           // --hang-up-after-lines N
    std::optional<int> HangUpAfterDots;            // --hang-up-after-dots N
    std::optional<std::int64_t> StallAfter;        // --stall-after N
    std::int64_t LineRate = 0;                     // --line-rate BPS (0: unlimited)
    std::optional<std::uint64_t> ChaosSeed;        // --chaos SEED

    // Running.
    bool ExitAfterUpload = false;        // --exit-after-upload
    std::string LogFile;                 // --log FILE
    int Verbosity = 0;                   // -v (repeatable)
};

enum class ParseOutcome { Run, Help, Error };

// Fills `options` from argv. On Error, `message` says what is wrong.
ParseOutcome ParseOptions(int argc, char** argv, SimOptions& options, std::string& message);

// The usage text printed by --help.
std::string UsageText();

// The key under which a received command line is looked up in Replies and
// HangUpAfterCommand: its text up to (not including) the first '=', or the
// whole text when it has none ("V?", "WR?", "WR", "ERASE").
std::string CommandKey(const std::string& command);

}  // namespace hp::sim
