// Drives saber-sim over its pseudo-terminal as hiltpush would and checks the
// replies, the flash folder, the wire log and the switches.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "chaos.h"
#include "sim_harness.h"

using namespace simtest;
using Clock = std::chrono::steady_clock;

namespace {

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Sends one command line and returns the next reply line.
std::string Ask(HostPort& port, const std::string& command) {
    EXPECT_TRUE(port.Write(command + "\n"));
    return port.ReadLine().value_or("<no reply>");
}

// An upload as hiltpush does it: the write command, its reply, the bytes, the
// closing line.
std::string Upload(HostPort& port, const std::string& name, const std::string& data) {
    const std::string accept = Ask(port, "WR=" + name + "," + std::to_string(data.size()));
    EXPECT_EQ(accept, "OK, Write " + name);
    EXPECT_TRUE(port.Write(data, Ms(20000)));
    return port.ReadLine(Ms(20000)).value_or("<no closing line>");
}

std::vector<std::string> FlashNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(SaberSim, QueriesAnswerAsConfigured) {
    SimProcess sim({"--version", "1.27", "--serial", "000123", "--free", "5000"});
    HostPort port(sim.Port());
    EXPECT_EQ(Ask(port, "V?"), "V=1.27");
    EXPECT_EQ(Ask(port, "S?"), "S=000123");
    EXPECT_EQ(Ask(port, "WR?"), "OK, Write Ready");
    EXPECT_EQ(Ask(port, "FREE?"), "FREE=5000");
    EXPECT_EQ(Ask(port, "v?"), "ERROR, Unknown Command: v?");
    // Blank lines are no commands; the next reply belongs to "S?".
    EXPECT_EQ(Ask(port, "\n\nS?"), "S=000123");
    // A host that ends its lines with CR LF is understood.
    EXPECT_EQ(Ask(port, "V?\r"), "V=1.27");

    // The seven sound-list queries in one write: one line each, in order.
    ASSERT_TRUE(port.Write("sON?\nsOFF?\nsHUM?\nsSW?\nsCL?\nsSMA?\nsSMB?\n"));
    for (const char* expected : {"sON=", "sOFF=", "sHUM=", "sSW=", "sCL=", "sSMA=", "sSMB="})
        EXPECT_EQ(port.ReadLine().value_or("<none>"), expected);
    // Nothing else follows a listing of an empty flash.
    EXPECT_TRUE(port.Write("LIST?\n"));
    EXPECT_EQ(port.ReadFor(Ms(300)), "");
}

TEST(SaberSim, UploadStoresEveryByteValueUnchanged) {
    TempDir dir;
    const std::string flash = dir / "flash";
    SimProcess sim({"--flash", flash, "--free", "200000"});
    HostPort port(sim.Port());

    // All 256 byte values, several times, with command-looking text among
    // them: none of it may be taken as a command.
    std::string data;
    for (int round = 0; round < 8; ++round)
        for (int b = 0; b < 256; ++b) data += static_cast<char>(b);
    data.insert(700, "\nV?\nWR?\nERASE=ALL\n\r\n");
    data += "LIST?\n";

    EXPECT_EQ(Upload(port, "hum 1,a.wav", data), "OK, Write Complete, " + std::to_string(data.size()) + " Bytes");
    EXPECT_EQ(ReadFile(flash + "/hum 1,a.wav"), data);
    EXPECT_EQ(FlashNames(flash), std::vector<std::string>{"hum 1,a.wav"});

    EXPECT_EQ(Ask(port, "FREE?"), "FREE=" + std::to_string(200000 - data.size()));
    EXPECT_EQ(Ask(port, "LIST?"), "hum 1,a.wav," + std::to_string(data.size()));

    // An empty file is stored at once; a second upload of a name replaces it.
    EXPECT_EQ(Upload(port, "empty.cfg", ""), "OK, Write Complete, 0 Bytes");
    EXPECT_EQ(Upload(port, "hum 1,a.wav", "abc"), "OK, Write Complete, 3 Bytes");
    EXPECT_EQ(ReadFile(flash + "/hum 1,a.wav"), "abc");
    EXPECT_EQ(ReadFile(flash + "/empty.cfg"), "");
    EXPECT_EQ(Ask(port, "FREE?"), "FREE=199997");

    // The demo sound, which holds every byte value too.
    const std::string hum = ReadFile(SABER_SIM_ASSETS "/hum.wav");
    ASSERT_GT(hum.size(), 10000u);
    EXPECT_EQ(Upload(port, "hum.wav", hum), "OK, Write Complete, " + std::to_string(hum.size()) + " Bytes");
    EXPECT_EQ(ReadFile(flash + "/hum.wav"), hum);

    // The sound-list queries name the stored files of their kind.
    EXPECT_EQ(Upload(port, "HUM2.WAV", "x"), "OK, Write Complete, 1 Bytes");
    EXPECT_EQ(Upload(port, "on.wav", "y"), "OK, Write Complete, 1 Bytes");
    EXPECT_EQ(Ask(port, "sHUM?"), "sHUM=HUM2.WAV,hum 1,a.wav,hum.wav");
    EXPECT_EQ(Ask(port, "sON?"), "sON=on.wav");
}

TEST(SaberSim, RefusedWriteCommandsTakeNoData) {
    TempDir dir;
    const std::string flash = dir / "flash";
    SimProcess sim({"--flash", flash, "--free", "10"});
    HostPort port(sim.Port());

    const std::pair<const char*, const char*> cases[] = {
        {"WR=../evil,1", "ERROR, Invalid File Name"},
        {"WR=a/b,1", "ERROR, Invalid File Name"},
        {"WR=..,1", "ERROR, Invalid File Name"},
        {"WR=,1", "ERROR, Invalid File Name"},
        {"WR=x,", "ERROR, Invalid Write Command"},
        {"WR=x,abc", "ERROR, Invalid Write Command"},
        {"WR=x,-1", "ERROR, Invalid Write Command"},
        {"WR=x", "ERROR, Invalid Write Command"},
        {"WR=big,11", "ERROR, Insufficient Space"},
    };
    for (const auto& [command, reply] : cases) {
        EXPECT_EQ(Ask(port, command), reply) << command;
        // The board is back in command mode: these bytes are a command.
        EXPECT_EQ(Ask(port, "V?"), "V=2.05") << command;
    }
    EXPECT_TRUE(FlashNames(flash).empty());
    EXPECT_FALSE(Exists(dir / "evil"));

    // Exactly the free space fits.
    EXPECT_EQ(Upload(port, "fits", "0123456789"), "OK, Write Complete, 10 Bytes");
    EXPECT_EQ(Ask(port, "FREE?"), "FREE=0");
}

TEST(SaberSim, RefuseWriteAndNotReadySwitches) {
    TempDir dir;
    SimProcess sim({"--flash", dir / "flash", "--refuse-write", "--not-ready"});
    HostPort port(sim.Port());
    const std::string ready = Ask(port, "WR?");
    EXPECT_NE(ready, "OK, Write Ready");
    EXPECT_EQ(ready.rfind("OK, Write ", 0), 0u) << ready;
    EXPECT_EQ(Ask(port, "WR=a.wav,3"), "ERROR, Write Refused");
    EXPECT_EQ(Ask(port, "S?"), "S=0042-5117");
    EXPECT_TRUE(FlashNames(dir / "flash").empty());
}

TEST(SaberSim, ReplyOverrides) {
    TempDir dir;
    SimProcess sim({"--flash", dir / "flash", "--reply", "V?=V=1.", "--reply", "S?=", "--no-reply", "WR?",
                    "--no-reply", "ERASE=ALL", "--erase-seconds", "0", "--erase-dots", "2",
                    "--reply", "FREE?=FREE=12\\r", "--reply", "WR=OK, Write", "--reply", "LIST?=a\\nb"});
    HostPort port(sim.Port());
    EXPECT_EQ(Ask(port, "V?"), "V=1.");
    EXPECT_EQ(Ask(port, "S?"), "");
    // No reply at all to WR?: the next line read answers FREE?.
    ASSERT_TRUE(port.Write("WR?\n"));
    EXPECT_EQ(Ask(port, "FREE?"), "FREE=12\r");
    // "OK, Write" without the blank is no acceptance: what follows is a command.
    EXPECT_EQ(Ask(port, "WR=a.wav,3"), "OK, Write");
    EXPECT_EQ(Ask(port, "V?"), "V=1.");
    EXPECT_EQ(Ask(port, "LIST?"), "a");
    EXPECT_EQ(port.ReadLine().value_or("<none>"), "b");
    // Only the erase's first line is left out; the rest follows as usual.
    EXPECT_EQ(Ask(port, "ERASE=ALL"), "..Serial Flash Erased");
    EXPECT_EQ(port.ReadLine().value_or("<none>"), "OK, Erase Complete");
    EXPECT_TRUE(FlashNames(dir / "flash").empty());
}

TEST(SaberSim, CrLfEndsEveryLine) {
    SimProcess sim({"--crlf", "--banner", "Hi", "--list-lines", "2"});
    HostPort port(sim.Port());
    EXPECT_EQ(port.ReadLine().value_or("<none>"), "Hi\r");
    EXPECT_EQ(Ask(port, "V?"), "V=2.05\r");
    EXPECT_EQ(Ask(port, "LIST?"), "FILE00001.WAV,1001\r");
    EXPECT_EQ(port.ReadLine().value_or("<none>"), "FILE00002.WAV,1002\r");
}

TEST(SaberSim, BannerAfterEveryOpenAndBeforeTheFirstReply) {
    SimProcess sim({"--banner", "Ilvara Saber", "--banner", "ready\\x21"});
    for (int session = 0; session < 3; ++session) {
        HostPort port(sim.Port());
        if (session == 1) {
            // Asked at once: the banner still comes first.
            EXPECT_EQ(Ask(port, "V?"), "Ilvara Saber");
            EXPECT_EQ(port.ReadLine().value_or("<none>"), "ready!");
            EXPECT_EQ(port.ReadLine().value_or("<none>"), "V=2.05");
        } else {
            EXPECT_EQ(port.ReadLine().value_or("<none>"), "Ilvara Saber") << session;
            EXPECT_EQ(port.ReadLine().value_or("<none>"), "ready!") << session;
            EXPECT_EQ(Ask(port, "S?"), "S=0042-5117");
        }
        // Exactly once per open.
        EXPECT_EQ(port.ReadFor(Ms(200)), "");
        port.Close();
    }
    // A host that purges its queues one by one after opening (as Wine does)
    // must not throw the banner away with its later purges.
    HostPort port(sim.Port(), false);
    for (int purge = 0; purge < 2; ++purge) {
        ::tcflush(port.Fd(), TCOFLUSH);
        ::tcflush(port.Fd(), TCIFLUSH);
    }
    EXPECT_EQ(port.ReadLine().value_or("<none>"), "Ilvara Saber");
}

TEST(SaberSim, SilentBoardSendsNothing) {
    SimProcess sim({"--silent", "--banner", "never"});
    HostPort port(sim.Port());
    ASSERT_TRUE(port.Write("V?\nS?\nWR?\nLIST?\n"));
    EXPECT_EQ(port.ReadFor(Ms(700)), "");
}

// The device that is no saber: its text every 250 ms, never a line feed,
// and no answer to anything. (Two to seven copies in 1.3 s: a loaded
// machine may only make them fewer.)
TEST(SaberSim, ChatterIsTextEveryQuarterSecondAndNoAnswer) {
    SimProcess sim({"--chatter", "23.5\\r"});
    HostPort port(sim.Port());
    ASSERT_TRUE(port.Write("V?\nS?\n"));
    const std::string heard = port.ReadFor(Ms(1300));
    std::string copies;
    while (copies.size() < heard.size()) copies += "23.5\r";
    EXPECT_EQ(heard, copies);
    EXPECT_GE(heard.size(), 2 * 5u);
    EXPECT_LE(heard.size(), 7 * 5u);
}

// The line dies after exactly 7 lines of a listing, or 7 dots of an erase.
TEST(SaberSim, HangUpAfterListingLinesAndEraseDots) {
    for (const auto& [option, command, unit] : {std::tuple{"--hang-up-after-lines", "LIST?\n", '\n'},
                                                std::tuple{"--hang-up-after-dots", "ERASE=ALL\n", '.'}}) {
        TempDir dir;
        SimProcess sim({"--list-lines", "100", "--erase-seconds", "0.3", option, "7", "--log", dir / "wire"});
        HostPort port(sim.Port());
        ASSERT_TRUE(port.Write(command));
        EXPECT_TRUE(port.WaitHangUp(Ms(10000))) << option;
        EXPECT_EQ(sim.WaitExit(Ms(5000)), std::optional<int>(0)) << option;
        const std::string sent = AllBytes(ParseLog(dir / "wire"), "TX");
        EXPECT_EQ(std::count(sent.begin(), sent.end(), unit), 7) << option << ": " << sent;
    }
}

TEST(SaberSim, EraseSendsDotsThenClosingLinesAndEmptiesTheFlash) {
    TempDir dir;
    const std::string flash = dir / "flash";
    std::filesystem::create_directories(flash);
    WriteFile(flash + "/old.wav", std::string(1000, 'o'));
    SimProcess sim({"--flash", flash, "--free", "500", "--erase-seconds", "1", "--erase-dots", "4"});
    HostPort port(sim.Port());
    EXPECT_EQ(Ask(port, "FREE?"), "FREE=500");

    const auto start = Clock::now();
    EXPECT_EQ(Ask(port, "ERASE=ALL"), "OK, Erasing Serial Flash");
    // The dots come one by one, not in a burst at the end.
    const auto firstDot = port.ReadExactly(1, Ms(3000));
    const double firstDotAt = SecondsSince(start);
    EXPECT_EQ(firstDot.value_or("<none>"), ".");
    const auto rest = port.ReadLine(Ms(5000));
    const double doneAt = SecondsSince(start);
    ASSERT_TRUE(rest.has_value());
    EXPECT_EQ(*rest, "...Serial Flash Erased");
    EXPECT_EQ(port.ReadLine().value_or("<none>"), "OK, Erase Complete");
    EXPECT_GT(firstDotAt, 0.1);
    EXPECT_LT(firstDotAt, 0.5);
    EXPECT_GT(doneAt, 0.9);
    EXPECT_LT(doneAt, 1.6);

    EXPECT_TRUE(FlashNames(flash).empty());
    EXPECT_EQ(Ask(port, "FREE?"), "FREE=1500");
}

TEST(SaberSim, EraseSilentNeverFinishesUntilTheHostLeaves) {
    TempDir dir;
    const std::string flash = dir / "flash";
    std::filesystem::create_directories(flash);
    WriteFile(flash + "/keep.wav", "k");
    SimProcess sim({"--flash", flash, "--erase-silent"});
    {
        HostPort port(sim.Port());
        EXPECT_EQ(Ask(port, "ERASE=ALL"), "OK, Erasing Serial Flash");
        // Busy: not even a command gets an answer.
        ASSERT_TRUE(port.Write("V?\n"));
        EXPECT_EQ(port.ReadFor(Ms(1000)), "");
    }
    HostPort again(sim.Port());
    EXPECT_EQ(Ask(again, "V?"), "V=2.05");
    EXPECT_EQ(FlashNames(flash), std::vector<std::string>{"keep.wav"});
}

TEST(SaberSim, ListingOfStoredFilesOrMadeUpLines) {
    SimProcess sim({"--list-lines", "40"});
    HostPort port(sim.Port());
    ASSERT_TRUE(port.Write("LIST?\n"));
    for (int n = 1; n <= 40; ++n) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "FILE%05d.WAV,%d", n, 1000 + n);
        ASSERT_EQ(port.ReadLine().value_or("<none>"), expected);
    }
    EXPECT_EQ(port.ReadFor(Ms(300)), "");
}

