// The upload, end to end: what the user sees, what the board receives and
// what it stores, against the real binary and saber-sim.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <filesystem>
#include <fstream>

namespace hp::e2e {
namespace {

namespace fs = std::filesystem;

const std::string Verification = "V?\nS?\nWR?\n";
const std::string Queries = "V?\nS?\nWR?\n";
const std::string Blank = "\r" + std::string(50, ' ') + "\r";
const std::string Finish = "==PRESS ANY KEY TO FINISH==";

// The lines from the first one equal to Marker on.
std::vector<std::string> From(const TRunResult& R, const std::string& Marker)
{
    const auto lines = R.Lines();
    const auto it = std::find(lines.begin(), lines.end(), Marker);
    return it == lines.end() ? std::vector<std::string>{} : std::vector<std::string>(it, lines.end());
}

int Count(const std::vector<std::string>& Lines, const std::string& Text)
{
    return static_cast<int>(std::count(Lines.begin(), Lines.end(), Text));
}

// Checks the progress texts written before the blanking: one per remaining
// count that is 1 more than a multiple of 512, each ending in CR, with a
// time estimate H:MM:SS exactly when the count is 1 more than a multiple of
// 4096.
void ExpectProgress(const std::string& Progress, std::int64_t Size)
{
    std::vector<std::string> expected;
    for (std::int64_t ctr = Size - 1; ctr >= 0; --ctr) {
        if ((ctr & 511) != 1)
            continue;
        std::string text = "Remaining, Bytes: " + std::to_string(ctr) + ", ";
        if ((ctr & 4095) == 1)
            text += "Time ?:??:??  ";
        expected.push_back(text + "\r");
    }
    std::vector<std::string> got;
    std::size_t start = 0;
    while (start < Progress.size()) {
        const std::size_t cr = Progress.find('\r', start);
        if (cr == std::string::npos) {
            got.push_back(Progress.substr(start));
            break;
        }
        std::string piece = Progress.substr(start, cr + 1 - start);
        // Mask the digits of the estimate, whose value depends on the pace.
        const std::size_t time = piece.find("Time ");
        if (time != std::string::npos) {
            std::string masked = piece.substr(0, time + 5);
            const std::string clock = piece.substr(time + 5, piece.size() - 3 - (time + 5));
            const std::size_t colon1 = clock.find(':');
            bool wellFormed = colon1 != std::string::npos && colon1 >= 1 && clock.size() == colon1 + 6 &&
                              clock[colon1 + 3] == ':';
            for (std::size_t i = 0; i < clock.size() && wellFormed; ++i)
                wellFormed = (i == colon1 || i == colon1 + 3) ? clock[i] == ':' : std::isdigit(
                                 static_cast<unsigned char>(clock[i])) != 0;
            if (wellFormed && clock[colon1 + 1] <= '5' && clock[colon1 + 4] <= '5')
                masked += "?:??:??";
            else
                masked += clock;
            masked += piece.substr(piece.size() - 3);
            piece = masked;
        }
        got.push_back(piece);
        start = cr + 1;
    }
    EXPECT_EQ(got, expected);
}

struct TUploadCase {
    std::string Name;
    std::string Bytes;
};

// The whole console picture and the board's side of a successful upload.
void ExpectCleanUpload(const TUploadCase& Case)
{
    SCOPED_TRACE(Case.Name + " (" + std::to_string(Case.Bytes.size()) + " bytes)");
    TWorld w;
    auto& sim = w.StartSim(0, {"--version", "2.05", "--serial", "0042-5117", "--free", "900000"});
    w.WriteFile("sounds/" + Case.Name, Case.Bytes);
    const std::string arg = "sounds/" + Case.Name;
    TRunOptions options;
    // Wine's serial emulation takes from 50 us to over a millisecond per
    // one-byte write, depending on how busy the machine is.
    options.TimeLimitMs = 60000 + static_cast<int>(Case.Bytes.size() / (Config().Wine ? 1 : 20));
    const auto r = w.Run({"-s", arg}, options);
    sim.Stop();
    const std::string port = w.PortNameOf(sim);
    const std::string size = std::to_string(Case.Bytes.size());

    const std::vector<std::string> head{
        "Querying Saber",
        "--------------",
        "V=2.05",
        "S=0042-5117",
        "OK, Write Ready",
        "Saber Ready to Write to Serial Flash",
        "",
        "Sending: " + arg + " to " + port,
        "as Serial Flash Name: " + Case.Name,
        "Space on Saber: 900000",
        "Filesize: " + size,
    };
    const auto lines = From(r, "Querying Saber");
    ASSERT_GE(lines.size(), head.size() + 3) << r.Out;
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + static_cast<long>(head.size())), head);
    // One file: nothing of a run of several around the upload.
    const auto all = r.Lines();
    EXPECT_EQ(all[all.size() - lines.size() - 1], "Port " + port + " is a writable Ilvara Saber.");
    EXPECT_EQ(lines.size(), head.size() + 3) << r.Out;
    // The board's answer to the write command, then the progress rewritten
    // in place and blanked, then the closing reply.
    const std::string accept = lines[head.size()];
    EXPECT_EQ(accept.rfind("OK, Write ", 0), 0u) << accept;
    const std::string progressLine = lines[head.size() + 1];
    ASSERT_GE(progressLine.size(), Blank.size());
    EXPECT_EQ(progressLine.substr(progressLine.size() - Blank.size()), Blank);
    ExpectProgress(progressLine.substr(0, progressLine.size() - Blank.size()),
                   static_cast<std::int64_t>(Case.Bytes.size()));
    EXPECT_FALSE(lines[head.size() + 2].empty()) << "the closing reply";
    EXPECT_EQ(r.ExitStatus, 0) << r.Out;
    EXPECT_EQ(r.Err, "") << "a run that finds its board has nothing to say on standard error";

