#include "runtime/console.h"

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace hp::rt {

TConsoleSession::~TConsoleSession() = default;

TConsoleSession::TConsoleSession()
{
    // A reader that goes away (a pipe into "head", a launcher that quits)
    // must not kill the program in the middle of a flash write: the write
    // fails instead, and the output is dropped.
    ::signal(SIGPIPE, SIG_IGN);
}

std::string_view LineEnd() { return "\n"; }

namespace {

void WriteAll(int Fd, std::string_view Bytes)
{
    const char* p = Bytes.data();
    std::size_t left = Bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(Fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return; // the console is gone: nowhere left to report it
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

} // namespace

// Both kinds of text are bytes here, written as they stand.
void WriteOutput(std::string_view Text, TTextOrigin)
{
    WriteAll(STDOUT_FILENO, Text);
}

void WriteErrorOutput(std::string_view Text)
{
    WriteAll(STDERR_FILENO, Text);
}

} // namespace hp::rt