TEST(SaberSim, StreamJunkHasNoLineFeed) {
    SimProcess sim({"--stream-junk", "100000"});
    HostPort port(sim.Port());
    ASSERT_TRUE(port.Write("V?\n"));
    const auto junk = port.ReadExactly(100000, Ms(10000));
    ASSERT_TRUE(junk.has_value());
    EXPECT_EQ(junk->find('\n'), std::string::npos);
    EXPECT_EQ(port.ReadFor(Ms(300)), "");
    // Other commands are answered as usual.
    EXPECT_EQ(Ask(port, "S?"), "S=0042-5117");
}

TEST(SaberSim, HangUpAfterBytesOfAnUpload) {
    TempDir dir;
    const std::string map = dir / "map";
    SimProcess sim({"--flash", dir / "flash", "--device-map", map, "--hang-up-after", "100", "--log", dir / "wire"});
    ASSERT_TRUE(Exists(map + "/Device/USBSER000"));
    HostPort port(sim.Port());
    EXPECT_EQ(Ask(port, "WR=cut.wav,1000"), "OK, Write cut.wav");
    port.Write(std::string(1000, 'd'), Ms(5000));  // may fail part-way: that is the point
    EXPECT_TRUE(port.WaitHangUp(Ms(5000)));
    // Further writes fail as with a board pulled out.
    EXPECT_FALSE(port.Write("V?\n", Ms(1000)));
    EXPECT_EQ(sim.WaitExit(Ms(5000)), std::optional<int>(0));
    EXPECT_TRUE(FlashNames(dir / "flash").empty());
    EXPECT_FALSE(Exists(map + "/Device/USBSER000"));
    EXPECT_TRUE(WaitForLog(dir / "wire", "EV", "hanging up after 100 of 1000 bytes", 1, Ms(100)));
}