    // The board got the verification, the upload's queries, the write
    // command naming the file without its folder, and exactly the file.
    const std::string command = "WR=" + Case.Name + "," + size + "\n";
    EXPECT_EQ(sim.Received(), Verification + Queries + "FREE?\n" + command + Case.Bytes);
    const auto stored = sim.FlashFile(Case.Name);
    ASSERT_TRUE(stored.has_value());
    EXPECT_TRUE(*stored == Case.Bytes) << "the stored copy differs from the file";
}

TEST(Upload, EmptyFile) { ExpectCleanUpload({"empty.raw", ""}); }

TEST(Upload, OneByteFile) { ExpectCleanUpload({"one.raw", "\n"}); }

TEST(Upload, EveryByteValueInSeveralHundredKiB) { ExpectCleanUpload({"pattern.bin", PatternBytes(300 * 1024 + 77)}); }

TEST(Upload, TheDemoWav)
{
    std::string wav;
    for (const auto& e : fs::directory_iterator(HP_E2E_ASSETS_DIR))
        if (e.path().extension() == ".wav")
            wav = e.path().string();
    ASSERT_FALSE(wav.empty()) << "no WAV under " << HP_E2E_ASSETS_DIR;
    ExpectCleanUpload({fs::path(wav).filename().string(), ReadWholeFile(wav).value()});
}

// Found next to the program, and sent from there, also among several files.
TEST(Upload, FileFoundNextToTheExecutable)
{
    TWorld w;
    auto& sim = w.StartSim(0, {});
    const std::string exe = fs::path(Config().Hiltpush).filename().string();
    const fs::path bin = fs::path(w.Dir()) / "bin";
    fs::create_directories(bin);
    fs::copy_file(Config().Hiltpush, bin / exe);
    w.WriteFile("bin/beside.wav", "beside");
    w.WriteFile("here.wav", "here");
    TRunOptions o;
    o.Program = (bin / exe).string();
    const auto r = w.Run({"-s", "beside.wav", "here.wav"}, o);
    sim.Stop();
    std::string expected;
    if (Config().Wine) {
        // The Windows build names its folder in its own form; what matters is
        // that the joined path is shown and the bare name is sent.
        const TOutLine* sending = nullptr;
        for (const auto& l : r.Timed)
            if (!sending && l.Text.rfind("Sending: ", 0) == 0)
                sending = &l;
        ASSERT_NE(sending, nullptr) << r.Out;
        EXPECT_NE(sending->Text.find("bin\\beside.wav to "), std::string::npos) << sending->Text;
    } else {
        const std::string joined = fs::canonical(bin).string() + "/beside.wav";
        EXPECT_NE(r.FindLine("Sending: " + joined + " to " + w.PortNameOf(sim)), nullptr) << r.Out;
    }
    EXPECT_NE(r.FindLine("as Serial Flash Name: beside.wav"), nullptr) << r.Out;
    EXPECT_EQ(sim.FlashFile("beside.wav").value_or(""), "beside");
    EXPECT_EQ(sim.FlashFile("here.wav").value_or(""), "here");
    EXPECT_EQ(r.ExitStatus, 0) << r.Out;
}

