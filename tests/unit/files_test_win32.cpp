// A folder's listed names are read at the folder's long-form path, where no
// path rule trims them or takes one for a device.
#include "runtime/files.h"

#include <filesystem>
#include <gtest/gtest.h>

TEST(ListedPath, LongFormFolderAndTheNameAsListed)
{
    using hp::rt::ListedPath;
    const std::u8string cwd = std::filesystem::current_path().u8string();
    EXPECT_EQ(ListedPath("C:\\fonts", "a.wav."), "\\\\?\\C:\\fonts\\a.wav.");
    EXPECT_EQ(ListedPath("C:/fonts/", "a.wav "), "\\\\?\\C:\\fonts\\a.wav ");
    EXPECT_EQ(ListedPath("\\\\server\\share\\font", "con.wav"), "\\\\?\\UNC\\server\\share\\font\\con.wav");
    EXPECT_EQ(ListedPath("font", "caf\xC3\xA9.wav"), "\\\\?\\" + std::string(cwd.begin(), cwd.end()) + "\\font\\caf\xC3\xA9.wav");
}
