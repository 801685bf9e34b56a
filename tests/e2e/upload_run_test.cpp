// Several files in one run, end to end: the order they go in, the checks
// before the first byte, and the end of the run at the first failure.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cstring>

#include <sys/xattr.h>

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

// Names beyond ASCII, as a Windows user's font folder holds them. On Linux
// they are bytes and go as they stand. On Windows a name goes to the board in
// the ANSI code page when it has an exact form there and is refused
// otherwise, and a fullwidth quote or hyphen never makes an option. Wine
// takes the code page from the Unix locale: Latin (1252) for C.UTF-8,
// Japanese (932, where the trail byte of "\x83\x5C" is no backslash) for
// ja_JP.UTF-8. Output to a pipe is in the same code page.
TEST(UploadRun, NamesBeyondAsciiGoInTheBoardsCodePageOrNotAtAll)
{
    const std::string folder = "\u30D5\u30A9\u30F3\u30C8"; // Japanese "font"
    const std::string sword = "\u30BD\u30FC\u30C9.wav", sound = "\u0437\u0432\u0443\u043A.wav";
    const std::string quoted = "a\uFF02 -v \uFF02.wav", erase = "b\uFF02 -erase-all \uFF02.wav";
    const std::string cafe = "caf\u00E9.wav";
    struct TRun {
        std::vector<std::string> Args;
        std::vector<std::string> Sent;    // the names the board gets, in order; empty: nothing sent
        std::vector<std::string> Refused; // the names as the refusals show them
    };
    struct TLocale {
        std::string Name;
        std::vector<TRun> Runs;
    };
    const std::vector<std::string> mixed{"-s", folder, quoted, erase};
    const std::vector<std::string> latin{"-s", cafe};
    std::vector<TLocale> locales;
    if (!Config().Wine) {
        locales.push_back({"", {{mixed, {"hum.wav", sound, sword, quoted, erase}, {}}, {latin, {cafe}, {}}}});
    } else {
        locales.push_back({"C.UTF-8",
                           {{mixed, {}, {"????.wav", "???.wav", "a? -v ?.wav", "b? -erase-all ?.wav"}},
                            {latin, {"caf\xE9.wav"}, {}}}});
        locales.push_back({"ja_JP.UTF-8",
                           {{mixed,
                             {"hum.wav", "\x83\x5C\x81\x5B\x83\x68.wav", "\x84\x78\x84\x72\x84\x85\x84\x7B.wav",
                              "a\xFA\x57 -v \xFA\x57.wav", "b\xFA\x57 -erase-all \xFA\x57.wav"},
                             {}},
                            {latin, {}, {"caf?.wav"}}}});
        locale_t japanese = ::newlocale(LC_ALL_MASK, "ja_JP.UTF-8", nullptr);
        if (!japanese)
            FAIL() << "the locale ja_JP.UTF-8 is missing; scripts/ensure-packages makes it";
        ::freelocale(japanese);
    }
    for (const auto& locale : locales) {
        for (const auto& run : locale.Runs) {
            SCOPED_TRACE(locale.Name + " " + run.Args[1]);
            TWorld w;
            auto& sim = w.StartSim(0, {});
            // Each file holds its own name.
            for (const std::string& name : {std::string("hum.wav"), sword, sound})
                w.WriteFile(folder + "/" + name, name);
            for (const std::string& name : {quoted, erase, cafe})
                w.WriteFile(name, name);
            TRunOptions options;
            if (!locale.Name.empty())
                options.Env["LC_ALL"] = locale.Name;
            const auto r = w.Run(run.Args, options);
            sim.Stop();

            std::string conversations;
            std::vector<std::string> announced;
            // A folder's files go in the order of the board's bytes.
            const std::vector<std::string> order =
                run.Args[1] == cafe ? std::vector<std::string>{cafe}
                : locale.Name == "ja_JP.UTF-8" ? std::vector<std::string>{"hum.wav", sword, sound, quoted, erase}
                                               : std::vector<std::string>{"hum.wav", sound, sword, quoted, erase};
            for (std::size_t i = 0; i < run.Sent.size(); ++i) {
                conversations += Conversation(run.Sent[i], order[i]);
                announced.push_back("as Serial Flash Name: " + run.Sent[i]);
            }
            EXPECT_EQ(sim.Received(), Verification + conversations) << r.Out;
            EXPECT_EQ(LinesBeginning(r, "as Serial Flash Name: "), announced) << r.Out;
            std::vector<std::string> refusals;
            for (const auto& name : run.Refused)
                refusals.insert(refusals.end(), {"", "ERROR, Invalid Serial Flash Name: " + name});
            if (!refusals.empty()) {
                EXPECT_EQ(After(r, "Port " + w.PortNameOf(sim) + " is a writable Ilvara Saber."), refusals) << r.Out;
            }
            EXPECT_EQ(r.ExitStatus, run.Sent.empty() ? 2 : 0) << r.Out;
            EXPECT_EQ(r.Err, "");
        }
    }
}