// Without a file the last parameter is taken for one, unless it is the
// port or trace option of a shortcut opened without files dropped onto it.
TEST(Upload, MissingFileOpensNoPort)
{
    const std::string noFile =
        "ERROR, No file to upload: drop files or a folder onto hiltpush, or name them after the options.";
    for (const std::vector<std::string>& args : {std::vector<std::string>{"absent.wav"}, {""}, {"-x", "--trace=t.txt"},
                                                {"--trace=t.txt"}, {"-p", "PORT", "--trace"}}) {
        SCOPED_TRACE(args.front());
        // Wine hands an empty argument over as "", which the Windows command
        // line rule drops altogether.
        if (args.front().empty() && Config().Wine)
            continue;
        TWorld w;
        auto& sim = w.StartSim(0, {});
        // Not silent: "-s" would be the last parameter. The key wait
        // returns at once without a console.
        std::vector<std::string> argv;
        for (const std::string& a : args)
            argv.push_back(a == "PORT" ? w.PortNameOf(sim) : a);
        const auto r = w.Run(argv);
        sim.Stop();
        auto lines = From(r, "Port " + w.PortNameOf(sim) + " is a writable Ilvara Saber.");
        lines.resize(std::min<std::size_t>(lines.size(), 3));
        const std::string& file = args.front();
        const std::vector<std::string> expected{"Port " + w.PortNameOf(sim) + " is a writable Ilvara Saber.", "",
                                                file.empty() || file[0] != '-' || file == "-x"
                                                    ? "File " + file + " not found."
                                                    : noFile};
        EXPECT_EQ(lines, expected) << r.Out;
        EXPECT_EQ(r.ExitStatus, 2);
        EXPECT_EQ(sim.Received(), Verification);
        EXPECT_EQ(sim.Opens(), 1);
    }
}

// "V=1." passes the verification but is too old to write; a ready reply
// with a CR before its line feed is not the ready reply.
TEST(Upload, NotReadyBoardsAreRefusedBeforeTheFileIsOpened)
{
    struct TCase {
        std::vector<std::string> Switches;
        std::vector<std::string> Shown;
    };
    const std::vector<TCase> cases{
        {{"--version", "1."}, {"V=1.", "S=0042-5117"}},
        {{"--crlf"}, {"V=2.05\r", "S=0042-5117\r"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Switches[0]);
        TWorld w;
        auto& sim = w.StartSim(0, c.Switches);
        w.WriteFile("song.wav", "abc");
        const auto r = w.Run({"-s", "song.wav"});
        sim.Stop();
        std::vector<std::string> expected{"Querying Saber", "--------------"};
        // A CR of the board's stays in the line as shown.
        expected.insert(expected.end(), c.Shown.begin(), c.Shown.end());
        expected.push_back("Saber Not Ready to Write File, aborting.");
        const auto lines = From(r, "Querying Saber");
        ASSERT_GE(lines.size(), expected.size()) << r.Out;
        EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + static_cast<long>(expected.size())),
                  expected);
        EXPECT_EQ(r.ExitStatus, 2);
        EXPECT_EQ(sim.Received(), Verification + Queries);
    }
}

