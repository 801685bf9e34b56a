#include "options.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

#include "text_escape.h"

namespace hp::sim {
namespace {

template <typename Int>
Int ParseInt(const std::string& option, const std::string& text, Int low, Int high) {
    Int value{};
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high)
        throw std::invalid_argument(option + " needs a whole number from " + std::to_string(low) + " to " +
                                    std::to_string(high) + ", not \"" + text + "\"");
    return value;
}

double ParseSeconds(const std::string& option, const std::string& text) {
    std::size_t used = 0;
    double value = -1;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || !std::isfinite(value) || value < 0 || value > 86400)
        throw std::invalid_argument(option + " needs a number of seconds from 0 to 86400, not \"" + text + "\"");
    return value;
}

// Splits CMD=TEXT at its first '='.
std::pair<std::string, std::string> SplitReply(const std::string& text) {
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        throw std::invalid_argument("--reply needs CMD=TEXT, not \"" + text + "\"");
    return {text.substr(0, eq), text.substr(eq + 1)};
}

}  // namespace

std::string CommandKey(const std::string& command) {
    return command.substr(0, command.find('='));
}

ParseOutcome ParseOptions(int argc, char** argv, SimOptions& o, std::string& message) {
    bool wantsCom = false;
    try {
        for (int i = 1; i < argc; ++i) {
            std::string arg = argv[i];
            std::optional<std::string> inlineValue;
            if (arg.rfind("--", 0) == 0) {
                const auto eq = arg.find('=');
                if (eq != std::string::npos) {
                    inlineValue = arg.substr(eq + 1);
                    arg.resize(eq);
                }
            }
            auto value = [&]() -> std::string {
                if (inlineValue) return *inlineValue;
                if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
                return argv[++i];
            };
            auto flag = [&](bool& target) {
                if (inlineValue) throw std::invalid_argument(arg + " takes no value");
                target = true;
            };

            if (arg == "-h" || arg == "--help") return ParseOutcome::Help;
            else if (arg == "-v" || arg == "--verbose") ++o.Verbosity;
            else if (arg == "--device-map") o.DeviceMapDir = value();
            else if (arg == "--index") o.Index = ParseInt<int>(arg, value(), 0, 999);
            else if (arg == "--value") o.Value = Unescape(value());
            else if (arg == "--wine-prefix") o.WinePrefix = value();
            else if (arg == "--com") { o.ComNumber = ParseInt<int>(arg, value(), 1, 256); wantsCom = true; }
            else if (arg == "--tty") o.TtyPath = value();
            else if (arg == "--flash") o.FlashDir = value();
            else if (arg == "--version") o.Version = Unescape(value());
            else if (arg == "--serial") o.Serial = Unescape(value());
            else if (arg == "--free") o.Free = ParseInt<std::int64_t>(arg, value(), 0, INT64_MAX / 2);
            else if (arg == "--not-ready") flag(o.NotReady);
            else if (arg == "--refuse-write") flag(o.RefuseWrite);
            else if (arg == "--crlf") flag(o.CrLf);
            else if (arg == "--silent") flag(o.Silent);
            else if (arg == "--banner") o.Banner.push_back(Unescape(value()));
            else if (arg == "--erase-seconds") o.EraseSeconds = ParseSeconds(arg, value());
            else if (arg == "--erase-dots") o.EraseDots = ParseInt<int>(arg, value(), 0, 1000000);
            else if (arg == "--erase-silent") flag(o.EraseSilent);
            else if (arg == "--list-lines") o.ListLines = ParseInt<int>(arg, value(), 0, 10000000);
            else if (arg == "--stream-junk") o.StreamJunk = ParseInt<std::int64_t>(arg, value(), 0, 1LL << 30);
            else if (arg == "--chatter") o.Chatter = Unescape(value());
            else if (arg == "--reply") {
                auto [cmd, text] = SplitReply(value());
                (o.LateFromOpen ? o.LateReplies : o.Replies)[Unescape(cmd)] = Unescape(text);
            }
            else if (arg == "--no-reply") (o.LateFromOpen ? o.LateReplies : o.Replies)[CommandKey(Unescape(value()))] = std::nullopt;
            else if (arg == "--reply-raw") {
                auto [cmd, text] = SplitReply(value());
                o.RawReplies[Unescape(cmd)] = Unescape(text);
            }
            else if (arg == "--from-open") o.LateFromOpen = ParseInt<int>(arg, value(), 1, 1000000);
            else if (arg == "--hang-up-after") o.HangUpAfter = ParseInt<std::int64_t>(arg, value(), 0, INT64_MAX / 2);
            else if (arg == "--hang-up-after-command") o.HangUpAfterCommand.push_back(CommandKey(Unescape(value())));
            else if (arg == "--hang-up-after-lines") o.HangUpAfterLines = ParseInt<int>(arg, value(), 0, 10000000);
            else if (arg == "--hang-up-after-dots") o.HangUpAfterDots = ParseInt<int>(arg, value(), 0, 1000000);
            else if (arg == "--stall-after") o.StallAfter = ParseInt<std::int64_t>(arg, value(), 0, INT64_MAX / 2);
            else if (arg == "--line-rate") o.LineRate = ParseInt<std::int64_t>(arg, value(), 1, 1000000000);
            else if (arg == "--chaos") o.ChaosSeed = ParseInt<std::uint64_t>(arg, value(), 0, UINT64_MAX);
            else if (arg == "--exit-after-upload") flag(o.ExitAfterUpload);
            else if (arg == "--log") o.LogFile = value();
            else throw std::invalid_argument("unknown option \"" + arg + "\" (see --help)");
        }
        if (!o.WinePrefix.empty() && !wantsCom) throw std::invalid_argument("--wine-prefix needs --com N");
        if (o.WinePrefix.empty() && wantsCom) throw std::invalid_argument("--com needs --wine-prefix P");
        if (!o.WinePrefix.empty() && !o.DeviceMapDir.empty())
            throw std::invalid_argument("--device-map and --wine-prefix exclude each other");
    } catch (const std::invalid_argument& e) {
        message = e.what();
        return ParseOutcome::Error;
    }
    return ParseOutcome::Run;
}