// A folder's names are read as listed: "a.raw." (made by a Linux tool) is a
// file of its own, never "a.raw" again. A decomposed name (as archives made
// on a Mac hold it) is read by that name and goes to a Windows board
// composed, as the code page's byte for é.
TEST(UploadRun, FolderNamesAreReadAsListedAndGoComposed)
{
    TWorld w;
    auto& sim = w.StartSim(0, {});
    const std::string decomposed = "cafe\u0301.raw", cafe = Config().Wine ? "caf\xE9.raw" : decomposed;
    for (const std::string& name : {std::string("a.raw"), std::string("a.raw."), decomposed})
        w.WriteFile("font/" + name, "bytes of " + name);
    const auto r = w.Run({"-s", "font"});
    sim.Stop();
    EXPECT_EQ(sim.Received(), Verification + Conversation("a.raw", "bytes of a.raw") +
                                  Conversation("a.raw.", "bytes of a.raw.") + Conversation(cafe, "bytes of " + decomposed))
        << r.Out;
}

// Explorer hides desktop.ini and Thumbs.db in a font folder; on Windows the
// files marked hidden or system stay out of a folder's upload. Linux has no
// such mark (Wine keeps it in an extended attribute), so there they go.
TEST(UploadRun, HiddenAndSystemFilesOfAFolderStayOutOnWindows)
{
    TWorld w;
    auto& sim = w.StartSim(0, {});
    w.WriteFile("font/a.wav", "a");
    for (const auto& [name, mark] : std::vector<std::pair<std::string, std::string>>{
             {"desktop.ini", "0x6"}, {"Thumbs.db", "0x2"}, {"sys.bin", "0x4"}}) {
        const std::string path = w.WriteFile("font/" + name, name);
        if (::setxattr(path.c_str(), "user.DOSATTRIB", mark.data(), mark.size(), 0) != 0 && Config().Wine)
            GTEST_SKIP() << "the file system of " << w.Dir()
                         << " cannot hold Wine's hidden and system marks (user.DOSATTRIB): " << std::strerror(errno);
    }
    const auto r = w.Run({"-s", "font"});
    sim.Stop();
    const std::string expected =
        Config().Wine ? Conversation("a.wav", "a")
                      : Conversation("Thumbs.db", "Thumbs.db") + Conversation("a.wav", "a") +
                            Conversation("desktop.ini", "desktop.ini") + Conversation("sys.bin", "sys.bin");
    EXPECT_EQ(sim.Received(), Verification + expected) << r.Out;
    EXPECT_EQ(r.ExitStatus, 0) << r.Out;
}

// A font kept deep in the user's folders: a folder and a file whose paths
// are longer than 260 characters.
TEST(UploadRun, PathsBeyond260CharactersWork)
{
    TWorld w;
    auto& sim = w.StartSim(0, {});
    std::string deep = "deep";
    while (deep.size() < 300)
        deep += "/a-folder-of-the-users-sound-fonts-" + std::to_string(deep.size());
    w.WriteFile(deep + "/font/x.wav", "x");
    w.WriteFile(deep + "/y.wav", "yy");
    const auto r = w.Run({"-s", deep + "/font", deep + "/y.wav"});
    sim.Stop();
    EXPECT_EQ(sim.Received(), Verification + Conversation("x.wav", "x") + Conversation("y.wav", "yy")) << r.Out;
    EXPECT_EQ(r.ExitStatus, 0) << r.Out;
}

} // namespace
} // namespace hp::e2e
