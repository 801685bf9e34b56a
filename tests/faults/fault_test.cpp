// Fault injection: the real hiltpush against a board that hangs up, floods
// the line, answers with junk, a port that someone else holds, a file that
// breaks while it is sent, and a Ctrl+C at the closing key prompt.
//
// Every scenario checks what the user sees (the console lines and the exit
// status), that no wait lasted longer than the time-outs that apply, and,
// where the board is still there afterwards, that the port was really let go:
// it opens again at once, takes an exclusive lock, and is not left in
// exclusive mode.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using hp::e2e::Config;
using hp::e2e::TRunOptions;
using hp::e2e::TRunResult;
using hp::e2e::TWorld;

namespace {

// Where the helper binaries of this folder were built (next to this program).
std::string HelperPath(const std::string& Name)
{
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return Name;
    self[n] = '\0';
    return (fs::path(self).parent_path() / Name).string();
}

bool Sanitized()
{
    // The sanitizer tree's hiltpush carries shadow memory and a quarantine of
    // freed blocks: its peak memory says nothing about the program's.
    return std::getenv("ASAN_OPTIONS") != nullptr;
}

// Wall-time hang guards on top of the expected time: a loaded machine may
// start and wake the program late, and the Windows build pays for Wine's
// start-up on every run.
double Slack()
{
    return Config().Wine ? 9000 : 5000;
}

// The time a transfer of Bytes may take on top: a byte per write costs
// microseconds natively, and far more through Wine's serial emulation.
double TransferBudgetMs(double Bytes)
{
    return Bytes * (Config().Wine ? 0.5 : 0.01);
}

std::string Dump(const TRunResult& R)
{
    std::string text = "exit " + std::to_string(R.ExitStatus) + ", " + std::to_string(R.WallMs) + " ms\n";
    text += R.Out.size() > 4000 ? R.Out.substr(0, 2000) + "\n[...]\n" + R.Out.substr(R.Out.size() - 2000) : R.Out;
    return text + R.Err.substr(0, 2000);
}

bool HasLine(const TRunResult& R, const std::string& Text)
{
    const auto lines = R.Lines();
    return std::find(lines.begin(), lines.end(), Text) != lines.end();
}

// The port of a board that is still running was let go: it opens again, an
// exclusive lock is free, and the terminal is not left in exclusive mode
// (which would lock out every user but root).
void ExpectPortReleased(const std::string& PtyPath)
{
    const int fd = ::open(PtyPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0) << PtyPath << ": " << std::strerror(errno);
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << "the port is still locked: " << std::strerror(errno);
    int exclusive = 0;
    EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0) << std::strerror(errno);
    EXPECT_EQ(exclusive, 0) << "the port was left in exclusive mode";
    ::close(fd);
}

// Runs hiltpush through rss_probe and returns its peak resident memory in
// KiB (native build only; 0 when it could not be read).
long PeakKiB(const TWorld& W, const std::vector<std::string>& Args, TRunResult& R, int TimeLimitMs)
{
    const std::string out = W.Dir() + "/rss-" + std::to_string(::getpid()) + ".txt";
    TRunOptions options;
    options.Program = HelperPath("rss_probe");
    options.Env = {{"HP_RSS_TARGET", Config().Hiltpush}, {"HP_RSS_OUT", out}};
    options.TimeLimitMs = TimeLimitMs;
    R = W.Run(Args, options);
    const auto text = hp::e2e::ReadWholeFile(out);
    return text ? std::atol(text->c_str()) : 0;
}

long BaselineKiB(const TWorld& W)
{
    TRunResult r;
    return PeakKiB(W, {"-h", "-s"}, r, 10000);
}

// Bytes as the simulator's escapes (\xHH) for --reply.
std::string Escaped(const std::string& Bytes)
{
    std::string out;
    for (const unsigned char c : Bytes) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        out += hex;
    }
    return out;
}

// A fixed jumble of every byte value except the line feed (NUL, lone CRs and
// bytes of 0x80 and above included).
std::string Jumble()
{
    std::string bytes;
    std::uint32_t x = 0x2545F491;
    for (int i = 0; i < 300; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        const char c = static_cast<char>(x & 0xFF);
        if (c != '\n')
            bytes.push_back(c);
    }
    for (int c = 0; c < 256; ++c) {
        if (c != '\n')
            bytes.push_back(static_cast<char>(c));
    }
    return bytes;
}

