#include "pseudo_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace hp::sim {
namespace {

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

void MakeRaw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return;
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&t, B115200);
    ::cfsetospeed(&t, B115200);
    ::tcsetattr(fd, TCSANOW, &t);
}

int OpenKeeper(const std::string& path) {
    return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

}  // namespace

TPseudoTerminal::TPseudoTerminal(const std::string& devicePath) : FPacketMode(devicePath.empty()) {
    try {
        if (FPacketMode) OpenPseudoTerminal();
        else {
            FSlavePath = devicePath;
            OpenDevice();
        }
    } catch (...) {
        CloseAll();
        throw;
    }
}

void TPseudoTerminal::OpenPseudoTerminal() {
    FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0) throw SystemError("cannot open a pseudo-terminal");
    if (::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0) throw SystemError("cannot unlock the pseudo-terminal");
    char name[128];
    if (::ptsname_r(FMaster, name, sizeof name) != 0) throw SystemError("cannot name the pseudo-terminal");
    FSlavePath = name;
    ::fcntl(FMaster, F_SETFL, ::fcntl(FMaster, F_GETFL) | O_NONBLOCK);
    MakeRaw(FMaster);
    int on = 1;
    if (::ioctl(FMaster, TIOCPKT, &on) != 0) throw SystemError("cannot set packet mode");

    FKeeper = OpenKeeper(FSlavePath);
    if (FKeeper < 0) throw SystemError("cannot open " + FSlavePath);
    MakeRaw(FKeeper);

    FWatch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (FWatch < 0) throw SystemError("cannot watch " + FSlavePath);
    if (::inotify_add_watch(FWatch, FSlavePath.c_str(), IN_OPEN | IN_CLOSE) < 0)
        throw SystemError("cannot watch " + FSlavePath);
}

void TPseudoTerminal::OpenDevice() {
    FMaster = ::open(FSlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (FMaster < 0) throw SystemError("cannot open " + FSlavePath);
    termios t{};
    if (::tcgetattr(FMaster, &t) != 0) throw SystemError(FSlavePath + " is not a terminal");
    MakeRaw(FMaster);
}

TPseudoTerminal::~TPseudoTerminal() {
    CloseAll();
}

void TPseudoTerminal::CloseAll() {
    for (int* fd : {&FWatch, &FKeeper, &FMaster}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

std::vector<TPseudoTerminal::PortEvent> TPseudoTerminal::TakePortEvents() {
    std::vector<PortEvent> events;
    if (FWatch < 0) return events;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(FWatch, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            if (e->mask & IN_Q_OVERFLOW) events.push_back(PortEvent::Lost);
            if (e->mask & IN_OPEN) events.push_back(PortEvent::Open);
            if (e->mask & IN_CLOSE) events.push_back(PortEvent::Close);
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    return events;
}

TPseudoTerminal::ReadResult TPseudoTerminal::Read(std::size_t limit) {
    ReadResult result;
    if (FMaster < 0 || limit == 0) return result;
    std::string buffer(limit + 1, '\0');
    // Without packet mode there is no header byte to make room for.
    const std::size_t want = FPacketMode ? buffer.size() : limit;
    ssize_t n;
    do n = ::read(FMaster, buffer.data(), want);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno != EAGAIN) result.What = ReadResult::HungUp;
        return result;
    }
    if (n == 0) {
        result.What = ReadResult::HungUp;
        return result;
    }
    if (!FPacketMode) {
        result.What = ReadResult::Data;
        result.Bytes.assign(buffer.data(), static_cast<std::size_t>(n));
        return result;
    }
    // In packet mode every read starts with a header byte: 0 for data,
    // otherwise TIOCPKT_* status bits and nothing else.
    if (buffer[0] != TIOCPKT_DATA) {
        result.What = ReadResult::Status;
        result.Flags = static_cast<unsigned char>(buffer[0]);
        return result;
    }
    if (n > 1) {
        result.What = ReadResult::Data;
        result.Bytes.assign(buffer.data() + 1, static_cast<std::size_t>(n - 1));
    }
    return result;
}

int TPseudoTerminal::DiscardPendingStatus() {
    if (FMaster < 0) return 0;
    pollfd p{FMaster, POLLPRI, 0};
    if (::poll(&p, 1, 0) != 1 || !(p.revents & POLLPRI)) return 0;
    // With a status pending, a read returns that status and no data.
    char header = 0;
    if (::read(FMaster, &header, 1) != 1) return 0;
    return static_cast<unsigned char>(header);
}

long TPseudoTerminal::Write(const char* data, std::size_t size) {
    if (FMaster < 0) return -1;
    ssize_t n;
    do n = ::write(FMaster, data, size);
    while (n < 0 && errno == EINTR);
    if (n < 0) return errno == EAGAIN ? 0 : -1;
    return n;
}

void TPseudoTerminal::Reset() {
    if (FKeeper < 0) return;
    ::ioctl(FKeeper, TIOCNXCL);
    MakeRaw(FKeeper);
}

bool TPseudoTerminal::RearmKeeper() {
    // The watch goes too: our own close and open must not count as the host's.
    for (int* fd : {&FWatch, &FKeeper}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    FKeeper = OpenKeeper(FSlavePath);
    if (FKeeper < 0) return false;
    MakeRaw(FKeeper);
    FWatch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    return FWatch >= 0 && ::inotify_add_watch(FWatch, FSlavePath.c_str(), IN_OPEN | IN_CLOSE) >= 0;
}

void TPseudoTerminal::HangUp() {
    CloseAll();
}

}  // namespace hp::sim

