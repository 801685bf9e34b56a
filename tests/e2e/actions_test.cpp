// The actions other than the upload, end to end: the info and list queries,
// free text sent to the board, the sound lists, the flash erase, and which
// action a command line selects.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace hp::e2e {
namespace {

const std::string Verification = "V?\nS?\nWR?\n";
const std::string QueryingSaber = "Querying Saber";
const std::string Hyphens = "--------------";
const std::string DefaultVersion = "V=2.05";
const std::string DefaultSerial = "S=0042-5117";
const std::string SoundListWire = "sON?\nsOFF?\nsHUM?\nsSW?\nsCL?\nsSMA?\nsSMB?\n";
const std::string TimedOut = "ERROR, Communication Timed out...";
const std::string NotReady = "Saber Not Ready to Write File, aborting.";

using TLines = std::vector<std::string>;

// What the action printed: every line after the verdict that chose the port
// (the runs are silent, so no finish prompt follows).
TLines ActionLines(const TRunResult& R, const std::string& Port)
{
    const auto lines = R.Lines();
    const auto it = std::find(lines.begin(), lines.end(), "Port " + Port + " is a writable Ilvara Saber.");
    if (it == lines.end()) {
        ADD_FAILURE() << "no saber was chosen:\n" << R.Out;
        return {};
    }
    TLines out(it + 1, lines.end());
    // A run's output ends with a line end; Lines() gives no piece after it.
    return out;
}

// The simulator's reads, in order, as the bytes each one took in.
std::vector<std::string> ReceivedChunks(const TSaberSim& Sim)
{
    std::vector<std::string> chunks;
    std::istringstream log(Sim.WireLog());
    std::string line;
    while (std::getline(log, line)) {
        std::istringstream fields(line);
        std::string stamp, dir, hex;
        std::size_t count = 0;
        if (!(fields >> stamp >> dir) || dir != "RX" || !(fields >> count >> hex))
            continue;
        std::string bytes;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
            bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        EXPECT_EQ(bytes.size(), count) << line;
        chunks.push_back(bytes);
    }
    return chunks;
}

// The ms after the start at which the byte at Offset of the output arrived.
double ByteArrivalMs(const TRunResult& R, std::size_t Offset)
{
    for (const auto& c : R.Chunks)
        if (Offset < c.End)
            return c.AtMs;
    ADD_FAILURE() << "no output byte at offset " << Offset;
    return -1;
}

double LineArrivalMs(const TRunResult& R, const std::string& Text)
{
    const TOutLine* l = R.FindLine(Text);
    if (!l) {
        ADD_FAILURE() << "missing line \"" << Text << "\" in:\n" << R.Out;
        return -1;
    }
    return l->AtMs;
}

// ---------------------------------------------------------------------------
// Info and list

// Info wins over list when both are asked for.
TEST(Queries, InfoShowsHeaderVersionAndSerial)
{
    TWorld w;
    auto& sim = w.StartSim(0, {"--version", "1.2", "--serial", "000123"});
    const auto r = w.Run({"-s", "-i", "-l"});
    sim.Stop();

    const TLines expected{QueryingSaber, Hyphens, "V=1.2", "S=000123"};
    EXPECT_EQ(ActionLines(r, w.PortNameOf(sim)), expected) << r.Out;
    EXPECT_EQ(sim.Received(), Verification + "V?\nS?\n");
    EXPECT_EQ(sim.Opens(), 2);
    EXPECT_EQ(sim.Closes(), 2);
    EXPECT_EQ(r.ExitStatus, 0);
}

// A question the board leaves unanswered leaves its line out; the header
// stays. (The board answers S? while it is being verified, not afterwards.)
TEST(Queries, InfoLeavesOutAMissingAnswer)
{
    TWorld w;
    auto& sim = w.StartSim(0, {"--from-open", "2", "--no-reply", "S?"});
    const auto r = w.Run({"-s", "-i"});
    sim.Stop();

    const TLines expected{QueryingSaber, Hyphens, DefaultVersion};
    EXPECT_EQ(ActionLines(r, w.PortNameOf(sim)), expected) << r.Out;
    EXPECT_EQ(sim.Received(), Verification + "V?\nS?\n");
    EXPECT_EQ(r.ExitStatus, 0);
}

// Replies ending in CR LF are shown with their CR: the console goes back to
// the start of the line before the line break.
TEST(Queries, RepliesAreShownWithTheirCarriageReturn)
{
    TWorld w;
    auto& sim = w.StartSim(0, {"--crlf"});
    const auto r = w.Run({"-s", "--info"});
    sim.Stop();

    const TLines expected{QueryingSaber, Hyphens, DefaultVersion + "\r", DefaultSerial + "\r"};
    EXPECT_EQ(ActionLines(r, w.PortNameOf(sim)), expected) << r.Out;
    EXPECT_EQ(r.ExitStatus, 0);
}

// Whatever a board's text holds is shown, never obeyed: the controls that
// would clear the screen and retitle the window arrive as text, also in the
// verdict on a port that is no saber.
TEST(Queries, ControlBytesOfTheBoardAreShownAsText)
{
    TWorld w;
    auto& other = w.StartSim(0, {"--version", "0.9\\x1b[2J"});
    auto& sim = w.StartSim(1, {"--serial", "12\\x1b]0;owned\\x07\\x1b[2J34"});
    const auto r = w.Run({"-s", "-i"});
    other.Stop();
    sim.Stop();

    EXPECT_NE(r.FindLine("V? response: V=0.9\\x1B[2J"), nullptr) << r.Out;
    const TLines expected{QueryingSaber, Hyphens, DefaultVersion, "S=12\\x1B]0;owned\\x07\\x1B[2J34"};
    EXPECT_EQ(ActionLines(r, w.PortNameOf(sim)), expected) << r.Out;
    EXPECT_EQ(r.Out.find('\x1b'), std::string::npos);
    EXPECT_EQ(r.ExitStatus, 0);
}

// A line the board sends of its own accord when the port opens is not drained
// by the actions: it takes the place of the first reply, and everything after
// it moves down by one.
// The banner comes 10 ms after the host's purges; on a loaded machine it may
// come only after the verification's drain, which then rightly takes it for
// the answer to "V?". Such a run is tried again, up to three times.
TEST(Queries, UnsolicitedLineShiftsTheReplies)
{
    for (int attempt = 1;; ++attempt) {
        TWorld w;
        auto& sim = w.StartSim(0, {"--banner", "Ilvara boot 7", "--list-lines", "2"});
        const auto info = w.Run({"-s", "-i"});
        const auto list = w.Run({"-s", "-l"});
        sim.Stop();

        const std::string port = w.PortNameOf(sim);
        const std::string verified = "Port " + port + " is a writable Ilvara Saber.";
        if ((!info.FindLine(verified) || !list.FindLine(verified)) && attempt < 3)
            continue;
        const TLines expectedInfo{QueryingSaber, Hyphens, "Ilvara boot 7", DefaultVersion};
        EXPECT_EQ(ActionLines(info, port), expectedInfo) << info.Out;
        const TLines expectedList{QueryingSaber,        Hyphens, "Ilvara boot 7", DefaultVersion, "FILE00001.WAV,1001",
                                  "FILE00002.WAV,1002"};
        EXPECT_EQ(ActionLines(list, port), expectedList) << list.Out;
        // The info run closes the port as soon as the version came back as the
        // second reply: its "S?" may be purged unsent at the close.
        const std::string got = sim.Received();
        const std::string infoPart = Verification + "V?\n";
        const std::string listPart = Verification + "V?\nLIST?\n";
        EXPECT_TRUE(got == infoPart + listPart || got == infoPart + "S?\n" + listPart) << got;
        return;
    }
}

// A long listing arrives whole and in order, after the version line.
TEST(Queries, ListShowsVersionThenEveryFileInOrder)
{
    TWorld w;
    auto& sim = w.StartSim(0, {"--list-lines", "400"});
    const auto r = w.Run({"-s", "--list"});
    sim.Stop();

    TLines expected{QueryingSaber, Hyphens, DefaultVersion};
    for (int n = 1; n <= 400; ++n) {
        std::string number = std::to_string(n);
        expected.push_back("FILE" + std::string(5 - number.size(), '0') + number + ".WAV," + std::to_string(1000 + n));
    }
    EXPECT_EQ(ActionLines(r, w.PortNameOf(sim)), expected);
    EXPECT_EQ(sim.Received(), Verification + "V?\nLIST?\n");
    EXPECT_EQ(r.ExitStatus, 0);
}

// The listing of the files actually stored; an empty line from the board
// ends a listing early, and what follows it is never shown; a last line
// without its line feed is never complete, so it is not shown either.
TEST(Queries, ListEndsAtAnEmptyLineAndSkipsAnUnfinishedOne)
{
    TWorld w;
    auto& stored = w.StartSim(0, {});
    w.WriteFile("sim0-flash/hum1.wav", "12345");
    w.WriteFile("sim0-flash/clash1.wav", "123");
    const auto r1 = w.Run({"-s", "-l"});
    stored.Stop();
    const TLines expected1{QueryingSaber, Hyphens, DefaultVersion, "clash1.wav,3", "hum1.wav,5"};
    EXPECT_EQ(ActionLines(r1, w.PortNameOf(stored)), expected1) << r1.Out;

    TWorld w2;
    auto& gap = w2.StartSim(0, {"--reply", "LIST?=a.wav,1\\nb.wav,2\\n\\nc.wav,3\\nd.wav,4"});
    const auto r2 = w2.Run({"-s", "-l"});
    gap.Stop();
    const TLines expected2{QueryingSaber, Hyphens, DefaultVersion, "a.wav,1", "b.wav,2"};
    EXPECT_EQ(ActionLines(r2, w2.PortNameOf(gap)), expected2) << r2.Out;

    TWorld w3;
    auto& open = w3.StartSim(0, {"--reply-raw", "LIST?=a.wav,1\\nb.wav,2\\nc.wav,3"});
    const auto r3 = w3.Run({"-s", "-l"});
    open.Stop();
    EXPECT_EQ(ActionLines(r3, w3.PortNameOf(open)), expected2) << r3.Out;
    EXPECT_EQ(open.Sent().substr(open.Sent().size() - 7), "c.wav,3");
}

// ---------------------------------------------------------------------------
// Transmit and the sound lists

// The reply lines alone, no header; the file named on the command line is not
// uploaded.
TEST(Queries, TransmitShowsOnlyTheRepliesAndUploadsNothing)
{
    TWorld w;
    auto& sim = w.StartSim(0, {});
    w.WriteFile("song.raw", "not to be sent");
    const auto r = w.Run({"-s", "-t", "V?", "song.raw"});
    sim.Stop();

    EXPECT_EQ(ActionLines(r, w.PortNameOf(sim)), TLines{DefaultVersion}) << r.Out;
    EXPECT_EQ(sim.Received(), Verification + "V?\n");
    EXPECT_TRUE(sim.FlashNames().empty());
    EXPECT_EQ(r.ExitStatus, 0);
}

// An empty value opens no port and prints nothing: "--trans V?" has no value
// (a long option takes one only after '='), nor has "-t" as the last word.
TEST(Queries, TransmitOfNothingOpensNoPort)
{
    for (const TLines& args : {TLines{"-s", "--trans", "V?"}, TLines{"-s", "-t"}, TLines{"-s", "--trans="}}) {
        SCOPED_TRACE(args.back());
        TWorld w;
        auto& sim = w.StartSim(0, {});
        const auto r = w.Run(args);
        sim.Stop();
        EXPECT_EQ(ActionLines(r, w.PortNameOf(sim)), TLines{}) << r.Out;
        EXPECT_EQ(sim.Received(), Verification);
        EXPECT_EQ(sim.Opens(), 1);
        EXPECT_EQ(r.ExitStatus, 0);
    }
}

// The text goes out byte for byte: a backslash and an n are two bytes, and a
// real line feed inside it makes two commands in the one write. (The second
// command holds a blank so that the parameter is quoted on a Windows command
// line, where a line feed outside quotes would end it.)
TEST(Queries, TransmitSendsTheTextUnchangedInOneWrite)
{
    TWorld w;
    auto& sim = w.StartSim(0, {});
    const auto escaped = w.Run({"-s", "-t", "V?\\nS?"});
    const auto two = w.Run({"-s", "--trans=S?\nHELLO BOARD"});
    sim.Stop();

    const std::string port = w.PortNameOf(sim);
    EXPECT_EQ(ActionLines(escaped, port), TLines{"ERROR, Unknown Command: V?\\nS?"}) << escaped.Out;
    EXPECT_EQ(ActionLines(two, port), (TLines{DefaultSerial, "ERROR, Unknown Command: HELLO BOARD"})) << two.Out;

    EXPECT_EQ(sim.Received(), Verification + "V?\\nS?\n" + Verification + "S?\nHELLO BOARD\n");
    const auto chunks = ReceivedChunks(sim);
    EXPECT_NE(std::find(chunks.begin(), chunks.end(), "V?\\nS?\n"), chunks.end());
    EXPECT_NE(std::find(chunks.begin(), chunks.end(), "S?\nHELLO BOARD\n"), chunks.end());
}

// The seven queries travel as 39 bytes in one write, and all seven answers
// are shown as one listing.
TEST(Queries, SoundListIsOneWriteAndOneListing)
{
    TWorld w;
    auto& sim = w.StartSim(0, {});
    for (const char* name : {"hum1.wav", "hum2.wav", "swing1.wav", "on.wav", "clash1.wav"})
        w.WriteFile(std::string("sim0-flash/") + name, "x");
    const auto r = w.Run({"-s", "--slist"});
    sim.Stop();

    const TLines expected{"sON=on.wav", "sOFF=",  "sHUM=hum1.wav,hum2.wav", "sSW=swing1.wav", "sCL=clash1.wav",
                          "sSMA=",      "sSMB="};
    EXPECT_EQ(ActionLines(r, w.PortNameOf(sim)), expected) << r.Out;
    ASSERT_EQ(SoundListWire.size(), 39u);
    EXPECT_EQ(sim.Received(), Verification + SoundListWire);
    const auto chunks = ReceivedChunks(sim);
    EXPECT_NE(std::find(chunks.begin(), chunks.end(), SoundListWire), chunks.end());
    EXPECT_EQ(r.ExitStatus, 0);
}

// ---------------------------------------------------------------------------
// Which action runs

TEST(Dispatch, InfoWinsOverTheSoundList)
{
    TWorld w;
    auto& sim = w.StartSim(0, {});
    const auto r = w.Run({"-s", "--slist", "-i"});
    sim.Stop();
    const TLines expected{QueryingSaber, Hyphens, DefaultVersion, DefaultSerial};
    EXPECT_EQ(ActionLines(r, w.PortNameOf(sim)), expected) << r.Out;
    EXPECT_EQ(sim.Received(), Verification + "V?\nS?\n");
}

// With no writable saber no action runs, whatever was asked: the port is
// never opened a second time.
TEST(Dispatch, NoActionWithoutAWritableSaber)
{
    for (const TLines& args : {TLines{"-s", "-i"}, TLines{"-s", "-erase-all"}, TLines{"-s", "-t", "V?"},
                               TLines{"-s", "--slist"}, TLines{"-s", "-l"}}) {
        SCOPED_TRACE(args[1]);
        TWorld w;
        auto& sim = w.StartSim(0, {"--version", "0.9"});
        w.WriteFile("sim0-flash/keep.wav", "kept");
        const auto r = w.Run(args);
        sim.Stop();
        const auto lines = r.Lines();
        ASSERT_GE(lines.size(), 2u) << r.Out;
        EXPECT_EQ(TLines(lines.end() - 2, lines.end()),
                  (TLines{"No Writable Ilvara Sabers Found.", "Connect an Ilvara Saber with Updated Firmware."}))
            << r.Out;
        EXPECT_EQ(r.Out.find(QueryingSaber), std::string::npos);
        EXPECT_EQ(sim.Received(), "V?\n");
        EXPECT_EQ(sim.Opens(), 1);
        EXPECT_EQ(sim.FlashNames(), TLines{"keep.wav"});
        EXPECT_EQ(r.ExitStatus, 2);
    }
}

// ---------------------------------------------------------------------------
// Erase

// Erase wins over info. The progress dots are shown as they come, on the
// line that the board's closing message then completes.
TEST(Erase, ProgressIsEchoedAsItArrives)
{
    TWorld w;
    auto& sim = w.StartSim(0, {"--erase-dots", "8", "--erase-seconds", "3"});
    w.WriteFile("sim0-flash/hum1.wav", "abc");
    const auto r = w.Run({"-s", "-erase-all", "-i"});
    sim.Stop();

    const TLines expected{QueryingSaber, Hyphens, DefaultVersion, DefaultSerial, "OK, Erasing Serial Flash",
                          "........Serial Flash Erased", "OK, Erase Complete"};
    EXPECT_EQ(ActionLines(r, w.PortNameOf(sim)), expected) << r.Out;
    EXPECT_EQ(sim.Received(), Verification + "V?\nS?\nWR?\nERASE=ALL\n");
    EXPECT_TRUE(sim.FlashNames().empty());
    EXPECT_EQ(r.ExitStatus, 0);

    // The dots come a third of a second apart: the first must be on the
    // console well before the last one arrives, not all at the end.
    const std::size_t first = r.Out.find("........Serial");
    ASSERT_NE(first, std::string::npos) << r.Out;
    const double firstAt = ByteArrivalMs(r, first);
    const double lastAt = ByteArrivalMs(r, first + 7);
    const double doneAt = LineArrivalMs(r, "........Serial Flash Erased");
    EXPECT_GT(lastAt - firstAt, 1500) << "first dot at " << firstAt << " ms, last at " << lastAt << " ms";
    EXPECT_GT(doneAt - firstAt, 2000) << "first dot at " << firstAt << " ms, end at " << doneAt << " ms";
}

// Line feeds among the progress bytes start new console lines, a CR before
// one stays as in every CR LF line while a lone CR is shown as text (also
// one right before the end), '@' (just below 'A') is progress, and any byte
// from 'A' up, a lower-case letter or one of 0x80 and above included, ends
// the wait. The line feed right after that byte is then the first
// closing line, so a wait that went on past it would show another picture.
TEST(Erase, AnyByteFromCapitalAUpEndsTheWait)
{
    for (const std::string end : {"A", "e", "\xe9", "\xff"}) {
        SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(end[0])));
        TWorld w;
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(end[0]));
        auto& sim = w.StartSim(0, {"--erase-dots", "0", "--erase-seconds", "0", "--reply",
                                   std::string("ERASE=OK, Erasing\\n.\\r.\\r\\n..@\\n\\r") + hex + "\\nDone"});
        const auto r = w.Run({"-s", "--erase-all"});
        sim.Stop();

        const TLines expected{QueryingSaber, Hyphens, DefaultVersion, DefaultSerial, "OK, Erasing",
                              ".\\x0D.\r", "..@",   "\\x0D" + end, "Done"};
        EXPECT_EQ(ActionLines(r, w.PortNameOf(sim)), expected) << r.Out;
        // A line feed from the board ends the console line as every other
        // line of the program ends.
        const std::string lineEnd = Config().Wine ? "\r\n" : "\n";
        EXPECT_NE(r.Out.find(lineEnd + ".\\x0D.\r" + lineEnd + "..@" + lineEnd), std::string::npos);
        EXPECT_TRUE(sim.FlashNames().empty());
        EXPECT_EQ(r.ExitStatus, 0);
    }
}