// A "FREE=" reply whose number is missing or spoilt by a CR: the one-line
// exception report (the CR shown as text), status 2, and the port closed on
// the way out.
TEST(Upload, UnreadableFreeSpaceEndsWithTheConversionReport)
{
    for (const std::string reply : {"FREE=", "FREE=\\r"}) {
        SCOPED_TRACE(reply);
        TWorld w;
        auto& sim = w.StartSim(0, {"--reply", "FREE?=" + reply});
        w.WriteFile("song.wav", "abc");
        const auto r = w.Run({"song.wav"});
        sim.Stop();
        const std::string bad = reply == "FREE=" ? "" : "\\x0D";
        const auto at = r.Out.find("EConvertError:");
        ASSERT_NE(at, std::string::npos) << r.Out;
        EXPECT_NE(r.Out.find("\"" + bad + "\" is an invalid integer.", at), std::string::npos) << r.Out;
        EXPECT_EQ(r.Out.find("Sending: "), std::string::npos);
        EXPECT_EQ(r.Out.find(Finish), std::string::npos);
        EXPECT_EQ(r.ExitStatus, 2);
        EXPECT_EQ(sim.Received(), Verification + Queries + "FREE?\n");
        EXPECT_EQ(sim.Closes(), 2) << "the upload's port was left open";
    }
}

TEST(Upload, InsufficientSpaceReportsAndSendsNothingMore)
{
    TWorld w;
    auto& sim = w.StartSim(0, {"--free", "99"});
    w.WriteFile("big.raw", std::string(100, 'x'));
    // Not silent: the one finish prompt must come from the run, not the upload.
    const auto r = w.Run({"big.raw"});
    sim.Stop();
    const std::vector<std::string> expected{
        "Saber Ready to Write to Serial Flash",
        "",
        "Space on Saber: 99",
        "Filesize: 100",
        "",
        "ERROR.",
        "Insufficient Space on saber, ERASE-ALL and re-upload all files.",
        "",
    };
    const auto lines = From(r, "Saber Ready to Write to Serial Flash");
    ASSERT_GE(lines.size(), expected.size()) << r.Out;
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + static_cast<long>(expected.size())), expected)
        << r.Out;
    EXPECT_EQ(Count(r.Lines(), Finish), 1) << r.Out;
    EXPECT_EQ(r.ExitStatus, 1);
    EXPECT_EQ(sim.Received(), Verification + Queries + "FREE?\n");
    EXPECT_TRUE(sim.FlashNames().empty());
}

// The board was promised the size announced in the write command: a file
// that shrinks meanwhile ends the run with the input/output error report,
// and one that grows sends no byte beyond the announced size. The file is
// changed as soon as the board's acceptance is shown, long before the
// second block of the file is read: the native board takes the data in
// slowly, and the Windows build under Wine sends slowly itself.
TEST(Upload, FileChangingDuringTheTransfer)
{
    const std::string original = PatternBytes(160 * 1024);
    const std::vector<std::string> slow =
        Config().Wine ? std::vector<std::string>{} : std::vector<std::string>{"--line-rate", "100000"};
    {
        TWorld w;
        auto& sim = w.StartSim(0, slow);
        const std::string path = w.WriteFile("shrink.bin", original);
        TRunOptions o;
        o.OnLine = [&](const std::string& Line) {
            if (Line == "OK, Write shrink.bin")
                fs::resize_file(path, 1000);
        };
        const auto r = w.Run({"-s", "shrink.bin"}, o);
        sim.Stop();
        EXPECT_NE(r.Out.find("EInOutError"), std::string::npos) << r.Out;
        EXPECT_EQ(r.ExitStatus, 2);
        EXPECT_LT(sim.Received().size(), (Verification + Queries).size() * 2 + original.size());
        EXPECT_TRUE(sim.FlashNames().empty());
    }
    {
        TWorld w;
        auto& sim = w.StartSim(0, slow);
        const std::string path = w.WriteFile("grow.bin", original);
        TRunOptions o;
        o.OnLine = [&](const std::string& Line) {
            if (Line == "OK, Write grow.bin") {
                std::ofstream out(path, std::ios::binary | std::ios::app);
                out << "these bytes were never announced";
            }
        };
        const auto r = w.Run({"-s", "grow.bin"}, o);
        sim.Stop();
        EXPECT_EQ(r.ExitStatus, 0) << r.Out;
        const std::string command = "WR=grow.bin," + std::to_string(original.size()) + "\n";
        EXPECT_TRUE(sim.Received() == Verification + Queries + "FREE?\n" + command + original);
        EXPECT_TRUE(sim.FlashFile("grow.bin").value_or("") == original);
    }
}

