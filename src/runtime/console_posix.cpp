#include "runtime/console.h"

#include <cerrno>
#include <unistd.h>

namespace hp::rt {

void ConsoleInit() {}

std::string_view LineEnd() { return "\n"; }

void WriteRawOutput(std::string_view Bytes)
{
    const char* p = Bytes.data();
    std::size_t left = Bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return; // nowhere left to report it
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

} // namespace hp::rt
