// A folder that cannot be listed is a problem of the run, named with the
// system's reason, never a stray exception.
#include "app/upload_list.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <sys/resource.h>
#include <unistd.h>

namespace hp {
namespace {

TEST(UploadListPosix, AFolderThatCannotBeListedIsNamedWithTheReason)
{
    const auto folder = std::filesystem::temp_directory_path() / "hp_upload_list_unlistable";
    std::filesystem::create_directories(folder);
    // Without a free descriptor the folder cannot be opened, even by root,
    // whom permissions do not stop.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const TUploadList list = CheckUploadFiles({folder.string()}, "");
    ::setrlimit(RLIMIT_NOFILE, &saved);
    std::filesystem::remove_all(folder);
    EXPECT_EQ(list.Problems,
              std::vector<std::string>{"Folder " + folder.string() + " cannot be read: " + std::strerror(EMFILE)});
    EXPECT_TRUE(list.Files.empty());
}

} // namespace
} // namespace hp
