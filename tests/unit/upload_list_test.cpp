// From the command line to the checked list of files an upload run sends.
#include "app/upload_list.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace hp {
namespace {

namespace fs = std::filesystem;

// A fresh folder of files, removed at the end.
class TTree {
public:
    TTree() : FRoot(fs::temp_directory_path() / ("hp_upload_list_" + std::to_string(++Serial)))
    {
        fs::remove_all(FRoot);
        fs::create_directories(FRoot);
    }
    ~TTree()
    {
        std::error_code ec;
        fs::remove_all(FRoot, ec);
    }
    // Creates the file (and its folders); returns its path.
    std::string File(const std::string& Rel) const
    {
        const fs::path p = FRoot / Rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << Rel;
        return p.string();
    }
    std::string Folder(const std::string& Rel) const
    {
        fs::create_directories(FRoot / Rel);
        return (FRoot / Rel).string();
    }

private:
    static inline int Serial = 0;
    fs::path FRoot;
};

std::vector<std::string> GivenOf(const TUploadList& List)
{
    std::vector<std::string> given;
    for (const auto& f : List.Files)
        given.push_back(f.Given);
    return given;
}

TEST(UploadList, WhichParametersAreFiles)
{
    using V = std::vector<std::string>;
    // Options keep their meaning wherever they stand; a file whose name
    // begins with '-' is given with a path.
    EXPECT_EQ(UploadParams({"a.wav", "-s", "font", "--x=1", "./-b.wav"}), (V{"a.wav", "font", "./-b.wav"}));
    // No file parameter: the last parameter, as a single-file run always took.
    EXPECT_EQ(UploadParams({"-x"}), V{"-x"});
    EXPECT_EQ(UploadParams({"-x", "-s"}), V{"-s"});
    EXPECT_EQ(UploadParams({"-s", ""}), V{""});
}

// A folder stands for its regular files in byte order (capitals before small
// letters, bytes above 0x7F last), without dot-files and sub-folders; the
// files of a long list keep their order.
TEST(UploadList, FolderExpansionAndOrder)
{
    TTree t;
    for (const char* name : {"c.wav", "\xC3\xA9.wav", "a.wav", "B.wav", ".hidden", "sub/deep.wav"})
        t.File(std::string("font/") + name);
    const std::string font = t.Folder("font") + "/";
    const auto list = CheckUploadFiles({font}, "");
    EXPECT_TRUE(list.Problems.empty());
    EXPECT_EQ(GivenOf(list), (std::vector<std::string>{font + "B.wav", font + "a.wav", font + "c.wav",
                                                       font + "\xC3\xA9.wav"}));

    std::vector<std::string> many;
    for (int i = 999; i >= 0; --i)
        many.push_back(t.File("many/f" + std::to_string(i) + ".raw"));
    const auto long_list = CheckUploadFiles(many, "");
    EXPECT_TRUE(long_list.Problems.empty());
    EXPECT_EQ(GivenOf(long_list), many);
}

// Every problem of a list is found, in order, and only the sound files are
// left; a missing file is reported as missing, not for its name.
TEST(UploadList, EveryProblemIsListed)
{
    TTree t;
    const std::string good = t.File("good.wav");
    const std::string dup1 = t.File("one/hum.wav");
    const std::string dup2 = t.File("two/hum.wav");
    t.File("empty/.only-a-dot-file");
    t.Folder("empty/sub");
    const std::string empty = t.Folder("empty");
    const std::string missing = "gone\x01.wav";
    // Found next to the program when not found as given.
    t.File("bin/beside.wav");
    const std::string exe = t.Folder("bin") + "/hiltpush";

    const auto list = CheckUploadFiles({good, missing, dup1, empty, dup2, "beside.wav", good, dup2}, exe);
    EXPECT_EQ(list.Problems, (std::vector<std::string>{
                                 "File " + missing + " not found.",
                                 "No files to upload in " + empty + ".",
                                 "ERROR, Serial Flash Name used twice: hum.wav",
                                 "ERROR, Serial Flash Name used twice: good.wav",
                             }));
    EXPECT_EQ(GivenOf(list), (std::vector<std::string>{good, dup1, "beside.wav"}));
    EXPECT_EQ(list.Files.back().FullName, t.Folder("bin") + "/beside.wav");
}

} // namespace
} // namespace hp