// Only the exact write-ready reply lets the erase go ahead: one with a CR
// before its line feed, or any other text, stops it before the erase command.
TEST(Erase, NotReadyBoardIsNotErased)
{
    struct TCase {
        TLines SimArgs;
        std::string LineEnd;
    };
    for (const TCase& c : {TCase{{"--crlf"}, "\r"}, TCase{{"--not-ready"}, ""},
                           TCase{{"--reply", "WR?=OK, Write Ready "}, ""}}) {
        SCOPED_TRACE(c.SimArgs[0]);
        TWorld w;
        auto& sim = w.StartSim(0, c.SimArgs);
        w.WriteFile("sim0-flash/keep.wav", "kept");
        const auto r = w.Run({"-s", "-erase-all"});
        sim.Stop();

        const TLines expected{QueryingSaber, Hyphens, DefaultVersion + c.LineEnd, DefaultSerial + c.LineEnd,
                              NotReady};
        EXPECT_EQ(ActionLines(r, w.PortNameOf(sim)), expected) << r.Out;
        EXPECT_EQ(sim.Received(), Verification + "V?\nS?\nWR?\n");
        EXPECT_EQ(sim.FlashNames(), TLines{"keep.wav"});
        EXPECT_EQ(r.ExitStatus, 2);
    }
}

