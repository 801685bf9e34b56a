// The floors of the upload benchmark: the least a program can spend to put a
// file on a pseudo-terminal, either one write per byte (the floor of a
// protocol that sends byte by byte) or one write of the whole file (the floor
// of the link). It speaks only what the board needs to take the bytes as a
// file: the write command, its reply, the data, the closing reply.
//
//   floor_writer per-byte|whole <port> <file>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

int Fail(const char* What)
{
    std::fprintf(stderr, "floor_writer: %s: %s\n", What, std::strerror(errno));
    return 2;
}

bool WriteAll(int Fd, const char* Data, std::size_t Size)
{
    while (Size > 0) {
        const ssize_t n = ::write(Fd, Data, Size);
        if (n > 0) {
            Data += n;
            Size -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{Fd, POLLOUT, 0};
            ::poll(&p, 1, 30000);
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}

std::string ReadLine(int Fd)
{
    std::string line;
    for (;;) {
        pollfd p{Fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            return line;
        char c;
        const ssize_t n = ::read(Fd, &c, 1);
        if (n <= 0 || c == '\n')
            return line;
        line.push_back(c);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
        return std::fprintf(stderr, "usage: floor_writer per-byte|whole <port> <file>\n"), 2;
    const std::string mode = argv[1];
    std::ifstream in(argv[3], std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const int fd = ::open(argv[2], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Fail("open");
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B115200);
    t.c_cflag |= CLOCAL | CREAD;
    ::tcsetattr(fd, TCSANOW, &t);

    std::string name = argv[3];
    name = name.substr(name.find_last_of('/') + 1);
    const std::string command = "WR=floor-" + name + "," + std::to_string(data.size()) + "\n";
    if (!WriteAll(fd, command.data(), command.size()))
        return Fail("write");
    if (ReadLine(fd).rfind("OK, Write ", 0) != 0)
        return std::fprintf(stderr, "floor_writer: write refused\n"), 2;
    if (mode == "whole") {
        if (!WriteAll(fd, data.data(), data.size()))
            return Fail("write");
    } else {
        for (const char c : data) {
            if (!WriteAll(fd, &c, 1))
                return Fail("write");
        }
    }
    const std::string reply = ReadLine(fd);
    ::close(fd);
    std::printf("%s\n", reply.c_str());
    return reply.rfind("OK", 0) == 0 ? 0 : 1;
}