TRunOptions Limit(int TimeLimitMs)
{
    TRunOptions options;
    options.TimeLimitMs = TimeLimitMs;
    return options;
}

std::string LineEnd()
{
    return Config().Wine ? "\r\n" : "\n";
}

} // namespace

// ---------------------------------------------------------------------------
// The board hangs up.

TEST(FaultHangUp, DuringVerification)
{
    TWorld W;
    auto& sim = W.StartSim(0, {"--hang-up-after-command", "S?"});
    const std::string port = W.PortNameOf(sim);
    W.WriteFile("song.wav", hp::e2e::PatternBytes(1000));
    const TRunResult r = W.Run({"-s", "song.wav"}, Limit(30000));
    sim.Stop();

    EXPECT_EQ(r.ExitStatus, 2) << Dump(r);
    EXPECT_TRUE(HasLine(r, "S? response: ")) << Dump(r);
    EXPECT_TRUE(HasLine(r, "Port " + port + " not a writable Ilvara Saber")) << Dump(r);
    EXPECT_TRUE(HasLine(r, "No Writable Ilvara Sabers Found.")) << Dump(r);
    // The line went dead after "S?": the next question is never asked.
    EXPECT_EQ(sim.Received().find("WR?"), std::string::npos);
    // Drain (50 ms) and the serial-number question (1500 ms) at most.
    EXPECT_LT(r.WallMs, 1550 + Slack()) << Dump(r);
}

TEST(FaultHangUp, DuringListing)
{
    TWorld W;
    auto& sim = W.StartSim(0, {"--list-lines", "1000", "--hang-up-after-lines", "50"});
    const TRunResult r = W.Run({"-s", "-l"}, Limit(30000));
    sim.Stop();

    EXPECT_EQ(r.ExitStatus, 0) << Dump(r);
    const auto lines = r.Lines();
    const auto first = std::find(lines.begin(), lines.end(), "FILE00001.WAV,1001");
    // A line that dies takes with it what the host had not read yet (on a
    // pseudo-terminal and under Wine alike): how many of the 50 lines made
    // it depends on the scheduling. Those shown come whole and in order, and
    // nothing after the 50th.
    const int shown = static_cast<int>(std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("FILE", 0) == 0;
    }));
    EXPECT_LE(shown, 50) << Dump(r);
    for (int n = 1; n <= shown; ++n) {
        char want[32];
        std::snprintf(want, sizeof want, "FILE%05d.WAV,%d", n, 1000 + n);
        ASSERT_NE(first, lines.end()) << Dump(r);
        ASSERT_LT(first + (n - 1), lines.end()) << Dump(r);
        EXPECT_EQ(*(first + (n - 1)), want);
    }
    EXPECT_FALSE(HasLine(r, "FILE00051.WAV,1051"));
    // The listing ends at the first silence of 500 ms.
    EXPECT_LT(r.WallMs, 50 + 500 + Slack()) << Dump(r);
}

TEST(FaultHangUp, DuringEraseProgress)
{
    TWorld W;
    auto& sim = W.StartSim(0, {"--erase-seconds", "1", "--hang-up-after-dots", "3"});
    const TRunResult r = W.Run({"-s", "-erase-all"}, Limit(90000));
    sim.Stop();

    EXPECT_EQ(r.ExitStatus, 2) << Dump(r);
    EXPECT_TRUE(HasLine(r, "OK, Erasing Serial Flash")) << Dump(r);
    // The dots that made it across before the line died (any of them may be
    // lost with it on a loaded machine), then the time-out report on the same line.
    const auto lines = r.Lines();
    const std::regex report("\\.{0,3}ERROR, Communication Timed out\\.\\.\\.");
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [&](const std::string& l) { return std::regex_match(l, report); }))
        << Dump(r);
    // The erase gives the board 30 s of silence in all, then two closing
    // replies of 500 ms each; a dead line must not make it wait longer (a
    // receive that fails at once only shortens it).
    EXPECT_LT(r.WallMs, 31000 + 1000 + Slack()) << Dump(r);
    EXPECT_LT(r.CpuMs, Config().Wine ? 10000 : 2000) << "the waits must not spin";
}

