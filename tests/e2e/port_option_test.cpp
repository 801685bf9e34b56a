// Naming the port with -p, and the ports a scan leaves out, against the real
// binary and saber-sim.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "pty_far_end.h"

namespace hp::e2e {
namespace {

namespace fs = std::filesystem;

// The output after the version header.
std::vector<std::string> AfterHeader(const TRunResult& R)
{
    const auto lines = R.Lines();
    const auto it = std::find(lines.begin(), lines.end(), "----------------");
    return it == lines.end() ? std::vector<std::string>{} : std::vector<std::string>(it + 1, lines.end());
}

// The entries of the list of ports left out, the first line of standard
// error; none when there is no such line.
std::vector<std::string> OtherPortsListed(const TRunResult& R)
{
    const std::string head = "hiltpush: also here, not tried: ";
    const std::string line = R.Err.substr(0, R.Err.find_first_of("\r\n"));
    std::vector<std::string> entries;
    for (std::size_t at = head.size(), end; line.rfind(head, 0) == 0 && at <= line.size(); at = end + 2) {
        end = std::min(line.find(", ", at), line.size());
        entries.push_back(line.substr(at, end - at));
    }
    return entries;
}

// Two sabers in the map and a device outside it: whatever -p names is the
// one port opened, as if a scan had found only it.
TEST(PortOption, TheNamedPortIsTheOnlyOneOpened)
{
    TWorld w;
    auto& first = w.StartSim(0, {});
    auto& second = w.StartSim(1, {});
    auto& other = w.StartSim(-1, {"--version", "0.9"});
    const std::string bytes = PatternBytes(3000);
    w.WriteFile("song.wav", bytes);
    const std::string p2 = w.PortNameOf(second), po = w.PortNameOf(other);

    // The value of -p is not a file, wherever the option stands.
    const auto taken = w.Run({"song.wav", "-p", p2, "-s"});
    const auto refused = w.Run({"-s", "--port=" + po, "song.wav"});
    const auto missing = w.Run({"-s", "song.wav", "-p"});
    // Ignored, a mistyped port option would let the scan pick a board.
    const auto mistyped = w.Run({"-s", "--Port=" + p2, "song.wav"});
    first.Stop();
    second.Stop();
    other.Stop();

    auto lines = AfterHeader(taken);
    lines.resize(6);
    EXPECT_EQ(lines, (std::vector<std::string>{"Found 1 Saber Port: " + p2, "Verifying Port is a saber.", "",
                                               "Testing Port: " + p2, "Port " + p2 + " is a writable Ilvara Saber.",
                                               "Querying Saber"})) << taken.Out;
    EXPECT_EQ(taken.ExitStatus, 0) << taken.Out;
    EXPECT_TRUE(second.FlashFile("song.wav") == bytes);

    EXPECT_EQ(AfterHeader(refused),
              (std::vector<std::string>{"Found 1 Saber Port: " + po, "Verifying Port is a saber.", "",
                                        "Testing Port: " + po, "V? response: V=0.9",
                                        "Port " + po + " not a writable Ilvara Saber",
                                        "No Writable Ilvara Sabers Found.",
                                        "Connect an Ilvara Saber with Updated Firmware."})) << refused.Out;
    EXPECT_EQ(refused.ExitStatus, 2);
    // The user chose the port: nothing else to suggest.
    EXPECT_EQ(refused.Err, "");
    EXPECT_EQ(other.Received(), "V?\n");
    EXPECT_EQ(first.Opens(), 0);

    // No port named, or a mistyped option: refused before any port is opened
    // or the map is read.
    EXPECT_EQ(AfterHeader(missing), (std::vector<std::string>{"ERROR, -p needs a port name."})) << missing.Out;
    EXPECT_EQ(missing.ExitStatus, 2);
    EXPECT_EQ(AfterHeader(mistyped),
              (std::vector<std::string>{"ERROR, Unknown option --Port=" + p2 +
                                        ": name the port as -p PORT or --port=PORT."})) << mistyped.Out;
    EXPECT_EQ(mistyped.ExitStatus, 2);
    EXPECT_EQ(second.Opens(), 2) << "the check and the upload of the first run";
}

// A scan that finds no saber names on standard error the ports it did not
// try; its standard output is what it was without them, and -p takes one.
TEST(PortOption, ScanThatFindsNoneNamesThePortsItLeftOut)
{
    TWorld w;
    auto& sim = w.StartSim(-1, {});
    w.WriteFile("song.wav", "abc");
    const auto before = w.Run({"-s", "song.wav"});

    test::TPtyFarEnd adapter, acm;
    std::string port;
    std::vector<std::string> expected;
    if (Config().Wine) {
        port = w.PortNameOf(sim);
        w.SetMapValue("\\Device\\VCP0", port);
        w.SetMapValue("\\Device\\Silabser0", "COM7\r\nCOM8\r\n");
        expected = {"COM7 (\\Device\\Silabser0)", "COM8 (\\Device\\Silabser0)", port + " (\\Device\\VCP0)"};
    } else {
        // Adapters in number order, each with its first by-id name; the
        // by-id name of a CDC-ACM port (the kind the scan tries) is left out.
        const std::string dev = w.MapDir() + "/dev/";
        fs::create_directories(dev + "serial/by-id");
        fs::create_symlink(sim.PtyPath(), dev + "ttyUSB10");
        fs::create_symlink(adapter.SlavePath(), dev + "ttyUSB2");
        fs::create_symlink(acm.SlavePath(), dev + "ttyACM0");
        for (const std::string name : {"usb-Ilvara_Saber_2-if00", "usb-Ilvara_Saber_1-if00"})
            fs::create_symlink("../../ttyUSB10", dev + "serial/by-id/" + name);
        fs::create_symlink("../../ttyACM0", dev + "serial/by-id/usb-Ilvara_Saber_0-if00");
        port = dev + "ttyUSB10";
        expected = {dev + "ttyUSB2", port + " (" + dev + "serial/by-id/usb-Ilvara_Saber_1-if00)"};
    }
    const auto after = w.Run({"-s", "song.wav"});
    EXPECT_EQ(after.Out, before.Out);
    EXPECT_EQ(after.ExitStatus, 2);
    // What was listed before (Wine's own values) aside, exactly ours; then
    // the hint, and nothing else.
    const auto listedBefore = OtherPortsListed(before);
    std::vector<std::string> ours;
    for (const auto& entry : OtherPortsListed(after))
        if (std::find(listedBefore.begin(), listedBefore.end(), entry) == listedBefore.end())
            ours.push_back(entry);
    EXPECT_EQ(ours, expected) << after.Err;
    EXPECT_EQ(after.Err.substr(after.Err.find('\n') + 1),
              std::string("hiltpush: to try one, run hiltpush -p PORT ...") + (Config().Wine ? "\r\n" : "\n"));

    const auto taken = w.Run({"-s", "-p", port, "song.wav"});
    sim.Stop();
    EXPECT_NE(taken.FindLine("Port " + port + " is a writable Ilvara Saber."), nullptr) << taken.Out;
    EXPECT_EQ(taken.ExitStatus, 0) << taken.Out;
    EXPECT_EQ(sim.FlashFile("song.wav").value_or("<none>"), "abc");
}

} // namespace
} // namespace hp::e2e