// A file beyond 4 GiB (sparse, so it costs no disk) is announced and
// compared with its whole size: its low 32 bits alone (100) would fit.
TEST(Upload, SizesBeyond32BitsAreComparedWhole)
{
    TWorld w;
    auto& sim = w.StartSim(0, {"--free", "1000"});
    const std::string path = w.WriteFile("huge.raw", "");
    fs::resize_file(path, (std::uintmax_t{1} << 32) + 100);
    const auto r = w.Run({"-s", "huge.raw"});
    sim.Stop();
    const std::vector<std::string> expected{
        "Space on Saber: 1000", "Filesize: 4294967396", "", "ERROR.",
        "Insufficient Space on saber, ERASE-ALL and re-upload all files.", ""};
    EXPECT_EQ(From(r, "Space on Saber: 1000"), expected) << r.Out;
    EXPECT_EQ(r.ExitStatus, 1);
    EXPECT_EQ(sim.Received(), Verification + Queries + "FREE?\n");
}

// Equal sizes pass; a board reporting 0 bytes free with an empty file gets
// no "Space on Saber" line; replies that do not begin with "FREE=" skip the check.
TEST(Upload, FreeSpaceBoundaries)
{
    struct TCase {
        std::vector<std::string> Switches;
        std::size_t Size;
        bool SpaceLine;
    };
    for (const TCase& c : {TCase{{"--free", "100"}, 100, true}, TCase{{"--free", "0"}, 0, false},
                           TCase{{"--reply", "FREE?=free=1"}, 100, false},
                           TCase{{"--reply", "FREE?=FREE 1"}, 100, false}}) {
        SCOPED_TRACE(c.Switches[1]);
        TWorld w;
        auto& sim = w.StartSim(0, c.Switches);
        w.WriteFile("f.raw", std::string(c.Size, 'y'));
        const auto r = w.Run({"-s", "f.raw"});
        sim.Stop();
        EXPECT_EQ(r.ExitStatus, 0) << r.Out;
        EXPECT_EQ(r.Out.find("Space on Saber: ") != std::string::npos, c.SpaceLine) << r.Out;
        EXPECT_EQ(sim.FlashFile("f.raw").value_or("<none>"), std::string(c.Size, 'y'));
    }
}

TEST(Upload, RefusedWriteCommandSendsNoData)
{
    TWorld w;
    auto& sim = w.StartSim(0, {"--refuse-write"});
    w.WriteFile("song.wav", std::string(3000, 'z'));
    const auto r = w.Run({"-s", "song.wav"});
    sim.Stop();
    const auto lines = From(r, "Filesize: 3000");
    ASSERT_GE(lines.size(), 4u) << r.Out;
    EXPECT_EQ(lines[1].rfind("OK, Write ", 0), std::string::npos) << "the refusal is shown as received";
    EXPECT_EQ(lines[2], Blank) << "no progress before the blanking";
    EXPECT_EQ(r.ExitStatus, 2);
    EXPECT_EQ(sim.Received(), Verification + Queries + "FREE?\nWR=song.wav,3000\n");
    EXPECT_TRUE(sim.FlashNames().empty());
}