TEST(SaberSim, HangUpAfterCommand) {
    SimProcess sim({"--hang-up-after-command", "WR?"});
    HostPort port(sim.Port());
    EXPECT_EQ(Ask(port, "V?"), "V=2.05");
    ASSERT_TRUE(port.Write("WR?\n"));
    EXPECT_TRUE(port.WaitHangUp(Ms(5000)));
    EXPECT_EQ(sim.WaitExit(Ms(5000)), std::optional<int>(0));
}

// A seed whose plan for the session fits, found with the simulator's own
// planner, so that each fault is met on purpose.
std::uint64_t ChaosSeed(int session, const std::function<bool(const hp::sim::TChaosPlan&)>& fits) {
    for (std::uint64_t seed = 1; seed < 100000; ++seed)
        if (fits(hp::sim::PlanChaos(seed, session))) return seed;
    ADD_FAILURE() << "no seed has such a plan";
    return 0;
}

bool OnlyReplyFault(const hp::sim::TChaosPlan& plan, hp::sim::TReplyFault::Kind kind) {
    return plan.Kinds.size() == 1 && plan.Replies.size() == 1 && plan.Replies[0].Reply == 1 &&
           plan.Replies[0].What == kind;
}

TEST(SaberSim, ChaosFaultsDoWhatTheySay) {
    using hp::sim::TReplyFault;
    {
        const auto seed = ChaosSeed(1, [](const auto& p) { return OnlyReplyFault(p, TReplyFault::DelayBeyond); });
        SimProcess sim({"--chaos", std::to_string(seed)});
        HostPort port(sim.Port());
        const auto start = Clock::now();
        ASSERT_TRUE(port.Write("V?\n"));
        EXPECT_EQ(port.ReadLine(Ms(20000)).value_or("<none>"), "V=2.05");
        EXPECT_GE(SecondsSince(start) * 1000, hp::sim::PlanChaos(seed, 1).Replies[0].DelayMs) << "the reply came early";
        EXPECT_NE(sim.Stderr().find("chaos: delay-beyond reply 1 of the session"), std::string::npos) << sim.Stderr();
    }
    {
        const auto seed = ChaosSeed(1, [](const auto& p) { return OnlyReplyFault(p, TReplyFault::Cut); });
        SimProcess sim({"--chaos", std::to_string(seed)});
        HostPort port(sim.Port());
        ASSERT_TRUE(port.Write("V?\n"));
        const std::string got = port.ReadFor(Ms(500));
        EXPECT_EQ(got, std::string("V=2.05").substr(0, got.size())) << "a cut reply has no line end";
        EXPECT_EQ(Ask(port, "S?"), got + "S=0042-5117") << "and what follows comes as usual";
    }
    {
        // All the data is in, and the board goes away before it stores the file.
        const auto seed = ChaosSeed(2, [](const auto& p) {
            return p.Kinds == std::vector<std::string>{"hang-up-end"};
        });
        TempDir dir;
        SimProcess sim({"--chaos", std::to_string(seed), "--flash", dir / "flash"});
        HostPort(sim.Port()).Close();
        HostPort port(sim.Port());
        EXPECT_EQ(Ask(port, "WR=end.wav,3000"), "OK, Write end.wav");
        ASSERT_TRUE(port.Write(std::string(3000, 'e')));
        EXPECT_TRUE(port.WaitHangUp(Ms(5000)));
        EXPECT_EQ(sim.WaitExit(Ms(5000)), std::optional<int>(0));
        EXPECT_TRUE(FlashNames(dir / "flash").empty());
        EXPECT_NE(sim.Stderr().find("chaos: hang-up-end after all 3000 bytes"), std::string::npos) << sim.Stderr();
    }
}

