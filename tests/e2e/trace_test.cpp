// The trace a user sends when a board misbehaves: the conversation on
// standard error or in a file, and standard output exactly as without it.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace hp::e2e {
namespace {

namespace fs = std::filesystem;

// Standard output with what differs from run to run made alike: the time
// estimates, which depend on the machine's speed, and the space left by the
// run before.
std::string WithoutEstimates(const std::string& Out)
{
    return std::regex_replace(Out, std::regex("Time [0-9]+:[0-9][0-9]:[0-9][0-9]|Space on Saber: [0-9]+"), "-");
}

std::string Contents(const std::string& Path)
{
    std::ifstream in(Path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(Trace, TheTalkGoesToTheTraceAndStandardOutputStaysAsItWas)
{
    TWorld w;
    // A serial number holding an escape sequence and a byte above 0x7E.
    auto& sim = w.StartSim(0, {"--serial", "0042\\x1b[2J\\xe9"});
    w.WriteFile("song.raw", PatternBytes(5000));
    const auto plain = w.Run({"-s", "song.raw"});
    const auto traced = w.Run({"-s", "--trace", "song.raw"});
    const auto saved = w.Run({"-s", "--trace=trace.txt", "song.raw"});
    const auto again = w.Run({"-s", "--trace=trace.txt", "-i"});
    sim.Stop();

    ASSERT_EQ(plain.ExitStatus, 0) << plain.Out;
    EXPECT_EQ(traced.ExitStatus, 0);
    EXPECT_EQ(WithoutEstimates(traced.Out), WithoutEstimates(plain.Out));
    EXPECT_EQ(WithoutEstimates(saved.Out), WithoutEstimates(plain.Out));
    EXPECT_EQ(plain.Err.find("hiltpush: trace"), std::string::npos) << plain.Err;

    const std::string& trace = traced.Err;
    for (const char* event :
         {"open ", "line settings 115200 baud 8N1", "command \"V?\\x0A\"", "reply after ", "\"S=0042\\x1B[2J\\xE9\"",
          "command \"WR=song.raw,5000\\x0A\"", "sent 4096 bytes", "flush: OK", "\"OK, Write Complete, 5000 Bytes\"",
          "close "})
        EXPECT_NE(trace.find(event), std::string::npos) << event << " missing from\n" << trace;
    EXPECT_EQ(trace.find('\x1b'), std::string::npos) << "a board's escape byte reached the terminal";
    // Each line is one event, stamped with the milliseconds since the start.
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(std::regex_match(line, std::regex("hiltpush: trace [0-9]+ [ -~]+\r?"))) << line;

    // The file collects both runs' traces, one after the other; standard
    // error keeps none of them.
    const std::string file = Contents(w.Dir() + "/trace.txt");
    EXPECT_EQ(saved.Err, "");
    const std::size_t upload = file.find("command \"WR=song.raw,5000\\x0A\"");
    ASSERT_NE(upload, std::string::npos) << file;
    EXPECT_NE(file.find("command \"V?\\x0A\"", upload), std::string::npos) << "the second run's trace was not added";
}

// The trace never goes into what is uploaded: the trace file named as a
// file to upload (here through another link to it) refuses the run before
// a byte is added to it, and a folder's upload leaves it out.
TEST(Trace, TheTraceFileIsNeverUploaded)
{
    TWorld w;
    auto& sim = w.StartSim(0, {});
    w.WriteFile("a.raw", "the user's own");
    fs::create_hard_link(w.Dir() + "/a.raw", w.Dir() + "/link.raw");
    w.WriteFile("font/hum.wav", "hum");
    const auto named = w.Run({"-s", "--trace=link.raw", "a.raw"});
    const auto folder = w.Run({"-s", "--trace=font/trace.txt", "font"});
    sim.Stop();

    const std::string le = Config().Wine ? "\r\n" : "\n";
    EXPECT_TRUE(named.Out.ends_with(le + le + "ERROR, a.raw is the trace file; it cannot also be uploaded." + le))
        << named.Out;
    EXPECT_EQ(named.ExitStatus, 2);
    EXPECT_EQ(Contents(w.Dir() + "/a.raw"), "the user's own");
    const std::string said = "hiltpush: the trace cannot be written to link.raw: it is one of the files to upload; ";
    EXPECT_TRUE(named.Err.starts_with(said + "it goes to standard error")) << named.Err;
    EXPECT_NE(named.Err.find("hiltpush: trace "), std::string::npos) << named.Err;

    EXPECT_EQ(folder.ExitStatus, 0) << folder.Out;
    EXPECT_EQ(sim.FlashNames(), std::vector<std::string>{"hum.wav"});
    EXPECT_NE(Contents(w.Dir() + "/font/trace.txt").find("command \"WR=hum.wav,3\\x0A\""), std::string::npos);
}

// A trace write that fails is said once, with its reason, and the trace
// goes on on standard error; standard output is untouched.
TEST(Trace, AFailedWriteIsSaidOnceAndTheTraceGoesOn)
{
    TWorld w;
    auto& sim = w.StartSim(0, {});
    const auto plain = w.Run({"-s", "-i"});
    const auto full = w.Run({"-s", "--trace=/dev/full", "-i"});
    sim.Stop();

    EXPECT_EQ(full.Out, plain.Out);
    EXPECT_EQ(full.ExitStatus, 0);
    // Said with its reason right before the line that failed (the first),
    // and only once.
    const std::string said = "hiltpush: the trace could not be written to /dev/full: ";
    EXPECT_TRUE(std::regex_search(full.Err, std::regex("^" + said + "[^\r\n]+; the rest of it goes to standard error"
                                                       "\r?\nhiltpush: trace [0-9]+ hiltpush [0-9.]+ on [a-z]+ with \"")))
        << full.Err;
    EXPECT_EQ(full.Err.find(said, 1), std::string::npos) << "said more than once";
    EXPECT_NE(full.Err.find(" close ", full.Err.rfind("command \"S?\\x0A\"")), std::string::npos) << full.Err;
}

} // namespace
} // namespace hp::e2e
