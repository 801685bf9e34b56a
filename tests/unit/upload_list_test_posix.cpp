// A folder that cannot be listed is a problem of the run, named with the
// system's reason, never a stray exception.
#include "app/upload_list.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

TEST(UploadListPosix, AFolderThatCannotBeListedIsNamedWithTheReason)
{
    std::string folder = std::filesystem::temp_directory_path().string() + "/hp-unlisted-XXXXXX";
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    ASSERT_EQ(::chmod(folder.c_str(), 0), 0);
    // Checked by a child that the folder's mode holds back: root passes over
    // it, so a child of root's gives up root first.
    int result[2];
    ASSERT_EQ(::pipe(result), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && ::setuid(65534) != 0)
            ::_exit(2);
        const hp::TUploadList list = hp::CheckUploadFiles({folder}, "");
        const std::string text = list.Problems.size() == 1 ? list.Problems[0] : "problems: " +
                                                                                 std::to_string(list.Problems.size());
        ::_exit(::write(result[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 3);
    }
    ::close(result[1]);
    std::string text(4096, '\0');
    const ssize_t n = ::read(result[0], text.data(), text.size());
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    ::close(result[0]);
    int status = -1;
    ::waitpid(child, &status, 0);
    ::rmdir(folder.c_str());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(text, "Folder " + folder + " cannot be read: " + std::strerror(EACCES));
}
