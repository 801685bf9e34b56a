// A folder that cannot be listed is a problem of the run, named with the
// system's reason, never a stray exception.
#include "app/upload_list.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

TEST(UploadListPosix, AFolderThatCannotBeListedIsNamedWithTheReason)
{
    const std::string folder = std::filesystem::temp_directory_path().string();
    // Without a free descriptor no folder can be opened, even by root.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(::open("/", O_RDONLY)); // the lowest free descriptor
    ::close(static_cast<int>(tight.rlim_cur));
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const hp::TUploadList list = hp::CheckUploadFiles({folder}, "");
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(list.Problems, std::vector<std::string>{"Folder " + folder + " cannot be read: " + std::strerror(EMFILE)});
}
