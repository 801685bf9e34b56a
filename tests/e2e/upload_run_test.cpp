// Several files in one run, end to end: the order they go in, the checks
// before the first byte, and the end of the run at the first failure.
#include "e2e_support.h"

#include <gtest/gtest.h>

namespace hp::e2e {
namespace {

const std::string Verification = "V?\nS?\nWR?\n";

// What the board receives for one completed upload.
std::string Conversation(const std::string& Name, const std::string& Bytes)
{
    return "V?\nS?\nWR?\nFREE?\nWR=" + Name + "," + std::to_string(Bytes.size()) + "\n" + Bytes;
}

// The lines that begin with Prefix, in order.
std::vector<std::string> LinesBeginning(const TRunResult& R, const std::string& Prefix)
{
    std::vector<std::string> found;
    for (const auto& line : R.Lines())
        if (line.rfind(Prefix, 0) == 0)
            found.push_back(line);
    return found;
}

std::vector<std::string> After(const TRunResult& R, const std::string& Marker)
{
    const auto lines = R.Lines();
    const auto it = std::find(lines.begin(), lines.end(), Marker);
    return it == lines.end() ? std::vector<std::string>{} : std::vector<std::string>(it + 1, lines.end());
}

// A folder stands for its files in byte order, without dot-files and
// sub-folders; options may stand anywhere; each file is a whole upload of
// its own on the one verified port.
TEST(UploadRun, FolderAndFilesGoInOrderEachAsItsOwnUpload)
{
    TWorld w;
    // Room for exactly these files together: the run's space check is the
    // first file's alone, each later file checks only itself.
    auto& sim = w.StartSim(0, {"--free", "3004"});
    const std::string big = PatternBytes(3000);
    w.WriteFile("font/A.wav", "A");
    w.WriteFile("font/b.wav", big);
    w.WriteFile("font/.hidden", "not sent");
    w.WriteFile("font/sub/deep.wav", "not sent");
    w.WriteFile("extra.cfg", "cfg");
    const auto r = w.Run({"font/", "-s", "extra.cfg"});
    sim.Stop();

    EXPECT_EQ(LinesBeginning(r, "Upload"),
              (std::vector<std::string>{"Upload 1 of 3: font/A.wav", "Upload 2 of 3: font/b.wav",
                                        "Upload 3 of 3: extra.cfg", "Uploaded 3 of 3 files."}))
        << r.Out;
    EXPECT_EQ(r.Lines().back(), "Uploaded 3 of 3 files.");
    EXPECT_EQ(r.ExitStatus, 0) << r.Out;
    EXPECT_EQ(r.Err, "");
    EXPECT_TRUE(sim.Received() == Verification + Conversation("A.wav", "A") + Conversation("b.wav", big) +
                                      Conversation("extra.cfg", "cfg"));
    EXPECT_EQ(sim.FlashNames(), (std::vector<std::string>{"A.wav", "b.wav", "extra.cfg"}));
    EXPECT_EQ(sim.Opens(), 4);
}

// The run ends at the first file that does not complete, with its status:
// the second write refused (the third file never tried), or files that fit
// one by one but not together (refused as a whole before any data).
TEST(UploadRun, TheRunEndsAtTheFirstFileThatDoesNotComplete)
{
    const std::vector<std::string> files{"a.wav", "b.wav", "c.wav"};
    {
        TWorld w;
        auto& sim = w.StartSim(0, {"--from-open", "3", "--reply", "WR=ERROR, Write Refused"});
        for (const auto& name : files)
            w.WriteFile(name, name);
        const auto r = w.Run({"-s", "a.wav", "b.wav", "c.wav"});
        sim.Stop();
        EXPECT_EQ(LinesBeginning(r, "Upload"), (std::vector<std::string>{"Upload 1 of 3: a.wav", "Upload 2 of 3: b.wav",
                                                                        "Uploaded 1 of 3 files."}))
            << r.Out;
        EXPECT_EQ(r.ExitStatus, 2);
        EXPECT_EQ(sim.Received(), Verification + Conversation("a.wav", "a.wav") + "V?\nS?\nWR?\nFREE?\nWR=b.wav,5\n");
        EXPECT_EQ(sim.Opens(), 3);
    }
    TWorld w;
    auto& sim = w.StartSim(0, {"--free", "14"});
    for (const auto& name : files)
        w.WriteFile(name, name);
    const auto r = w.Run(files);
    sim.Stop();
    const std::vector<std::string> expected{
        "", "Space on Saber: 14", "Size of 3 files: 15", "", "ERROR.",
        "Insufficient Space on saber, ERASE-ALL and re-upload all files.", "", "Uploaded 0 of 3 files.",
        "", "==END==", "==PRESS ANY KEY TO FINISH=="};
    EXPECT_EQ(After(r, "Saber Ready to Write to Serial Flash"), expected) << r.Out;
    EXPECT_EQ(r.ExitStatus, 1);
    EXPECT_EQ(sim.Received(), Verification + "V?\nS?\nWR?\nFREE?\n");
}

// A thousand names, near the length limit of a Windows command line, with a
// missing file, a folder without files and a flash name used twice among
// them: every problem is shown, and no upload channel is opened.
TEST(UploadRun, ProblemsAnywhereInALongListAreShownAndNothingIsSent)
{
    TWorld w;
    auto& sim = w.StartSim(0, {});
    std::vector<std::string> args{"-s"};
    for (int i = 0; i < 997; ++i) {
        const std::string name = "s/sound-file-number-" + std::to_string(1000 + i) + ".wav";
        w.WriteFile(name, "x");
        args.push_back(name);
    }
    w.WriteFile("other/sound-file-number-1000.wav", "y");
    w.WriteFile("empty/.keep", "");
    args.insert(args.begin() + 500, "missing.wav");
    args.insert(args.begin() + 700, "empty");
    args.push_back("other/sound-file-number-1000.wav");
    const auto r = w.Run(args);
    sim.Stop();
    const std::vector<std::string> expected{
        "", "File missing.wav not found.", "", "No files to upload in empty.", "",
        "ERROR, Serial Flash Name used twice: sound-file-number-1000.wav"};
    EXPECT_EQ(After(r, "Port " + w.PortNameOf(sim) + " is a writable Ilvara Saber."), expected) << r.Out;
    EXPECT_EQ(r.ExitStatus, 2);
    EXPECT_EQ(sim.Received(), Verification);
    EXPECT_EQ(sim.Opens(), 1);
}

} // namespace
} // namespace hp::e2e
