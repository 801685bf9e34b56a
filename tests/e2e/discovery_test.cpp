// Finding the saber: the device-map scan, the verification of each candidate
// and the lines the user sees, against the real binary and saber-sim.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <sys/file.h>

#include "pty_far_end.h"

namespace hp::e2e {
namespace {

const std::string Searching = "Searching for Saber Ports...";
const std::string Verification = "V?\nS?\nWR?\n";

// The output from the scan's first line on (the version header before it is
// not this test's business).
std::vector<std::string> FromScan(const TRunResult& R)
{
    const auto lines = R.Lines();
    const auto it = std::find(lines.begin(), lines.end(), Searching);
    return it == lines.end() ? std::vector<std::string>{} : std::vector<std::string>(it, lines.end());
}

// The ms between the arrival of two lines of the output.
double Between(const TRunResult& R, const std::string& First, const std::string& Second)
{
    const TOutLine* a = R.FindLine(First);
    const TOutLine* b = R.FindLine(Second);
    if (!a || !b) {
        ADD_FAILURE() << "missing line \"" << (a ? Second : First) << "\"";
        return -1;
    }
    return b->AtMs - a->AtMs;
}

std::string Finish() { return "==PRESS ANY KEY TO FINISH=="; }

TEST(Discovery, NoDeviceMapMeansNoPortsAndFailure)
{
    TWorld w;
    const auto r = w.Run({"song.wav"});
    const std::vector<std::string> expected{Searching, "No Saber Ports Found."};
    const auto scan = FromScan(r);
    ASSERT_GE(scan.size(), 2u) << r.Out;
    EXPECT_EQ(std::vector<std::string>(scan.begin(), scan.begin() + 2), expected) << r.Out;
    EXPECT_EQ(r.ExitStatus, 2);
}

TEST(Discovery, KernelListWithoutAcmDevicesFindsNothing)
{
    if (Config().Wine)
        GTEST_SKIP() << "the Windows build always reads the registry";
    if (std::filesystem::exists("/sys/class/tty/ttyACM0"))
        GTEST_SKIP() << "this machine has a real CDC-ACM device";
    TWorld w;
    TRunOptions o;
    o.Env["HILTPUSH_SERIALCOMM"] = "";
    const auto r = w.Run({"song.wav"}, o);
    const auto scan = FromScan(r);
    ASSERT_GE(scan.size(), 2u) << r.Out;
    EXPECT_EQ(scan[1], "No Saber Ports Found.");
    EXPECT_EQ(r.ExitStatus, 2);
}

// Counter order, gaps, names outside the probed range, the first failure
// line, and the stop at the first writable saber.
TEST(Discovery, ScansInCounterOrderAndStopsAtTheFirstWritableSaber)
{
    TWorld w;
    auto& old = w.StartSim(0, {"--version", "0.9"});
    auto& good = w.StartSim(2, {});
    auto& later = w.StartSim(3, {});
    w.SetMapValue(100, w.MissingPortName());   // beyond the 100 probed names
    w.WriteFile("song.wav", "abc");
    const auto r = w.Run({"-s", "song.wav"});
    old.Stop();
    good.Stop();
    later.Stop();

    const std::string p0 = w.PortNameOf(old), p2 = w.PortNameOf(good), p3 = w.PortNameOf(later);
    const std::vector<std::string> expected{
        Searching,
        p0 + " : \\Device\\USBSER000",
        p2 + " : \\Device\\USBSER002",
        p3 + " : \\Device\\USBSER003",
        "Found 3 Saber Ports.",
        "Scanning Ports to find an Ilvara Saber.",
        "",
        "Testing Port: " + p0,
        "V? response: V=0.9",
        "Port " + p0 + " not a writable Ilvara Saber",
        "Testing Port: " + p2,
        "Port " + p2 + " is a writable Ilvara Saber.",
        "Querying Saber",
    };
    const auto scan = FromScan(r);
    ASSERT_GE(scan.size(), expected.size()) << r.Out;
    EXPECT_EQ(std::vector<std::string>(scan.begin(), scan.begin() + static_cast<long>(expected.size())), expected)
        << r.Out;
    EXPECT_EQ(r.ExitStatus, 0) << r.Out;
    // A failed version check asks nothing more; the port after the chosen one
    // is never opened.
    EXPECT_EQ(old.Received(), "V?\n");
    EXPECT_EQ(good.Received().substr(0, Verification.size()), Verification);
    EXPECT_EQ(later.Received(), "");
    EXPECT_EQ(later.Opens(), 0);
}

// The probed names run from \Device\USBSER000 to \Device\USBSER099: both
// ends are read, the name after the last is not.
TEST(Discovery, TheFirstAndTheLastProbedNamesAreRead)
{
    TWorld w;
    auto& first = w.StartSim(0, {"--version", "0.9"});
    auto& last = w.StartSim(99, {});
    w.SetMapValue(100, w.MissingPortName());
    const auto r = w.Run({"-s", "absent.wav"});
    first.Stop();
    last.Stop();

    const std::string p0 = w.PortNameOf(first), p99 = w.PortNameOf(last);
    const std::vector<std::string> expected{
        Searching,
        p0 + " : \\Device\\USBSER000",
        p99 + " : \\Device\\USBSER099",
        "Found 2 Saber Ports.",
        "Scanning Ports to find an Ilvara Saber.",
        "",
        "Testing Port: " + p0,
        "V? response: V=0.9",
        "Port " + p0 + " not a writable Ilvara Saber",
        "Testing Port: " + p99,
        "Port " + p99 + " is a writable Ilvara Saber.",
    };
    const auto scan = FromScan(r);
    ASSERT_GE(scan.size(), expected.size()) << r.Out;
    EXPECT_EQ(std::vector<std::string>(scan.begin(), scan.begin() + static_cast<long>(expected.size())), expected)
        << r.Out;
    EXPECT_EQ(last.Received(), Verification);
}

// One value holding two lines (CR LF between them and after the last), the
// first port unopenable, the second written with a trailing ':'.
TEST(Discovery, ValueLinesTrailingColonAndUnopenablePort)
{
    TWorld w;
    auto& sim = w.StartSim(5, {});
    const std::string missing = w.MissingPortName();
    const std::string colon = w.PortNameOf(sim) + ":";
    const std::string text = missing + "\r\n" + colon + "\r\n";
    w.SetMapValue(5, text);
    w.WriteFile("song.wav", "abc");
    const auto r = w.Run({"-s", "song.wav"});
    sim.Stop();

    // The console line shows the value as stored, line breaks included (a
    // Windows console line ends in CR LF itself, so there the CRs vanish
    // into the line ends).
    const std::string cr = Config().Wine ? "" : "\r";
    const std::vector<std::string> expected{
        Searching,
        missing + cr,
        colon + cr,
        " : \\Device\\USBSER005",
        "Found 2 Saber Ports.",
        "Scanning Ports to find an Ilvara Saber.",
        "",
        "Testing Port: " + missing,
        "V? response: ",
        "Port " + missing + " not a writable Ilvara Saber",
        "Testing Port: " + colon,
        "Port " + colon + " is a writable Ilvara Saber.",
    };
    const auto scan = FromScan(r);
    ASSERT_GE(scan.size(), expected.size()) << r.Out;
    EXPECT_EQ(std::vector<std::string>(scan.begin(), scan.begin() + static_cast<long>(expected.size())), expected)
        << r.Out;
    // A port that cannot be opened costs no waiting: no drain, no reply
    // time-out (a fault that waited would take at least 1.5 s).
    const double unopenable = Between(r, "Testing Port: " + missing, "Port " + missing + " not a writable Ilvara Saber");
    EXPECT_GE(unopenable, 0);
    EXPECT_LT(unopenable, 1500);
    // The upload names the port as it was listed, colon included.
    EXPECT_NE(r.FindLine("Sending: song.wav to " + colon), nullptr) << r.Out;
    EXPECT_EQ(sim.FlashFile("song.wav").value_or("<none>"), "abc");
    EXPECT_EQ(r.ExitStatus, 0) << r.Out;
}

// A port that cannot be opened: standard error says why, with what to do
// where that helps (a port that another program holds).
TEST(Discovery, PortsThatCannotBeOpenedSayWhyOnStandardError)
{
    TWorld w;
    const std::string missing = w.MissingPortName();
    w.SetMapValue(0, missing);
    // Held the way a terminal program or another hiltpush holds a port; the
    // Windows build under Wine does not see a Linux lock.
    test::TPtyFarEnd held;
    const std::string busy = held.SlavePath();
    if (!Config().Wine) {
        ASSERT_EQ(::flock(held.SlaveFd(), LOCK_EX | LOCK_NB), 0);
        w.AddPort(1, busy);
    }
    auto& sim = w.StartSim(2, {});
    const auto r = w.Run({"-s", "absent.wav"});
    sim.Stop();
    // (Standard output for such a port: ValueLinesTrailingColonAndUnopenablePort.)
    EXPECT_NE(r.FindLine("Port " + w.PortNameOf(sim) + " is a writable Ilvara Saber."), nullptr) << r.Out;
    if (Config().Wine) {
        // The device path the Windows build opens, and Windows' own text on one line.
        const std::string prefix = "hiltpush: \\\\.\\" + missing + ": ";
        EXPECT_TRUE(r.Err.rfind(prefix, 0) == 0 && r.Err.find("\r\n") == r.Err.size() - 2 &&
                    r.Err.size() > prefix.size() + 2) << r.Err;
        return;
    }
    EXPECT_EQ(r.Err, "hiltpush: " + missing + ": No such file or directory\n"
                     "hiltpush: " + busy + ": Device or resource busy\n"
                     "hiltpush: another program holds " + busy + " (a terminal program, ModemManager, another "
                     "hiltpush); \"fuser -v " + busy + "\" or \"lsof " + busy + "\" shows which\n");
}

// The simulator sends its banner 10 ms after the host's purges; on a loaded
// machine it may be scheduled only after the drain's 50 ms of silence, and
// then the banner is rightly taken for the answer to "V?". So the run is
// tried up to three times: one in which the banner came in time must show
// it drained (the exact timing is the fake board's test).
TEST(Discovery, BannerOnOpeningIsDrainedBeforeTheQuestions)
{
    for (int attempt = 1;; ++attempt) {
        TWorld w;
        auto& sim = w.StartSim(0, {"--banner", "Ilvara saber booting", "--banner", "Hello", "--banner", "Ready."});
        // A missing file ends the run right after the verification.
        const auto r = w.Run({"-s", "absent.wav"});
        sim.Stop();
        if (sim.Received() != "V?\nS?\nWR?\n" && attempt < 3)
            continue;
        const std::string port = w.PortNameOf(sim);
        const std::vector<std::string> expected{"Testing Port: " + port,
                                                "Port " + port + " is a writable Ilvara Saber.", "",
                                                "File absent.wav not found."};
        const auto lines = r.Lines();
        const auto first = std::find(lines.begin(), lines.end(), expected[0]);
        EXPECT_EQ(std::vector<std::string>(first, lines.end()), expected) << r.Out;
        EXPECT_EQ(sim.Received(), "V?\nS?\nWR?\n");
        return;
    }
}

// Each check shows the answer that failed it and asks nothing after it; a
// silent port costs the drain plus one version wait; with no writable saber
// the run ends with the failure pair and status 2.
TEST(Discovery, EachFailedCheckIsReportedAndEndsTheQuestions)
{
    TWorld w;
    auto& version = w.StartSim(0, {"--version", "0.9"});
    auto& serial = w.StartSim(1, {"--reply", "S?=s=5"});
    auto& write = w.StartSim(2, {"--reply", "WR?=OK, write Ready"});
    auto& silent = w.StartSim(3, {"--silent"});
    auto& prefix = w.StartSim(4, {"--reply", "WR?=OK, Write"});
    w.WriteFile("song.wav", "abc");
    const auto r = w.Run({"-s", "song.wav"});
    for (auto* s : {&version, &serial, &write, &silent, &prefix})
        s->Stop();

    auto verdict = [&](const TSaberSim& s) { return "Port " + w.PortNameOf(s) + " not a writable Ilvara Saber"; };
    auto testing = [&](const TSaberSim& s) { return "Testing Port: " + w.PortNameOf(s); };
    const std::vector<std::string> expected{
        testing(version), "V? response: V=0.9", verdict(version),
        testing(serial),  "S? response: s=5", verdict(serial),
        testing(write),   "WR? response: OK, write Ready", verdict(write),
        testing(silent),  "V? response: ", verdict(silent),
        testing(prefix),  "WR? response: OK, Write", verdict(prefix),
        "No Writable Ilvara Sabers Found.",
        "Connect an Ilvara Saber with Updated Firmware.",
    };
    const auto lines = r.Lines();
    const auto first = std::find(lines.begin(), lines.end(), testing(version));
    ASSERT_NE(first, lines.end()) << r.Out;
    EXPECT_EQ(std::vector<std::string>(first, lines.end()), expected) << r.Out;
    EXPECT_EQ(r.ExitStatus, 2);

    EXPECT_EQ(version.Received(), "V?\n");
    EXPECT_EQ(serial.Received(), "V?\nS?\n");
    EXPECT_EQ(write.Received(), Verification);
    EXPECT_EQ(prefix.Received(), Verification);
    // The file is never looked at without a saber to send it to.
    EXPECT_EQ(r.FindLine("Querying Saber"), nullptr);

    // The silent port is asked once and waited for the reply time-out.
    EXPECT_EQ(silent.Received(), "V?\n");
    const double silentMs = Between(r, testing(silent), verdict(silent));
    EXPECT_GE(silentMs, 1500);
    EXPECT_LT(silentMs, 1500 + 5000) << "hang guard";
}

// A device that streams lines without ever pausing is asked after a bounded
// drain, fails the version check with its chatter, and the scan goes on.
// How much of the chatter a reply holds depends on the scheduling: only the
// order of the lines is checked, and time only as a hang guard.
TEST(Discovery, DeviceThatNeverPausesDoesNotHoldTheScan)
{
    TWorld w;
    TChattyDevice chatty;
    const std::string noisy = w.AddPort(0, chatty.PtyPath());
    auto& sim = w.StartSim(1, {});
    TRunOptions o;
    o.TimeLimitMs = 60000;
    const auto r = w.Run({"-s", "absent.wav"}, o);
    sim.Stop();
    ASSERT_FALSE(r.TimedOut) << r.Out;
    const auto lines = r.Lines();
    const auto testing = std::find(lines.begin(), lines.end(), "Testing Port: " + noisy);
    ASSERT_NE(testing, lines.end()) << r.Out;
    ASSERT_LT(testing + 2, lines.end()) << r.Out;
    EXPECT_EQ(testing[1].rfind("V? response: ", 0), 0u) << testing[1];
    EXPECT_EQ(testing[2], "Port " + noisy + " not a writable Ilvara Saber");
    EXPECT_EQ(testing[3], "Testing Port: " + w.PortNameOf(sim)) << r.Out;
    EXPECT_EQ(testing[4], "Port " + w.PortNameOf(sim) + " is a writable Ilvara Saber.") << r.Out;
    EXPECT_EQ(chatty.Received().find("S?"), std::string::npos) << "asked on after a failed version check";
    EXPECT_EQ(sim.Received(), Verification);
}

// A device that trickles text and never ends a line (a scale printing
// "23.5\r" four times a second) fails the version check within its bound,
// its bytes dropped, and the saber after it takes the upload.
TEST(Discovery, DeviceThatNeverEndsALineFailsWithinTheBound)
{
    TWorld w;
    auto& chatty = w.StartSim(0, {"--chatter", "23.5\\r"});
    auto& sim = w.StartSim(1, {});
    const std::string bytes = PatternBytes(5000);
    w.WriteFile("song.wav", bytes);
    TRunOptions o;
    o.TimeLimitMs = 120000;
    const auto r = w.Run({"-s", "song.wav"}, o);
    chatty.Stop();
    sim.Stop();
    const std::string noisy = w.PortNameOf(chatty);
    const auto lines = r.Lines();
    const auto testing = std::find(lines.begin(), lines.end(), "Testing Port: " + noisy);
    ASSERT_NE(testing, lines.end()) << r.Out;
    ASSERT_LT(testing + 2, lines.end()) << r.Out;
    EXPECT_EQ(testing[1], "V? response: ");
    EXPECT_EQ(testing[2], "Port " + noisy + " not a writable Ilvara Saber");
    EXPECT_EQ(chatty.Received(), "V?\n") << "the questions end with the first failed one";
    EXPECT_NE(r.FindLine("Port " + w.PortNameOf(sim) + " is a writable Ilvara Saber."), nullptr) << r.Out;
    EXPECT_EQ(r.ExitStatus, 0) << r.Out;
    EXPECT_TRUE(sim.FlashFile("song.wav") == bytes);
    // About 5 s (the bound) plus the drain; a hang guard, not a measurement.
    EXPECT_LT(Between(r, "Testing Port: " + noisy, "Port " + noisy + " not a writable Ilvara Saber"), 30000);
}

// The version check compares unsigned bytes: "V=1" orders before "V=1." and
// fails, a first difference in a byte above 0x7F orders after it and passes.
TEST(Discovery, VersionOrderIsByteWise)
{
    TWorld w;
    auto& below = w.StartSim(0, {"--reply", "V?=V=1"});
    auto& high = w.StartSim(1, {"--reply", "V?=V=\\xe9"});
    // A missing file keeps the run short once a port is chosen.
    const auto r = w.Run({"-s", "absent.wav"});
    below.Stop();
    high.Stop();
    EXPECT_NE(r.FindLine("V? response: V=1"), nullptr) << r.Out;
    EXPECT_NE(r.FindLine("Port " + w.PortNameOf(high) + " is a writable Ilvara Saber."), nullptr) << r.Out;
}

TEST(Discovery, ValueThatIsNotTextEndsTheRunWithItsReport)
{
    TWorld w;
    auto& sim = w.StartSim(0, {});
    w.SetMapNonText(1);
    const auto r = w.Run({"song.wav"});
    sim.Stop();
    EXPECT_NE(r.Out.find("ERegistryException"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("Invalid registry data type: \"\\Device\\USBSER001\"."), std::string::npos) << r.Out;
    // The scan ends there: no port is tested and the finish prompt is skipped.
    EXPECT_EQ(r.Out.find("Testing Port: "), std::string::npos) << r.Out;
    EXPECT_EQ(r.Out.find(Finish()), std::string::npos) << r.Out;
    EXPECT_EQ(sim.Received(), "");
    EXPECT_EQ(r.ExitStatus, 2);
}

} // namespace
} // namespace hp::e2e
