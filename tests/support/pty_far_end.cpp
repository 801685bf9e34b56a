#include "pty_far_end.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace hp::test {

namespace {

using TClock = std::chrono::steady_clock;

int MsLeft(TClock::time_point Deadline)
{
    const auto left = std::chrono::duration_cast<Ms>(Deadline - TClock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

std::runtime_error SystemError(const std::string& What)
{
    return std::runtime_error(What + ": " + std::strerror(errno));
}

void Own(int Fd)
{
    ::fcntl(Fd, F_SETFL, ::fcntl(Fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(Fd, F_SETFD, FD_CLOEXEC);
}

} // namespace

TTerminalEnd::TTerminalEnd(int Fd)
{
    Adopt(Fd);
}

void TTerminalEnd::Adopt(int Fd)
{
    Close();
    FFd = Fd;
    FPending.clear();
    FHungUp = false;
    if (FFd >= 0)
        Own(FFd);
}

TTerminalEnd::~TTerminalEnd()
{
    Close();
}

void TTerminalEnd::Close()
{
    if (FFd >= 0) {
        ::close(FFd);
        FFd = -1;
    }
}

bool TTerminalEnd::Write(const std::string& Bytes, Ms Timeout)
{
    const auto deadline = TClock::now() + Timeout;
    std::size_t done = 0;
    while (done < Bytes.size()) {
        const ssize_t n = ::write(FFd, Bytes.data() + done, Bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{FFd, POLLOUT, 0};
        if (::poll(&p, 1, MsLeft(deadline)) <= 0)
            return false;
        if (p.revents & (POLLHUP | POLLERR))
            return false;
    }
    return true;
}

bool TTerminalEnd::Fill(TClock::time_point Deadline)
{
    if (FHungUp || FFd < 0)
        return false;
    pollfd p{FFd, POLLIN, 0};
    if (::poll(&p, 1, MsLeft(Deadline)) <= 0)
        return false;
    char buffer[65536];
    const ssize_t n = ::read(FFd, buffer, sizeof buffer);
    if (n > 0) {
        FPending.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR))
        FHungUp = true;
    return !FHungUp;
}

std::optional<std::string> TTerminalEnd::ReadLine(Ms Timeout)
{
    const auto deadline = TClock::now() + Timeout;
    for (;;) {
        const auto lf = FPending.find('\n');
        if (lf != std::string::npos) {
            std::string line = FPending.substr(0, lf);
            FPending.erase(0, lf + 1);
            return line;
        }
        if (TClock::now() >= deadline || !Fill(deadline))
            return std::nullopt;
    }
}

std::optional<std::string> TTerminalEnd::ReadExactly(std::size_t Count, Ms Timeout)
{
    const auto deadline = TClock::now() + Timeout;
    while (FPending.size() < Count)
        if (TClock::now() >= deadline || !Fill(deadline))
            return std::nullopt;
    std::string bytes = FPending.substr(0, Count);
    FPending.erase(0, Count);
    return bytes;
}

std::string TTerminalEnd::ReadFor(Ms Window)
{
    const auto deadline = TClock::now() + Window;
    while (TClock::now() < deadline && !FHungUp && FFd >= 0)
        Fill(deadline);
    std::string bytes;
    bytes.swap(FPending);
    return bytes;
}

std::string TTerminalEnd::ReadAvailable(Ms Silence)
{
    while (Fill(TClock::now() + Silence)) {
    }
    std::string bytes;
    bytes.swap(FPending);
    return bytes;
}

bool TTerminalEnd::WaitHangUp(Ms Timeout)
{
    const auto deadline = TClock::now() + Timeout;
    while (!FHungUp) {
        pollfd p{FFd, POLLIN, 0};
        if (::poll(&p, 1, MsLeft(deadline)) <= 0)
            return false;
        if (p.revents & POLLHUP)
            return true;
        Fill(deadline);
    }
    return true;
}

TPtyFarEnd::TPtyFarEnd()
{
    char name[256] = {};
    termios raw{};
    ::cfmakeraw(&raw);
    int master = -1;
    if (::openpty(&master, &FSlave, name, &raw, nullptr) != 0)
        throw SystemError("openpty");
    FSlavePath = name;
    ::fcntl(FSlave, F_SETFD, FD_CLOEXEC);
    Adopt(master);
}

TPtyFarEnd::~TPtyFarEnd()
{
    HangUp();
    if (FSlave >= 0)
        ::close(FSlave);
}

int OpenRawPort(const std::string& Path, bool Purge)
{
    const int fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw SystemError("open " + Path);
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    ::tcsetattr(fd, TCSANOW, &t);
    if (Purge)
        ::tcflush(fd, TCIOFLUSH);
    return fd;
}

long long ThreadCpuMicroseconds()
{
    rusage u{};
    ::getrusage(RUSAGE_THREAD, &u);
    return (static_cast<long long>(u.ru_utime.tv_sec) + u.ru_stime.tv_sec) * 1000000LL + u.ru_utime.tv_usec
        + u.ru_stime.tv_usec;
}

} // namespace hp::test
