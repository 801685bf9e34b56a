// A folder's listed names are read at the folder's long-form path, where no
// path rule can trim or reinterpret them.
#include "runtime/files.h"
#include "runtime/wide_text_win32.h"

#include <gtest/gtest.h>

namespace {

using hp::rt::ListedPath;

TEST(ListedPath, LongFormFolderAndTheNameAsListed)
{
    wchar_t cwd[MAX_PATH];
    const DWORD n = GetCurrentDirectoryW(MAX_PATH, cwd);
    ASSERT_GT(n, 0u);
    std::string here = hp::rt::Narrow(std::wstring_view(cwd, n));
    if (here.back() != '\\')
        here += '\\';
    EXPECT_EQ(ListedPath("C:\\fonts", "a.wav."), "\\\\?\\C:\\fonts\\a.wav.");
    EXPECT_EQ(ListedPath("C:/fonts/", "a.wav "), "\\\\?\\C:\\fonts\\a.wav ");
    EXPECT_EQ(ListedPath("\\\\server\\share\\font", "con.wav"), "\\\\?\\UNC\\server\\share\\font\\con.wav");
    EXPECT_EQ(ListedPath("font", "caf\xC3\xA9.wav"), "\\\\?\\" + here + "font\\caf\xC3\xA9.wav");
    EXPECT_EQ(ListedPath("\\\\?\\C:\\x", "nul"), "\\\\?\\C:\\x\\nul");
}

} // namespace