std::string UsageText() {
    return R"(Usage: saber-sim [options]

Plays a saber sound board on a pseudo-terminal. The first line on standard
output is the terminal's path, printed once the port is serving and announced.
Stop it with SIGINT or SIGTERM. Texts accept the escapes \r \n \t \\ \xHH.

Announcing the port:
  --device-map DIR         write DIR/Device/USBSER<NNN> holding the port path
  --index N                the <NNN> above (default 0)
  --value TEXT             write TEXT as the device-map value instead
  --wine-prefix P --com N  link P/dosdevices/comN to the port and register
                           \Device\USBSER<NNN> = COMN in that prefix
  --tty PATH               serve this existing terminal (a USB gadget's
                           /dev/ttyGS0, say) instead of a pseudo-terminal

The board:
  --flash DIR              folder standing for the serial flash
                           (default: a fresh temporary folder, removed at exit)
  --version TEXT           reply "V=" TEXT to V? (default 2.05)
  --serial TEXT            reply "S=" TEXT to S? (default 0042-5117)
  --free N                 free flash bytes at start (default 16777216)
  --not-ready              answer WR? with a line other than the ready line
  --refuse-write           refuse every WR= command
  --crlf                   end every line with CR LF
  --banner TEXT            send this line after each open (repeatable)
  --silent                 never send anything
  --erase-seconds S        length of ERASE=ALL (default 2)
  --erase-dots N           progress dots during ERASE=ALL (default 10)
  --erase-silent           ERASE=ALL never finishes
  --list-lines N           answer LIST? with N made-up lines
  --stream-junk BYTES      answer V? with BYTES bytes and no line feed
  --chatter TEXT           be no saber: send TEXT every 250 ms while the port
                           is open (e.g. "23.5\r", no line feed) and answer nothing
  --reply CMD=TEXT         answer CMD with TEXT (empty: an empty line)
  --no-reply CMD           answer CMD with nothing at all
  --reply-raw CMD=BYTES    answer CMD with exactly BYTES (no line end added)
  --from-open N            the --reply/--no-reply after it apply from the Nth open on

Faults and pacing:
  --hang-up-after N        close the line after N bytes of an upload
  --hang-up-after-command CMD  close the line on receiving CMD
  --hang-up-after-lines N  close the line after N lines of a LIST? listing
  --hang-up-after-dots N   close the line after N progress dots of ERASE=ALL
  --stall-after N          stop taking in bytes after N bytes of an upload
  --line-rate BPS          take in at most BPS bytes per second
  --chaos SEED             give each session faults drawn from SEED (delayed,
                           cut or garbled replies, refusals, hang-ups, stalls,
                           slow reading); each is told as "chaos: <kind> ..."

Running:
  --exit-after-upload      exit once an upload was stored and the port closed
  --log FILE               write every byte received and sent to FILE
  -v, --verbose            tell more on standard error (twice: everything)
  -h, --help               this text

CMD is a command up to its first '=' (V?, WR?, FREE?, LIST?, WR, ERASE, ...).
)";
}

}  // namespace hp::sim
