// Asks a terminal device what a pseudo-terminal cannot tell: whether it
// keeps line-error counters (TIOCGICOUNT), how many bytes one-byte writes
// get into it before it stops taking them when nobody reads the far end,
// and what its output queue (TIOCOUTQ) then reports. The rig prints the
// answers next to its scenarios.
//
//   tty_probe DEVICE MAX-BYTES
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: tty_probe DEVICE MAX-BYTES\n");
        return 2;
    }
    const long max = std::strtol(argv[2], nullptr, 10);
    const int fd = ::open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::printf("open %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);

    serial_icounter_struct counts{};
    if (::ioctl(fd, TIOCGICOUNT, &counts) == 0)
        std::printf("TIOCGICOUNT: supported (frame %d overrun %d parity %d brk %d buf_overrun %d)\n", counts.frame,
                    counts.overrun, counts.parity, counts.brk, counts.buf_overrun);
    else
        std::printf("TIOCGICOUNT: %s\n", std::strerror(errno));

    // One byte per write, as hiltpush sends; a write that would block means
    // the driver holds all it can take. Wait a little for it to drain first.
    long written = 0;
    while (written < max) {
        const char byte = static_cast<char>(written);
        const ssize_t n = ::write(fd, &byte, 1);
        if (n == 1) {
            ++written;
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            std::printf("write: %s\n", std::strerror(errno));
            break;
        }
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 500) != 1)
            break;
    }
    int queued = -1;
    ::ioctl(fd, TIOCOUTQ, &queued);
    std::printf("one-byte writes taken: %ld; TIOCOUTQ then: %d\n", written, queued);
    ::usleep(500000);
    ::ioctl(fd, TIOCOUTQ, &queued);
    std::printf("TIOCOUTQ half a second later: %d\n", queued);
    ::tcflush(fd, TCOFLUSH);
    ::ioctl(fd, TIOCOUTQ, &queued);
    std::printf("TIOCOUTQ after tcflush(TCOFLUSH): %d\n", queued);
    ::close(fd);
    return 0;
}
