#include "runtime/files.h"

#include "runtime/exceptions.h"

#include "runtime/platform_error.h"

#include <cerrno>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hp::rt {

namespace {

// A regular file by its link's target, or a link whose target is missing.
bool IsFileEntry(int Dir, const char* Name)
{
    struct stat st {};
    if (::fstatat(Dir, Name, &st, 0) == 0)
        return S_ISREG(st.st_mode);
    return ::fstatat(Dir, Name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

} // namespace

bool FileExists(const std::string& Path)
{
    return IsFileEntry(AT_FDCWD, Path.c_str());
}

bool FolderExists(const std::string& Path)
{
    struct stat st {};
    return ::stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> FilesIn(const std::string& Folder)
{
    const auto fail = [](int Error) { RaiseInOutError(PlatformErrorText(Error), Error); };
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(Folder.c_str()), ::closedir);
    if (!dir)
        fail(errno);
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (!entry) {
            if (errno != 0)
                fail(errno);
            return names;
        }
        // The entry's own type would not follow a link.
        if (IsFileEntry(::dirfd(dir.get()), entry->d_name))
            names.emplace_back(entry->d_name);
    }
}

std::optional<TFileIdentity> FileIdentity(const std::string& Path)
{
    struct stat st {};
    if (::stat(Path.c_str(), &st) != 0)
        return std::nullopt;
    return TFileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::string JoinPath(const std::string& Folder, const std::string& Name)
{
    if (!Folder.empty() && Folder.back() == '/')
        return Folder + Name;
    return Folder + "/" + Name;
}

std::string ListedPath(const std::string& Folder, const std::string& Name)
{
    return JoinPath(Folder, Name);
}

TByteFile::TByteFile(const std::string& Path)
{
    // Never blocks, should the file have been swapped for a pipe or a device.
    FHandle = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (FHandle < 0) {
        const int err = errno;
        RaiseInOutError(PlatformErrorText(err), err);
    }
}

TByteFile::~TByteFile()
{
    ::close(static_cast<int>(FHandle));
}

std::int64_t TByteFile::Size()
{
    struct stat st {};
    if (::fstat(static_cast<int>(FHandle), &st) != 0) {
        const int err = errno;
        RaiseInOutError(PlatformErrorText(err), err);
    }
    return static_cast<std::int64_t>(st.st_size);
}

std::size_t TByteFile::Read(char* Buffer, std::size_t Count)
{
    for (;;) {
        const ssize_t n = ::read(static_cast<int>(FHandle), Buffer, Count);
        if (n >= 0)
            return static_cast<std::size_t>(n);
        const int err = errno;
        if (err != EINTR)
            RaiseInOutError(PlatformErrorText(err), err);
    }
}

} // namespace hp::rt