// A hang-up planned at a command the host never sends would be a fault that
// never happens: the host asks three questions in its check of the board and
// sends five commands in an upload.
TEST(SaberSim, ChaosHangsUpOnlyAtCommandsTheHostSends) {
    int planned = 0;
    std::vector<std::string> beyond;
    for (std::uint64_t seed = 1; seed <= 3000; ++seed)
        for (int session = 1; session <= 3; ++session)
            if (const auto at = hp::sim::PlanChaos(seed, session).HangUpAtCommand; at && ++planned)
                if (*at > (session == 1 ? 3 : 5))
                    beyond.push_back(std::to_string(seed) + "/" + std::to_string(session));
    EXPECT_GT(planned, 100);
    EXPECT_TRUE(beyond.empty()) << beyond.size() << " plans, e.g. seed/session " << beyond.front();
}

TEST(SaberSim, LineRatePacesA64KiBUpload) {
    TempDir dir;
    const std::string log = dir / "wire";
    SimProcess sim({"--flash", dir / "flash", "--line-rate", "11520", "--log", log});
    HostPort port(sim.Port());
    std::string data(65536, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7) & 0xFF);
    EXPECT_EQ(Upload(port, "paced.bin", data), "OK, Write Complete, 65536 Bytes");
    EXPECT_EQ(ReadFile(dir / "flash/paced.bin"), data);

    // From the first to the last data byte the simulator read.
    const auto lines = ParseLog(log);
    double first = -1, last = -1;
    bool receiving = false;
    std::size_t bytes = 0;
    for (const auto& line : lines) {
        if (line.Kind == "EV" && line.Text.rfind("receiving paced.bin", 0) == 0) receiving = true;
        if (line.Kind == "EV" && line.Text.rfind("stored paced.bin", 0) == 0) receiving = false;
        if (receiving && line.Kind == "RX") {
            if (first < 0) first = line.Seconds;
            last = line.Seconds;
            bytes += line.Bytes.size();
        }
    }
    EXPECT_EQ(bytes, data.size());
    // 65536 bytes at 11520 bytes/s take 5.7 s; a loaded machine may only
    // make the simulator slower.
    EXPECT_GE(last - first, 5.5);
    EXPECT_LE(last - first, 5.7 + 5.0) << "hang guard";
}