// A board that falls silent after the erase command: five silent receives of
// 5 s and one more, then the report and two empty closing lines. The wait
// blocks in the serial reads and costs next to no processor time. Under Wine
// the emulated wait for received bytes polls the line itself, which costs
// about half a second over the 30 s (measured 0.5 to 0.7 s); the bound there
// still catches a wait that spins.
TEST(Erase, SilentBoardTimesOutAfterThirtySeconds)
{
    TWorld w;
    auto& sim = w.StartSim(0, {"--erase-silent"});
    w.WriteFile("sim0-flash/keep.wav", "kept");
    TRunOptions o;
    o.TimeLimitMs = 90000;
    const auto r = w.Run({"-s", "-erase-all"}, o);
    sim.Stop();

    const TLines expected{QueryingSaber, Hyphens, DefaultVersion, DefaultSerial, "OK, Erasing Serial Flash",
                          TimedOut,      "",      ""};
    EXPECT_EQ(ActionLines(r, w.PortNameOf(sim)), expected) << r.Out;
    EXPECT_EQ(sim.FlashNames(), TLines{"keep.wav"});
    EXPECT_EQ(r.ExitStatus, 2);

    const double wait = LineArrivalMs(r, TimedOut) - LineArrivalMs(r, "OK, Erasing Serial Flash");
    EXPECT_GE(wait, 29500);
    EXPECT_LE(wait, 30000 + 5000) << "hang guard";
    // Each closing line is one more silent 500 ms read.
    const double closing = r.WallMs - LineArrivalMs(r, TimedOut);
    EXPECT_GE(closing, 900);
    EXPECT_LE(closing, 1000 + 5000) << "hang guard";

    std::printf("erase time-out: wait %.0f ms, processor time %.0f ms\n", wait, r.CpuMs);
    // A wait that spun instead of blocking would burn most of the 30 s; the
    // bound leaves room for Wine's start-up on a loaded machine.
    EXPECT_LT(r.CpuMs, Config().Wine ? 10000 : 3000);
}

// A board that hangs up after the erase command: every receive now fails at
// once. That must end the wait like silence does, not be echoed as a stream
// of zero bytes that never ends.
TEST(Erase, LineLostDuringTheEraseEndsTheWait)
{
    TWorld w;
    auto& sim = w.StartSim(0, {"--hang-up-after-command", "ERASE=ALL"});
    TRunOptions o;
    o.TimeLimitMs = 45000;
    const auto r = w.Run({"-s", "-erase-all"}, o);
    sim.Stop();

    const auto lines = ActionLines(r, w.PortNameOf(sim));
    EXPECT_NE(std::find(lines.begin(), lines.end(), TimedOut), lines.end()) << r.Out;
    EXPECT_EQ(r.Out.find('\0'), std::string::npos);
    EXPECT_EQ(r.ExitStatus, 2);
    EXPECT_FALSE(r.TimedOut);
    std::printf("line lost during the erase: %.0f ms wall, %.0f ms cpu\n", r.WallMs, r.CpuMs);
}

} // namespace
} // namespace hp::e2e
