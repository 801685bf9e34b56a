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

#include <gtest/gtest.h>

namespace hp::test {

namespace {

[[noreturn]] void Fail(const std::string& What)
{
    throw std::runtime_error(What + ": " + std::strerror(errno));
}

} // namespace

TPtyFarEnd::TPtyFarEnd()
{
    char name[256] = {};
    termios raw{};
    ::cfmakeraw(&raw);
    if (::openpty(&FMaster, &FSlave, name, &raw, nullptr) != 0)
        Fail("openpty");
    FSlavePath = name;
    ::fcntl(FMaster, F_SETFL, ::fcntl(FMaster, F_GETFL) | O_NONBLOCK);
    ::fcntl(FMaster, F_SETFD, FD_CLOEXEC);
    ::fcntl(FSlave, F_SETFD, FD_CLOEXEC);
}

TPtyFarEnd::~TPtyFarEnd()
{
    HangUp();
    if (FSlave >= 0)
        ::close(FSlave);
}

void TPtyFarEnd::Write(const std::string& Bytes)
{
    std::size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (done < Bytes.size()) {
        const ssize_t r = ::write(FMaster, Bytes.data() + done, Bytes.size() - done);
        if (r > 0) {
            done += static_cast<std::size_t>(r);
            continue;
        }
        if (r < 0 && errno != EAGAIN && errno != EINTR)
            Fail("write to the port");
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("the port does not take the bytes");
        pollfd p{FMaster, POLLOUT, 0};
        ::poll(&p, 1, 100);
    }
}

std::string TPtyFarEnd::ReadExactly(std::size_t Count, std::chrono::milliseconds Limit)
{
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + Limit;
    char buffer[4096];
    while (got.size() < Count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{FMaster, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        const ssize_t r = ::read(FMaster, buffer, std::min(sizeof buffer, Count - got.size()));
        if (r > 0)
            got.append(buffer, static_cast<std::size_t>(r));
        else if (r == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    EXPECT_EQ(got.size(), Count) << "the far end got too few bytes";
    return got;
}

std::string TPtyFarEnd::ReadAvailable(std::chrono::milliseconds Limit)
{
    std::string got;
    char buffer[4096];
    for (;;) {
        pollfd p{FMaster, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(Limit.count())) <= 0)
            return got;
        const ssize_t r = ::read(FMaster, buffer, sizeof buffer);
        if (r <= 0)
            return got;
        got.append(buffer, static_cast<std::size_t>(r));
    }
}

void TPtyFarEnd::HangUp()
{
    if (FMaster >= 0) {
        ::close(FMaster);
        FMaster = -1;
    }
}

long long ThreadCpuMicroseconds()
{
    rusage u{};
    ::getrusage(RUSAGE_THREAD, &u);
    return (static_cast<long long>(u.ru_utime.tv_sec) + u.ru_stime.tv_sec) * 1000000LL + u.ru_utime.tv_usec
        + u.ru_stime.tv_usec;
}

} // namespace hp::test
