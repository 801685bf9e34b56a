// The serial device on POSIX terminals: termios for the line, poll for the
// waits, FIONREAD for the input count, flock plus TIOCEXCL for exclusive use,
// the modem-line ioctls and the driver's error counters.
#include "serialport/serial_backend.h"

#include <cerrno>
#include <chrono>
#include <cstdint>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace hp {

namespace {

struct TSpeed {
    std::uint32_t Baud;
    speed_t Code;
};

constexpr TSpeed Speeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedCode(std::uint32_t Baud, speed_t& Code)
{
    for (const TSpeed& s : Speeds)
        if (s.Baud == Baud) {
            Code = s.Code;
            return true;
        }
    return false;
}

std::uint32_t SpeedBaud(speed_t Code)
{
    for (const TSpeed& s : Speeds)
        if (s.Code == Code)
            return s.Baud;
    return 0;
}

using TClock = std::chrono::steady_clock;

// Milliseconds left until Deadline, never negative.
int MillisecondsLeft(TClock::time_point Deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, 0x7FFFFFFF)) : 0;
}

// poll on one descriptor, restarted after signals until the deadline.
int PollUntil(int Fd, short Events, TClock::time_point Deadline, short& Revents)
{
    for (;;) {
        pollfd p{Fd, Events, 0};
        const int r = ::poll(&p, 1, MillisecondsLeft(Deadline));
        if (r < 0 && errno == EINTR)
            continue;
        Revents = p.revents;
        return r;
    }
}

constexpr short HangUpEvents = POLLHUP | POLLERR | POLLNVAL;

class TPosixSerialBackend final : public TSerialBackend {
public:
    ~TPosixSerialBackend() override { Close(); }

    std::string DevicePath(const std::string& Name, int) const override { return Name; }

