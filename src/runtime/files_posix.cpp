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

bool FileExists(const std::string& Path)
{
    struct stat st {};
    return ::stat(Path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FolderExists(const std::string& Path)
{
    struct stat st {};
    return ::stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> RegularFilesIn(const std::string& Folder)
{
    const auto fail = [&Folder](int Error) {
        RaiseInOutError(Folder + ": " + PlatformErrorText(Error), Error);
    };
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
        // The entry's own type would not follow a link; stat does.
        struct stat st {};
        if (::fstatat(::dirfd(dir.get()), entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode))
            names.emplace_back(entry->d_name);
    }
}

std::string JoinPath(const std::string& Folder, const std::string& Name)
{
    if (!Folder.empty() && Folder.back() == '/')
        return Folder + Name;
    return Folder + "/" + Name;
}

TByteFile::TByteFile(const std::string& Path)
{
    FHandle = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
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