TEST(FaultHangUp, DuringUploadData)
{
    TWorld W;
    auto& sim = W.StartSim(0, {"--hang-up-after", "20000"});
    W.WriteFile("song.wav", hp::e2e::PatternBytes(60000));
    const TRunResult r = W.Run({"-s", "song.wav"}, Limit(60000));
    sim.Stop();

    EXPECT_EQ(r.ExitStatus, 2) << Dump(r);
    const auto lines = r.Lines();
    const std::regex stopped("ERROR, Upload stopped after ([0-9]+) of 60000 bytes: .+");
    std::smatch m;
    const auto it = std::find_if(lines.begin(), lines.end(),
                                 [&](const std::string& l) { return std::regex_match(l, m, stopped); });
    ASSERT_NE(it, lines.end()) << Dump(r);
    std::regex_match(*it, m, stopped);
    const long sent = std::stol(m[1]);
    // Bytes still in the terminal's buffer when the line died count as sent.
    EXPECT_GE(sent, 20000);
    EXPECT_LT(sent, 60000);
    // Nothing is read or printed after the report.
    EXPECT_EQ(it + 1, lines.end()) << Dump(r);
    EXPECT_FALSE(sim.FlashFile("song.wav").has_value()) << "a broken upload must not be stored";
    EXPECT_LT(r.WallMs, 1000 + Slack() + TransferBudgetMs(60000)) << Dump(r);
}

// ---------------------------------------------------------------------------
// The port is held by another process.

TEST(FaultBusyPort, HeldPortFailsAtOnceAndTheNextIsTried)
{
    if (Config().Wine)
        GTEST_SKIP() << "a Linux process's lock does not bind Wine's own port sharing";
    TWorld W;
    auto& held = W.StartSim(0);
    auto& ready = W.StartSim(1);
    const int holder = ::open(held.PtyPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    termios before{};
    ASSERT_EQ(::tcgetattr(holder, &before), 0);

    const TRunResult r = W.Run({"-s", "-i"}, Limit(30000));

    termios after{};
    ASSERT_EQ(::tcgetattr(holder, &after), 0);
    ::close(holder);
    ExpectPortReleased(ready.PtyPath());
    held.Stop();
    ready.Stop();

    EXPECT_EQ(r.ExitStatus, 0) << Dump(r);
    const hp::e2e::TOutLine* testing = r.FindLine("Testing Port: " + held.PtyPath());
    const hp::e2e::TOutLine* failed = r.FindLine("V? response: ");
    ASSERT_NE(testing, nullptr) << Dump(r);
    ASSERT_NE(failed, nullptr) << Dump(r);
    // Waiting at all would cost at least the version reply's 1.5 s.
    EXPECT_LT(failed->AtMs - testing->AtMs, 1500) << "a busy port must fail at once";
    EXPECT_TRUE(HasLine(r, "Port " + held.PtyPath() + " not a writable Ilvara Saber")) << Dump(r);
    EXPECT_TRUE(HasLine(r, "Port " + ready.PtyPath() + " is a writable Ilvara Saber.")) << Dump(r);
    EXPECT_TRUE(HasLine(r, "S=0042-5117")) << Dump(r);
    // Nothing reached the held port, and its settings were not touched.
    EXPECT_EQ(held.Received(), "");
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "the held port's settings changed";
}

// ---------------------------------------------------------------------------
// The board answers with junk.

// Every byte comes through, in order; the ones a terminal would obey (the
// controls but TAB, and DEL) as \xHH text.
TEST(FaultJunk, RandomBytesAreShownWholeAndAsText)
{
    const auto shown = [](const std::string& Bytes) {
        std::string text;
        for (const unsigned char c : Bytes) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += (c < 0x20 && c != '\t') || c == 0x7F ? std::string(hex) : std::string(1, static_cast<char>(c));
        }
        return text;
    };
    TWorld W;
    const std::string jumble = Jumble();
    // The serial-number answer keeps its "S=" so that the board still passes
    // the verification; everything after it is junk.
    auto& sim = W.StartSim(0, {"--reply", "S?=S=" + Escaped(jumble), "--reply", "V?=V=2.\\x80\\x00\\r9\\xff"});
    const TRunResult r = W.Run({"-s", "-i"}, Limit(30000));
    ExpectPortReleased(sim.PtyPath());
    sim.Stop();

    EXPECT_EQ(r.ExitStatus, 0) << Dump(r);
    EXPECT_NE(r.Out.find(LineEnd() + "V=2.\x80\\x00\\x0D9\xff" + LineEnd()), std::string::npos) << Dump(r);
    EXPECT_NE(r.Out.find(LineEnd() + "S=" + shown(jumble) + LineEnd()), std::string::npos) << Dump(r);
}