TEST(SaberSim, DeviceMapEntryIsWrittenAndTakenBack) {
    TempDir dir;
    const std::string map = dir / "map";
    {
        SimProcess sim({"--device-map", map, "--index", "7"});
        EXPECT_EQ(ReadFile(map + "/Device/USBSER007"), sim.Port());
        EXPECT_EQ(sim.Stop(), std::optional<int>(0));
        EXPECT_FALSE(Exists(map + "/Device/USBSER007"));
        // It made the folders, so it removed them too.
        EXPECT_FALSE(Exists(map));
    }
    std::filesystem::create_directories(map + "/Device");
    WriteFile(map + "/Device/USBSER001", "COM3");
    {
        SimProcess sim({"--device-map", map, "--value", "COM9\\r\\n"});
        EXPECT_EQ(ReadFile(map + "/Device/USBSER000"), "COM9\r\n");
        EXPECT_EQ(sim.Stop(), std::optional<int>(0));
    }
    // Entries that were not its own stay.
    EXPECT_FALSE(Exists(map + "/Device/USBSER000"));
    EXPECT_EQ(ReadFile(map + "/Device/USBSER001"), "COM3");
}

TEST(SaberSim, BadSwitchesAreRefused) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--free", "-1"}, {"--index", "1000"}, {"--banner", "a\\"}, {"--reply", "novalue"},
             {"--com", "3"}, {"--bogus"}, {"--erase-seconds", "abc"}}) {
        EXPECT_THROW(SimProcess sim(args), std::runtime_error) << args[0];
    }
}

