#include "runtime/files.h"

#include "runtime/exceptions.h"

#include <cerrno>
#include "runtime/platform_error.h"
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hp::rt {

bool FileExists(const std::string& Path)
{
    struct stat st {};
    return ::stat(Path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
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