TEST(FaultJunk, JunkVersionAnswerFailsTheVerification)
{
    TWorld W;
    auto& sim = W.StartSim(0, {"--reply", "V?=\\x00\\x80\\r\\r"});
    W.WriteFile("song.wav", "abc");
    const TRunResult r = W.Run({"-s", "song.wav"}, Limit(30000));
    ExpectPortReleased(sim.PtyPath());
    sim.Stop();

    EXPECT_EQ(r.ExitStatus, 2) << Dump(r);
    EXPECT_NE(r.Out.find("V? response: \\x00\x80\\x0D\r" + LineEnd()), std::string::npos) << Dump(r);
    EXPECT_TRUE(HasLine(r, "No Writable Ilvara Sabers Found.")) << Dump(r);
    EXPECT_EQ(sim.Received().find("S?"), std::string::npos);
}

TEST(FaultJunk, TenMiBLineWithoutLineFeedIsBounded)
{
    TWorld W;
    auto& sim = W.StartSim(0, {"--stream-junk", std::to_string(10 * 1024 * 1024)});
    TRunResult r;
    long peak = 0, baseline = 0;
    if (Config().Wine) {
        r = W.Run({"-s", "-i"}, Limit(60000));
    } else {
        baseline = BaselineKiB(W);
        peak = PeakKiB(W, {"-s", "-i"}, r, 60000);
    }
    const std::string ptyPath = sim.PtyPath();

    EXPECT_EQ(r.ExitStatus, 2) << Dump(r);
    // The version answer is cut off at the bound and not taken as an answer.
    EXPECT_TRUE(HasLine(r, "V? response: ")) << Dump(r);
    EXPECT_TRUE(HasLine(r, "No Writable Ilvara Sabers Found.")) << Dump(r);
    EXPECT_LT(r.WallMs, 1550 + Slack()) << Dump(r);
    if (!Config().Wine && !Sanitized()) {
        ASSERT_GT(peak, 0);
        // A line read holds at most 1 MiB; a read that kept all 10 MiB would
        // grow by far more than this.
        EXPECT_LT(peak - baseline, 6 * 1024) << "peak " << peak << " KiB, baseline " << baseline << " KiB";
    }
    ExpectPortReleased(ptyPath);
    sim.Stop();
}

TEST(FaultJunk, HundredThousandLineListingIsShownWholeInFlatMemory)
{
    // The simulator makes up its whole listing before it sends the first
    // line; built with the sanitizers, it needs a good part of the 500 ms
    // that hiltpush waits for that line to do so for 100,000 lines.
    const int Count = Sanitized() ? 20000 : 100000;
    TWorld W;
    auto& sim = W.StartSim(0, {"--list-lines", std::to_string(Count)});
    TRunResult r;
    long peak = 0, baseline = 0;
    if (Config().Wine) {
        r = W.Run({"-s", "-l"}, Limit(240000));
    } else {
        baseline = BaselineKiB(W);
        peak = PeakKiB(W, {"-s", "-l"}, r, 120000);
    }
    const std::string ptyPath = sim.PtyPath();

    EXPECT_EQ(r.ExitStatus, 0) << Dump(r).substr(0, 3000);
    const auto lines = r.Lines();
    const auto first = std::find(lines.begin(), lines.end(), "FILE00001.WAV,1001");
    ASSERT_NE(first, lines.end()) << Dump(r);
    ASSERT_GE(lines.end() - first, Count);
    int wrong = 0;
    for (int n = 1; n <= Count; ++n) {
        char want[32];
        std::snprintf(want, sizeof want, "FILE%05d.WAV,%d", n, 1000 + n);
        if (*(first + (n - 1)) != want && ++wrong <= 5)
            ADD_FAILURE() << "line " << n << ": " << *(first + (n - 1));
    }
    EXPECT_EQ(wrong, 0);
    if (!Config().Wine && !Sanitized()) {
        ASSERT_GT(peak, 0);
        // The listing is about 2 MiB of text; shown line by line it never
        // needs to be held.
        EXPECT_LT(peak - baseline, 1024) << "peak " << peak << " KiB, baseline " << baseline << " KiB";
    }
    ExpectPortReleased(ptyPath);
    sim.Stop();
}

// ---------------------------------------------------------------------------
// The file breaks while it is sent.

