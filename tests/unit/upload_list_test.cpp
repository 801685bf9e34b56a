// From the command line to the checked list of files an upload run sends.
#include "app/upload_list.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace hp {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// Each test gets a fresh folder of files of its own.
class UploadList : public testing::Test {
protected:
    const fs::path Root = fs::temp_directory_path() /
                          ("hp_upload_list_" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    void SetUp() override { fs::remove_all(Root); }
    void TearDown() override { fs::remove_all(Root); }
    // A folder when Rel ends with '/', else a file (its folders made too).
    // Names are the program's text, UTF-8, also where the library would take
    // a narrow name in the ANSI code page (Windows).
    std::string Make(const std::string& Rel) const
    {
        const fs::path path = Root / fs::path(std::u8string(Rel.begin(), Rel.end()));
        fs::create_directories(path.parent_path());
        if (Rel.back() != '/')
            std::ofstream(path, std::ios::binary) << Rel;
        const std::u8string text = path.u8string();
        return std::string(text.begin(), text.end());
    }
    static Names GivenOf(const TUploadList& List)
    {
        Names given;
        for (const auto& f : List.Files)
            given.push_back(f.Given);
        return given;
    }
};

TEST_F(UploadList, WhichParametersAreFiles)
{
    // Options keep their meaning wherever they stand; a file whose name
    // begins with '-' is given with a path.
    EXPECT_EQ(UploadParams({"a.wav", "-s", "font", "--x=1", "./-b.wav"}), (Names{"a.wav", "font", "./-b.wav"}));
    // No file parameter: the last parameter, as a single-file run always took,
    // unless it is the port or the trace option.
    EXPECT_EQ(UploadParams({"-x", "-s"}), Names{"-s"});
    EXPECT_EQ(UploadParams({"-s", ""}), Names{""});
    EXPECT_EQ(UploadParams({"-x", "--trace", "-p", "COM5", "--port=COM6", "--trace=t.txt"}), Names{"-x"});
    // A port name is never a file, not even the last parameter; neither are
    // the options of port and trace, nor the trace's file.
    EXPECT_EQ(UploadParams({"-p", "COM5", "a.wav", "-port", "x", "b.wav"}), (Names{"a.wav", "b.wav"}));
    EXPECT_EQ(UploadParams({"a.wav", "-p", "/dev/ttyUSB0"}), Names{"a.wav"});
    for (const Names& own : {Names{"-p", "COM5"}, Names{"-port", "COM5", "--trace"}, Names{"--trace=t.txt"},
                             Names{"--p=COM5", "--port=COM6"}})
        EXPECT_EQ(UploadParams(own), Names{}) << testing::PrintToString(own);
    EXPECT_EQ(UploadParams({"-p", "-s", "x", "--port=COM5", "y"}), (Names{"x", "y"}));
}

// A folder stands for its regular files in byte order (capitals before small
// letters, bytes above 0x7F last), without dot-files and sub-folders.
TEST_F(UploadList, FolderExpansionAndOrder)
{
    for (const char* name : {"c.wav", "\xC3\xA9.wav", "a.wav", "B.wav", ".hidden", "sub/deep.wav"})
        Make(std::string("font/") + name);
    const std::string font = Make("font/");
    const auto list = CheckUploadFiles({font}, "");
    EXPECT_TRUE(list.Problems.empty());
    EXPECT_EQ(GivenOf(list), (Names{font + "B.wav", font + "a.wav", font + "c.wav", font + "\xC3\xA9.wav"}));
}

// Every problem of a list is found, in order, and only the good files are
// left; a missing file is reported as missing, not for its name.
TEST_F(UploadList, EveryProblemIsListed)
{
    const std::string good = Make("good.wav"), dup1 = Make("one/hum.wav"), dup2 = Make("two/hum.wav");
    Make("empty/.only-a-dot-file");
    Make("empty/sub/");
    const std::string empty = Make("empty/");
    // Found next to the program when not found as given.
    const std::string beside = Make("bin/beside.wav");

    const auto list = CheckUploadFiles({good, "gone\x01.wav", dup1, empty, dup2, "beside.wav", good, dup2},
                                       Make("bin/hiltpush"));
    EXPECT_EQ(list.Problems, (Names{"File gone\x01.wav not found.", "No files to upload in " + empty + ".",
                                    "ERROR, Serial Flash Name used twice: hum.wav",
                                    "ERROR, Serial Flash Name used twice: good.wav"}));
    EXPECT_EQ(GivenOf(list), (Names{good, dup1, "beside.wav"}));
    EXPECT_EQ(list.Files.back().FullName, beside);
}

// A file that is there but cannot be opened is a problem of the list, named
// with the reason, in a folder too; a link counts by its target.
TEST_F(UploadList, UnreadableFilesAreListedAndLinksFollowed)
{
    const std::string target = Make("outside/real.wav");
    Make("font/a.wav");
    const std::string font = Make("font/");
    try {
        fs::create_symlink(target, font + "linked.wav");
        fs::create_symlink(Root / "outside" / "gone.wav", font + "dangling.wav");
        fs::create_directory_symlink(Root / "outside", font + "folder-link");
    } catch (const fs::filesystem_error& E) {
        GTEST_SKIP() << "no symbolic links here: " << E.what();
    }
    // "File <given> cannot be read: <the platform's reason>"
    const auto unreadable = [](const Names& Problems, const std::string& Given) {
        const std::string start = "File " + Given + " cannot be read: ";
        return Problems.size() == 1 && Problems[0].rfind(start, 0) == 0 && Problems[0].size() > start.size();
    };
    auto list = CheckUploadFiles({font}, "");
    EXPECT_TRUE(unreadable(list.Problems, font + "dangling.wav")) << testing::PrintToString(list.Problems);
    EXPECT_EQ(GivenOf(list), (Names{font + "a.wav", font + "linked.wav"}));

    list = CheckUploadFiles({font + "dangling.wav"}, "");
    EXPECT_TRUE(unreadable(list.Problems, font + "dangling.wav")) << testing::PrintToString(list.Problems);
    EXPECT_TRUE(list.Files.empty());
}

// Just before its turn a file is checked again at the path the run's check
// found, never looked up anew: gone from there, it is gone.
TEST_F(UploadList, TheCheckBeforeItsTurnDoesNoSecondLookup)
{
    const std::string exe = Make("bin/hiltpush");
    const std::string beside = Make("bin/beside.wav");
    TUploadFile file = ResolveUploadFile("beside.wav", exe);
    ASSERT_EQ(file.Problem, "");
    EXPECT_EQ(file.FullName, beside);
    EXPECT_EQ(file.FlashName, "beside.wav");
    EXPECT_EQ(file.Size, static_cast<std::int64_t>(std::string("bin/beside.wav").size()));
    fs::remove(beside);
    // Another file of that name, where a fresh lookup would look first.
    Make("beside.wav");
    const fs::path cwd = fs::current_path();
    fs::current_path(Root);
    CheckUploadFile(file);
    fs::current_path(cwd);
    EXPECT_EQ(file.Problem, "File beside.wav not found.");
}

} // namespace
} // namespace hp