    int Open(const std::string& Path, int) override
    {
        if (FFd >= 0)
            return Fail("open", EBUSY);
        if (Path.find('\0') != std::string::npos)
            return Fail("open", ENOENT);
        const int fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return Fail("open", errno);
        // Take the lock before touching anything: a port that another process
        // holds keeps its settings.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno == EWOULDBLOCK ? EBUSY : errno;
            ::close(fd);
            return Fail("flock", error);
        }
        // The kernel lets a privileged user (sudo hiltpush) open a terminal
        // that another program holds in exclusive mode; taking it over would
        // change that program's settings and end its exclusive mode at close.
        int heldExclusive = 0;
        if (::ioctl(fd, TIOCGEXCL, &heldExclusive) == 0 && heldExclusive != 0) {
            ::close(fd);
            return Fail("open (held in exclusive mode)", EBUSY);
        }
        termios t{};
        if (::tcgetattr(fd, &t) != 0) {
            const int error = errno;
            ::close(fd);
            return Fail("tcgetattr", error);
        }
        if (::ioctl(fd, TIOCEXCL) != 0) {
            const int error = errno;
            ::close(fd);
            return Fail("ioctl TIOCEXCL", error);
        }
        // Raw bytes from the start, also before the line is configured. VMIN 1
        // makes a read without data answer EAGAIN, so that a read of nothing
        // can only mean the device hung up.
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        if (::tcsetattr(fd, TCSANOW, &t) != 0) {
            const int error = errno;
            ::ioctl(fd, TIOCNXCL);
            ::close(fd);
            return Fail("tcsetattr", error);
        }
        FFd = fd;
        FHaveCounts = ::ioctl(FFd, TIOCGICOUNT, &FCounts) == 0;
        return 0;
    }

    bool IsOpen() const override { return FFd >= 0; }

    std::uint64_t Handle() const override
    {
        return FFd >= 0 ? static_cast<std::uint64_t>(FFd) : ~std::uint64_t{0};
    }

    void Close() override
    {
        if (FFd < 0)
            return;
        ::ioctl(FFd, TIOCNXCL);
        ::close(FFd);
        FFd = -1;
        FHaveCounts = false;
    }

    int GetLineSettings(TSerialLineSettings& S) override
    {
        termios t{};
        if (FFd < 0)
            return Fail("tcgetattr", EBADF);
        if (::tcgetattr(FFd, &t) != 0)
            return Fail("tcgetattr", errno);
        S.BaudRate = SpeedBaud(::cfgetospeed(&t));
        switch (t.c_cflag & CSIZE) {
        case CS5: S.ByteSize = 5; break;
        case CS6: S.ByteSize = 6; break;
        case CS7: S.ByteSize = 7; break;
        default: S.ByteSize = 8; break;
        }
        if (!(t.c_cflag & PARENB))
            S.Parity = 0;
        else if (t.c_cflag & CMSPAR)
            S.Parity = (t.c_cflag & PARODD) ? 3 : 4;
        else
            S.Parity = (t.c_cflag & PARODD) ? 1 : 2;
        S.StopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
        std::uint32_t flags = dcb_Binary | dcb_DtrControlEnable;
        if (t.c_iflag & INPCK)
            flags |= dcb_ParityCheck;
        if (t.c_cflag & CRTSCTS)
            flags |= dcb_OutxCtsFlow | dcb_RtsControlHandshake;
        else
            flags |= dcb_RtsControlEnable;
        if (t.c_iflag & IXON)
            flags |= dcb_OutX;
        if (t.c_iflag & IXOFF)
            flags |= dcb_InX;
        S.Flags = flags;
        S.XonChar = static_cast<char>(t.c_cc[VSTART]);
        S.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
        return 0;
    }

    int SetLineSettings(const TSerialLineSettings& S) override
    {
        termios t{};
        if (FFd < 0)
            return Fail("tcsetattr", EBADF);
        if (::tcgetattr(FFd, &t) != 0)
            return Fail("tcgetattr", errno);
        speed_t speed{};
        if (!SpeedCode(S.BaudRate, speed))
            return Fail("cfsetspeed", EINVAL);
        tcflag_t size{};
        switch (S.ByteSize) {
        case 5: size = CS5; break;
        case 6: size = CS6; break;
        case 7: size = CS7; break;
        case 8: size = CS8; break;
        default: return Fail("tcsetattr", EINVAL);
        }
        // One and a half stop bits do not exist on this interface; refusing is
        // better than quietly sending another frame format.
        if (S.StopBits != 0 && S.StopBits != 2)
            return Fail("tcsetattr", EINVAL);
        if (S.Parity > 4)
            return Fail("tcsetattr", EINVAL);
        ::cfmakeraw(&t);
        t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
        t.c_cflag |= size | CLOCAL | CREAD;
        switch (S.Parity) {
        case 1: t.c_cflag |= PARENB | PARODD; break;
        case 2: t.c_cflag |= PARENB; break;
        case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
        case 4: t.c_cflag |= PARENB | CMSPAR; break;
        default: break;
        }
        if (S.StopBits == 2)
            t.c_cflag |= CSTOPB;
        t.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
        if (S.Flags & dcb_ParityCheck)
            t.c_iflag |= INPCK;
        if (S.Flags & dcb_OutxCtsFlow)
            t.c_cflag |= CRTSCTS;
        if (S.Flags & dcb_OutX)
            t.c_iflag |= IXON;
        if (S.Flags & dcb_InX)
            t.c_iflag |= IXOFF;
        t.c_cc[VSTART] = static_cast<cc_t>(S.XonChar);
        t.c_cc[VSTOP] = static_cast<cc_t>(S.XoffChar);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        ::cfsetispeed(&t, speed);
        ::cfsetospeed(&t, speed);
        if (::tcsetattr(FFd, TCSANOW, &t) != 0)
            return Fail("tcsetattr", errno);
        return 0;
    }

    int SetRTS(bool Value) override { return ModemLine(TIOCM_RTS, Value); }
    int SetDTR(bool Value) override { return ModemLine(TIOCM_DTR, Value); }

    int ModemStatus(std::uint32_t& Word) override
    {
        Word = 0;
        int bits = 0;
        if (FFd < 0)
            return Fail("ioctl TIOCMGET", EBADF);
        if (::ioctl(FFd, TIOCMGET, &bits) != 0)
            return Fail("ioctl TIOCMGET", errno);
        if (bits & TIOCM_CTS)
            Word |= msCtsOn;
        if (bits & TIOCM_DSR)
            Word |= msDsrOn;
        if (bits & TIOCM_RI)
            Word |= msRingOn;
        if (bits & TIOCM_CD)
            Word |= msRlsdOn;
        return 0;
    }

    int Purge(unsigned Flags) override
    {
        if (FFd < 0)
            return Fail("tcflush", EBADF);
        // Nothing runs in the background here, so the abort flags have
        // nothing to cancel; only the clear flags reach the driver.
        const bool in = Flags & PurgeRxClear, out = Flags & PurgeTxClear;
        if (!in && !out)
            return 0;
        if (::tcflush(FFd, in && out ? TCIOFLUSH : in ? TCIFLUSH : TCOFLUSH) != 0)
            return Fail("tcflush", errno);
        return 0;
    }

    int Flush(int DeadlockTimeout, bool& TimedOut) override
    {
        TimedOut = false;
        if (FFd < 0)
            return Fail("tcdrain", EBADF);
        // tcdrain alone would wait for ever on a device that stopped taking
        // bytes; watch the output queue instead and drain only once it is
        // empty, within the deadlock time-out.
        const auto deadline = TClock::now() + std::chrono::milliseconds(DeadlockTimeout > 0 ? DeadlockTimeout : 0);
        for (;;) {
            int queued = 0;
            if (::ioctl(FFd, TIOCOUTQ, &queued) != 0 || queued <= 0)
                break;
            if (MillisecondsLeft(deadline) == 0) {
                TimedOut = true;
                return 0;
            }
            ::poll(nullptr, 0, std::min(MillisecondsLeft(deadline), 5));
        }
        while (::tcdrain(FFd) != 0) {
            if (errno != EINTR)
                return Fail("tcdrain", errno);
        }
        return 0;
    }

    int BytesWaiting(int& Count) override
    {
        Count = 0;
        if (FFd < 0)
            return Fail("ioctl FIONREAD", EBADF);
        if (::ioctl(FFd, FIONREAD, &Count) != 0) {
            Count = 0;
            return Fail("ioctl FIONREAD", errno);
        }
        return 0;
    }

    int BytesQueuedOut(int& Count) override
    {
        Count = 0;
        if (FFd < 0)
            return Fail("ioctl TIOCOUTQ", EBADF);
        if (::ioctl(FFd, TIOCOUTQ, &Count) != 0) {
            Count = 0;
            return Fail("ioctl TIOCOUTQ", errno);
        }
        return 0;
    }

    TSerialWait WaitReadable(int Timeout, int& Error) override
    {
        Error = 0;
        if (FFd < 0) {
            Error = Fail("poll", EBADF);
            return TSerialWait::Failed;
        }
        const auto deadline = TClock::now() + std::chrono::milliseconds(Timeout > 0 ? Timeout : 0);
        short revents = 0;
        const int r = PollUntil(FFd, POLLIN, deadline, revents);
        if (r < 0) {
            Error = Fail("poll", errno);
            return TSerialWait::Failed;
        }
        if (r == 0)
            return TSerialWait::TimedOut;
        if (revents & HangUpEvents) {
            // A hung-up terminal reports itself readable for ever; only bytes
            // really waiting count.
            int count = 0;
            if (::ioctl(FFd, FIONREAD, &count) == 0 && count > 0)
                return TSerialWait::Ready;
            // What a read of the hung-up terminal reports.
            Error = Fail("poll (hung up)", EIO);
            return TSerialWait::HungUp;
        }
        return TSerialWait::Ready;
    }

    TSerialTransfer Read(void* Buffer, int Length, int DeadlockTimeout) override
    {
        auto* bytes = static_cast<unsigned char*>(Buffer);
        return Transfer("read", POLLIN, Length, DeadlockTimeout, [&](int Done) {
            return ::read(FFd, bytes + Done, static_cast<std::size_t>(Length - Done));
        });
    }

    TSerialTransfer Write(const void* Buffer, int Length, int DeadlockTimeout) override
    {
        const auto* bytes = static_cast<const unsigned char*>(Buffer);
        return Transfer("write", POLLOUT, Length, DeadlockTimeout, [&](int Done) {
            return ::write(FFd, bytes + Done, static_cast<std::size_t>(Length - Done));
        });
    }

    std::uint32_t LineErrors() override
    {
        if (FFd < 0 || !FHaveCounts)
            return 0;
        serial_icounter_struct now{};
        if (::ioctl(FFd, TIOCGICOUNT, &now) != 0)
            return 0;
        std::uint32_t mask = 0;
        if (now.frame != FCounts.frame)
            mask |= ceFrame;
        if (now.overrun != FCounts.overrun)
            mask |= ceOverrun;
        if (now.buf_overrun != FCounts.buf_overrun)
            mask |= ceRxOver;
        if (now.parity != FCounts.parity)
            mask |= ceRxParity;
        if (now.brk != FCounts.brk)
            mask |= ceBreak;
        FCounts = now;
        return mask;
    }

    int LastPlatformError() const override { return FLastError; }