// A board that goes away in the middle of the data: the transfer stops at
// the first byte that cannot be written, promptly and without spinning.
TEST(Upload, HangUpDuringTheDataStopsWithAnError)
{
    TWorld w;
    auto& sim = w.StartSim(0, {"--hang-up-after", "1000"});
    w.WriteFile("long.bin", PatternBytes(200000));
    const auto r = w.Run({"-s", "long.bin"});
    sim.Stop();
    const std::string prefix = "ERROR, Upload stopped after ";
    const auto lines = r.Lines();
    const auto it = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    ASSERT_NE(it, lines.end()) << r.Out;
    // "<sent> of 200000 bytes: <reason>"
    const std::string rest = it->substr(prefix.size());
    const long sent = std::stol(rest);
    EXPECT_GE(sent, 1000);
    EXPECT_LT(sent, 200000);
    const std::string tail = " of 200000 bytes: ";
    const std::size_t tailAt = rest.find(tail);
    ASSERT_NE(tailAt, std::string::npos) << *it;
    EXPECT_EQ(rest.substr(0, tailAt), std::to_string(sent));
    // The write's own failure, not an error left over from an earlier call.
    const std::string reason = rest.substr(tailAt + tail.size());
    if (Config().Wine)
        EXPECT_TRUE(!reason.empty() && reason != "OK") << *it;
    else
        EXPECT_EQ(reason, std::strerror(EIO)) << *it;
    // The blanking comes first, and no final reply is awaited after it.
    ASSERT_NE(it, lines.begin());
    EXPECT_EQ(it[-1].substr(it[-1].size() - Blank.size()), Blank);
    EXPECT_EQ(r.ExitStatus, 2);
    EXPECT_LT(r.WallMs, Config().Wine ? 15000 : 8000) << "hang guard";
    EXPECT_LT(r.CpuMs, Config().Wine ? 8000 : 2000);
}

// "hiltpush -s song.wav | head -n 3": the console goes away before the data
// is sent. Every later console write fails; the upload must still run to its
// end, close the port and report its own status.
TEST(Upload, ConsoleThatGoesAwayDoesNotCutTheUploadShort)
{
    TWorld w;
    auto& sim = w.StartSim(0, {});
    // Progress is written every 512 bytes: plenty of writes after the close.
    const std::string bytes = PatternBytes(24 * 1024 + 3);
    w.WriteFile("song.wav", bytes);
    TRunOptions o;
    o.CloseOutputAfter = "Filesize: ";
    o.TimeLimitMs = 120000;
    const auto r = w.Run({"-s", "song.wav"}, o);
    sim.Stop();
    ASSERT_NE(r.FindLine("Filesize: " + std::to_string(bytes.size())), nullptr) << r.Out;
    EXPECT_EQ(r.ExitStatus, 0) << "(-1: killed by a signal)\n" << r.Out;
    const auto stored = sim.FlashFile("song.wav");
    EXPECT_TRUE(stored && *stored == bytes) << "stored " << (stored ? stored->size() : 0) << " bytes";
    EXPECT_EQ(sim.Closes(), sim.Opens());
}

TEST(Upload, ControlByteInTheFlashNameIsRefusedBeforeAnyPortIsOpened)
{
    if (Config().Wine)
        GTEST_SKIP() << "Windows file names cannot hold control bytes";
    TWorld w;
    auto& sim = w.StartSim(0, {});
    w.WriteFile("bad\nname.wav", "abc");
    w.WriteFile("odd\x01" "dir/fine.wav", "def");
    const auto r = w.Run({"-s", "bad\nname.wav"});
    const auto r2 = w.Run({"-s", "odd\x01" "dir/fine.wav"});
    sim.Stop();
    const std::string chosen = "Port " + w.PortNameOf(sim) + " is a writable Ilvara Saber.";
    const std::vector<std::string> expected{chosen, "", "ERROR, Invalid Serial Flash Name: bad", "name.wav"};
    EXPECT_EQ(From(r, chosen), expected) << r.Out;
    EXPECT_EQ(r.ExitStatus, 2);
    // A control byte in the folder part does not travel to the board.
    EXPECT_EQ(r2.ExitStatus, 0) << r2.Out;
    EXPECT_EQ(sim.FlashFile("fine.wav").value_or(""), "def");
    EXPECT_EQ(sim.Received(), Verification + Verification + Queries + "FREE?\nWR=fine.wav,3\ndef");
}

} // namespace
} // namespace hp::e2e