TEST(SaberSim, ExitAfterUploadWaitsForTheHostToClose) {
    TempDir dir;
    SimProcess sim({"--flash", dir / "flash", "--exit-after-upload"});
    {
        HostPort port(sim.Port());
        // A refused write is no upload.
        EXPECT_EQ(Ask(port, "WR=..,1"), "ERROR, Invalid File Name");
    }
    {
        HostPort port(sim.Port());
        EXPECT_EQ(Upload(port, "demo.wav", "RIFF"), "OK, Write Complete, 4 Bytes");
        // Still serving while the host holds the port.
        EXPECT_EQ(Ask(port, "LIST?"), "demo.wav,4");
        EXPECT_FALSE(sim.WaitExit(Ms(200)).has_value());
    }
    EXPECT_EQ(sim.WaitExit(Ms(5000)), std::optional<int>(0));
    EXPECT_EQ(ReadFile(dir / "flash/demo.wav"), "RIFF");
}

TEST(SaberSim, PartialCommandsAndUploadsDoNotOutliveTheSession) {
    TempDir dir;
    SimProcess sim({"--flash", dir / "flash", "--log", dir / "wire"});
    {
        HostPort port(sim.Port());
        ASSERT_TRUE(port.Write("V"));
        ASSERT_TRUE(WaitForLog(dir / "wire", "RX", "V"));
    }
    {
        HostPort port(sim.Port());
        // Not "V?": the "V" of the last session is gone.
        EXPECT_EQ(Ask(port, "?"), "ERROR, Unknown Command: ?");
        // An upload cut short by a close is not stored.
        EXPECT_EQ(Ask(port, "WR=half.wav,100"), "OK, Write half.wav");
        ASSERT_TRUE(port.Write(std::string(50, 'h')));
    }
    EXPECT_TRUE(WaitForLog(dir / "wire", "EV", "abandoned after"));
    HostPort port(sim.Port());
    EXPECT_EQ(Ask(port, "V?"), "V=2.05");
    EXPECT_TRUE(FlashNames(dir / "flash").empty());
}