private:
    // One read (Events POLLIN) or write (POLLOUT) of Length bytes on the
    // non-blocking descriptor, waiting for the device in between, for at
    // most DeadlockTimeout ms in all. A hung-up device ends it with EIO.
    template <typename TStep>
    TSerialTransfer Transfer(const char* Call, short Events, int Length, int DeadlockTimeout, TStep Step)
    {
        TSerialTransfer done;
        if (FFd < 0) {
            done.Error = Fail(Call, EBADF);
            return done;
        }
        const auto deadline = TClock::now() + std::chrono::milliseconds(DeadlockTimeout > 0 ? DeadlockTimeout : 0);
        while (done.Count < Length) {
            const ssize_t r = Step(done.Count);
            if (r > 0) {
                done.Count += static_cast<int>(r);
                continue;
            }
            if (r == 0 && Events == POLLIN) {
                // End of file on a terminal: it hung up.
                done.Error = Fail("read (end of file)", EIO);
                return done;
            }
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0 && errno != EAGAIN) {
                done.Error = Fail(Call, errno);
                return done;
            }
            short revents = 0;
            const int p = PollUntil(FFd, Events, deadline, revents);
            if (p < 0) {
                done.Error = Fail("poll", errno);
                return done;
            }
            if (p == 0) {
                done.TimedOut = true;
                return done;
            }
            if ((revents & HangUpEvents) && !(revents & Events)) {
                done.Error = Fail("poll (hung up)", EIO);
                return done;
            }
        }
        return done;
    }

    int Fail(const char* Call, int Error)
    {
        FLastError = Error;
        CallFailed(Call, Error);
        return Error;
    }

    int ModemLine(int Bit, bool Value)
    {
        if (FFd < 0)
            return Fail(Value ? "ioctl TIOCMBIS" : "ioctl TIOCMBIC", EBADF);
        if (::ioctl(FFd, Value ? TIOCMBIS : TIOCMBIC, &Bit) != 0)
            return Fail(Value ? "ioctl TIOCMBIS" : "ioctl TIOCMBIC", errno);
        return 0;
    }

    int FFd = -1;
    int FLastError = 0;
    bool FHaveCounts = false;
    serial_icounter_struct FCounts{};
};

} // namespace

std::unique_ptr<TSerialBackend> CreateSerialBackend()
{
    return std::make_unique<TPosixSerialBackend>();
}

} // namespace hp