namespace {

constexpr std::size_t FaultFileSize = 128 * 1024;
constexpr std::size_t FaultOffset = 64 * 1024;
const std::string WriteCommand = "WR=song.wav," + std::to_string(FaultFileSize) + "\n";

struct TFileFault {
    TRunResult Run;
    std::string PtyPath;
    std::string Received;
    bool Stored = false;
};

// Uploads a 128 KiB file whose reads at or past byte 65536 meet the fault:
// the file shrinks to 65536 bytes, or the read fails with an I/O error. The
// first block of the file is sent before the second read meets it. Files
// other than song.wav hold their own names.
TFileFault UploadWithFileFault(const std::string& Mode, const std::vector<std::string>& Files = {"song.wav"})
{
    TWorld W;
    auto& sim = W.StartSim(0);
    const std::string path = W.WriteFile("song.wav", hp::e2e::PatternBytes(FaultFileSize));
    std::vector<std::string> args{"-s"};
    for (const std::string& name : Files) {
        if (name != "song.wav")
            W.WriteFile(name, name);
        args.push_back(name);
    }
    std::string preload = HelperPath("libhp_file_fault.so");
    if (const char* existing = std::getenv("LD_PRELOAD"); existing && *existing)
        preload = std::string(existing) + ":" + preload;
    TRunOptions options;
    options.Env = {{"LD_PRELOAD", preload},
                   {"HP_FAULT_FILE", path},
                   {"HP_FAULT_MODE", Mode},
                   {"HP_FAULT_AFTER", std::to_string(FaultOffset)}};
    // A sanitized program wants its runtime first among the preloads; the
    // shim only wraps reads and does not mind.
    if (const char* asan = std::getenv("ASAN_OPTIONS"))
        options.Env["ASAN_OPTIONS"] = std::string(asan) + ":verify_asan_link_order=0";
    options.TimeLimitMs = 60000;
    TFileFault f;
    f.Run = W.Run(args, options);
    f.PtyPath = sim.PtyPath();
    ExpectPortReleased(f.PtyPath);
    sim.Stop();
    f.Received = sim.Received();
    f.Stored = sim.FlashFile("song.wav").has_value();
    return f;
}

void ExpectIoErrorReport(const TFileFault& F)
{
    const TRunResult& r = F.Run;
    EXPECT_EQ(r.ExitStatus, 2) << Dump(r);
    // The stray-exception report names the input/output error.
    EXPECT_NE(r.Out.find("EInOutError"), std::string::npos) << Dump(r);
    EXPECT_EQ(r.Out.find("==PRESS ANY KEY"), std::string::npos);
    EXPECT_FALSE(F.Stored) << "a broken upload must not be stored";
    // The data stopped short of the announced size.
    const std::size_t command = F.Received.find(WriteCommand);
    ASSERT_NE(command, std::string::npos);
    EXPECT_LT(F.Received.size() - command - WriteCommand.size(), FaultFileSize);
    EXPECT_LT(r.WallMs, 1000 + Slack() + TransferBudgetMs(FaultOffset)) << Dump(r);
}

} // namespace

TEST(FaultFile, ShrinksWhileSent)
{
    const TFileFault f = UploadWithFileFault("shrink");
    ExpectIoErrorReport(f);
    // Nothing from beyond the new end of the file went out. (The board may
    // see fewer bytes than were written: closing the port discards what is
    // still on its way.)
    const std::size_t command = f.Received.find(WriteCommand);
    if (command != std::string::npos) {
        EXPECT_LE(f.Received.size() - command - WriteCommand.size(), FaultOffset);
    }
}

// In a run of several the broken file ends the run as any file that does
// not complete: its report (after the progress text, as in a run of one),
// then how far the run got; later files are not tried.
TEST(FaultFile, BecomesUnreadableWhileSent)
{
    const TFileFault f = UploadWithFileFault("eio", {"first.wav", "song.wav", "later.wav"});
    ExpectIoErrorReport(f);
    if (!Config().Wine) {
        EXPECT_NE(f.Run.Out.find(std::strerror(EIO)), std::string::npos) << Dump(f.Run);
    }
    const auto lines = f.Run.Lines();
    ASSERT_GE(lines.size(), 3u) << Dump(f.Run);
    EXPECT_EQ(lines.back(), "Uploaded 1 of 3 files.") << Dump(f.Run);
    EXPECT_NE(lines[lines.size() - 3].find("Exception at "), std::string::npos) << Dump(f.Run);
    EXPECT_EQ(f.Received.find("WR=later.wav"), std::string::npos);
}