TEST(SaberSim, ExclusiveModeOfAClosedHostDoesNotLockOutTheNext) {
    TempDir dir;
    const std::string log = dir / "wire";
    SimProcess sim({"--log", log});
    {
        HostPort port(sim.Port());
        ASSERT_EQ(::ioctl(port.Fd(), TIOCEXCL), 0);
        EXPECT_EQ(Ask(port, "V?"), "V=2.05");
    }
    ASSERT_TRUE(WaitForLog(log, "EV", "port closed"));
    // Privileged users pass TIOCEXCL anyway; try as an ordinary one.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chmod(sim.Port().c_str(), 0666), 0);
    }
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
        const int fd = ::open(sim.Port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ::_exit(fd >= 0 ? 0 : errno == EBUSY ? 1 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1 means EBUSY";
}

TEST(SaberSim, WireLogHoldsEveryByteBothWays) {
    TempDir dir;
    const std::string log = dir / "wire";
    SimProcess sim({"--log", log, "--banner", "B"});
    std::string sent, received;
    {
        HostPort port(sim.Port());
        received += port.ReadLine().value_or("") + "\n";
        for (const char* command : {"V?\n", "S?\n", "\xff\x01\n"}) {
            sent += command;
            ASSERT_TRUE(port.Write(command));
            received += port.ReadLine().value_or("") + "\n";
        }
    }
    ASSERT_TRUE(WaitForLog(log, "EV", "port closed"));
    const auto lines = ParseLog(log);
    EXPECT_EQ(AllBytes(lines, "RX"), sent);
    EXPECT_EQ(AllBytes(lines, "TX"), received);
    EXPECT_EQ(received, "B\nV=2.05\nS=0042-5117\nERROR, Unknown Command: \xff\x01\n");
    for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_GE(lines[i].Seconds, lines[i - 1].Seconds);
}

TEST(SaberSim, StallAfterBytesOfAnUploadTakesNothingMore) {
    TempDir dir;
    SimProcess sim({"--flash", dir / "flash", "--stall-after", "100", "--log", dir / "wire"});
    HostPort port(sim.Port());
    EXPECT_EQ(Ask(port, "WR=held.wav,1000"), "OK, Write held.wav");
    ASSERT_TRUE(port.Write(std::string(1000, 'd')));
    ASSERT_TRUE(WaitForLog(dir / "wire", "EV", "stalled after 100 of 1000 bytes of held.wav"));
    // Nothing more is read: no closing line, and the rest stays unread.
    EXPECT_EQ(port.ReadFor(Ms(300)), "");
    port.Close();
    ASSERT_TRUE(WaitForLog(dir / "wire", "EV", "upload of held.wav abandoned after 100 of 1000 bytes"));
    // What was read while the host had the port: the rest is read (and
    // dropped) only once it closed.
    auto log = ParseLog(dir / "wire");
    const auto closed = std::find_if(log.begin(), log.end(), [](const LogLine& l) {
        return l.Kind == "EV" && l.Text.find("abandoned") != std::string::npos;
    });
    log.erase(closed, log.end());
    EXPECT_EQ(AllBytes(log, "RX"), "WR=held.wav,1000\n" + std::string(100, 'd'));
    EXPECT_TRUE(FlashNames(dir / "flash").empty());
}

// The far end of a terminal that saber-sim is handed with --tty: the master
// of a pseudo-terminal stands in for the host side of a USB serial link.
class FarEnd {
public:
    FarEnd() {
        FFd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (FFd < 0 || ::grantpt(FFd) != 0 || ::unlockpt(FFd) != 0) return;
        char name[128];
        if (::ptsname_r(FFd, name, sizeof name) == 0) FSlave = name;
        termios t{};
        ::tcgetattr(FFd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(FFd, TCSANOW, &t);
    }
    ~FarEnd() { Close(); }
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;
    const std::string& Slave() const { return FSlave; }
    void Close() {
        if (FFd >= 0) ::close(FFd);
        FFd = -1;
    }
    bool Send(const std::string& bytes) {
        return ::write(FFd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // The next line without its LF, or "<none>" when none came in 5 s.
    std::string Line() {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        for (;;) {
            if (const auto lf = FPending.find('\n'); lf != std::string::npos) {
                std::string line = FPending.substr(0, lf);
                FPending.erase(0, lf + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
            pollfd p{FFd, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) return "<none>";
            char buffer[256];
            const ssize_t n = ::read(FFd, buffer, sizeof buffer);
            if (n <= 0) return "<none>";
            FPending.append(buffer, static_cast<std::size_t>(n));
        }
    }

private:
    int FFd = -1;
    std::string FSlave;
    std::string FPending;
};

TEST(SaberSim, ServesAnExistingTerminalUntilItGoesAway) {
    TempDir dir;
    FarEnd far;
    ASSERT_FALSE(far.Slave().empty());
    // A terminal left cooked would echo and translate: the simulator must
    // make it raw itself.
    SimProcess sim({"--tty", far.Slave(), "--flash", dir / "flash"});
    EXPECT_EQ(sim.Port(), far.Slave());
    ASSERT_TRUE(far.Send("V?\n"));
    EXPECT_EQ(far.Line(), "V=2.05");
    std::string data;
    for (int i = 0; i < 4096; ++i) data += static_cast<char>(i % 256);
    ASSERT_TRUE(far.Send("WR=raw.bin,4096\n"));
    EXPECT_EQ(far.Line(), "OK, Write raw.bin");
    ASSERT_TRUE(far.Send(data));
    EXPECT_EQ(far.Line(), "OK, Write Complete, 4096 Bytes");
    EXPECT_EQ(ReadFile(dir / "flash/raw.bin"), data);
    // The host side vanishing is the device going away: the simulator ends.
    far.Close();
    EXPECT_EQ(sim.WaitExit(Ms(10000)), std::optional<int>(0));
}

TEST(SaberSim, TtyThatIsNoTerminalIsRefused) {
    TempDir dir;
    WriteFile(dir / "plain", "x");
    const std::string command = std::string(SABER_SIM_PATH) + " --tty " + (dir / "plain") + " >/dev/null 2>&1";
    EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 1);
}
