#include "runtime/append_file.h"

#include "runtime/platform_error.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace hp::rt {

TAppendFile::~TAppendFile()
{
    Close();
}

void TAppendFile::Close()
{
    if (IsOpen())
        ::close(static_cast<int>(FHandle));
    FHandle = -1;
}

bool TAppendFile::Open(const std::string& Path, std::string& Reason)
{
    Close();
    const int fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        Reason = PlatformErrorText(errno);
        return false;
    }
    FHandle = fd;
    return true;
}

bool TAppendFile::Write(std::string_view Text, std::string& Reason)
{
    while (IsOpen() && !Text.empty()) {
        const ssize_t n = ::write(static_cast<int>(FHandle), Text.data(), Text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A write that takes nothing and says nothing cannot go on either.
            Reason = PlatformErrorText(n < 0 ? errno : ENOSPC);
            return false;
        }
        Text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

} // namespace hp::rt
