// The serial object on real pseudo-terminals, the test playing the device.
#include "serialport/serial_port.h"

#include <cerrno>
#include <cstring>
#include <future>
#include <thread>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "pty_far_end.h"

namespace hp {
namespace {

using namespace std::chrono_literals;
using test::LoadSlackMs;
using test::TimeIt;
using test::TPtyFarEnd;

// A read that must not wait is given a time-out far beyond the hang guard, so
// that waiting for it cannot pass unnoticed however loaded the machine is.
constexpr int LongWait = 60000;

class SerialPty : public ::testing::Test {
protected:
    TPtyFarEnd Far;
    TSerialPort Port;
    std::promise<void> Taken;

    // Reports (through the returned future) the first read from the device,
    // so that the far end knows its bytes are in the object.
    std::future<void> NotifyFirstRead()
    {
        Port.SetOnStatus([this, fired = false](TSerialPort*, THookSerialReason r, const std::string& v) mutable {
            if (r == HR_ReadCount && v != "0" && !fired) {
                fired = true;
                Taken.set_value();
            }
        });
        return Taken.get_future();
    }

    void Open()
    {
        Port.Connect(Far.SlavePath());
        ASSERT_EQ(Port.LastError(), 0) << Port.LastErrorDesc();
        Port.Config(115200, 8, 'N', SB1, false, false);
        ASSERT_EQ(Port.LastError(), 0) << Port.LastErrorDesc();
    }
};

TEST_F(SerialPty, OpensByItsPathWithTheLineSetRaw)
{
    Open();
    EXPECT_TRUE(Port.InstanceActive());
    EXPECT_EQ(Port.Device(), Far.SlavePath());
    EXPECT_NE(Port.Handle(), ~std::uint64_t{0});
    termios t{};
    ASSERT_EQ(tcgetattr(Far.SlaveFd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);

    Port.Config(9600, 7, 'E', SB2, false, false);
    ASSERT_EQ(tcgetattr(Far.SlaveFd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    // A pseudo-terminal always keeps 8 bits without parity, so only the
    // parts it does keep are looked at here.
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_NE(t.c_iflag & INPCK, 0u);
    Port.Config(9600, 8, 'N', SB1, false, false);
    ASSERT_EQ(tcgetattr(Far.SlaveFd(), &t), 0);
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(t.c_iflag & INPCK, 0u);
    // Settings this interface cannot give are refused, not approximated.
    Port.Config(115200, 8, 'N', SB1andHalf, false, false);
    EXPECT_EQ(Port.LastError(), EINVAL);
    Port.Config(12345, 8, 'N', SB1, false, false);
    EXPECT_EQ(Port.LastError(), EINVAL);
    EXPECT_EQ(Port.LastErrorDesc(), std::strerror(EINVAL));

    Port.CloseSocket();
    EXPECT_EQ(Port.LastError(), 0);
    EXPECT_FALSE(Port.InstanceActive());
    // Config, Flush and Purge on a closed object fail on the missing device.
    Port.Config(115200, 8, 'N', SB1, false, false);
    EXPECT_EQ(Port.LastError(), EBADF);
    Port.Flush();
    EXPECT_EQ(Port.LastError(), EBADF);
    Port.SetLineBuffer("x");
    Port.Purge();
    EXPECT_EQ(Port.LastError(), EBADF);
    EXPECT_EQ(Port.LineBuffer(), "");
}

TEST_F(SerialPty, EveryByteValuePassesUnchangedBothWays)
{
    Open();
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    const std::string twice = all + all;

    Port.SendString(twice);
    EXPECT_EQ(Port.LastError(), 0);
    EXPECT_EQ(Far.ReadExactly(twice.size()), twice);
    for (const char c : all)
        Port.SendByte(static_cast<std::uint8_t>(c));
    EXPECT_EQ(Far.ReadExactly(all.size()), all);

    Far.Write(twice);
    std::string got;
    while (got.size() < twice.size()) {
        const std::string part = Port.RecvPacket(2000);
        ASSERT_EQ(Port.LastError(), 0) << Port.LastErrorDesc();
        got += part;
    }
    EXPECT_EQ(got, twice);
    Far.Write(all);
    std::string bytes;
    for (int i = 0; i < 256; ++i) {
        bytes.push_back(static_cast<char>(Port.RecvByte(2000)));
        ASSERT_EQ(Port.LastError(), 0);
    }
    EXPECT_EQ(bytes, all);
}

TEST_F(SerialPty, LinesComeFromTheBufferBeforeTheDevice)
{
    Open();
    Far.Write("A\nB\n");
    EXPECT_EQ(Port.RecvTerminated(2000, "\n"), "A");
    EXPECT_EQ(Port.LastError(), 0);
    EXPECT_EQ(Port.LineBuffer(), "B\n");
    // A later line in the driver is not read while the buffer holds a line.
    Far.Write("X\n");
    ASSERT_TRUE(Port.CanRead(2000));
    auto t = TimeIt([&] { EXPECT_EQ(Port.RecvTerminated(LongWait, "\n"), "B"); });
    EXPECT_LT(t.WallMs, LoadSlackMs);
    EXPECT_EQ(Port.LineBuffer(), "");
    EXPECT_EQ(Port.WaitingData(), 2);
    EXPECT_EQ(Port.RecvTerminated(2000, "\n"), "X");

    Far.Write("OK\r\n");
    EXPECT_EQ(Port.RecvTerminated(2000, "\n"), "OK\r");
    EXPECT_EQ(Port.LineBuffer(), "");

    // An empty line and an empty terminator: both "" with no error; the
    // empty terminator reads nothing at all.
    Far.Write("\nrest");
    EXPECT_EQ(Port.RecvTerminated(2000, "\n"), "");
    EXPECT_EQ(Port.LastError(), 0);
    Port.SetLineBuffer("kept");
    Port.SetSerialError(ErrTimeout);
    t = TimeIt([&] { EXPECT_EQ(Port.RecvTerminated(LongWait, ""), ""); });
    EXPECT_EQ(Port.LastError(), 0);
    EXPECT_LT(t.WallMs, LoadSlackMs);
    EXPECT_EQ(Port.LineBuffer(), "kept");
    // A byte read takes the buffer first, at once.
    t = TimeIt([&] { EXPECT_EQ(Port.RecvByte(LongWait), 'k'); });
    EXPECT_LT(t.WallMs, LoadSlackMs);
    EXPECT_EQ(Port.LineBuffer(), "ept");
}

TEST_F(SerialPty, APartialLineWaitsInTheBufferForItsRest)
{
    Open();
    Far.Write("ABCD");
    const auto t = TimeIt([&] { EXPECT_EQ(Port.RecvTerminated(300, "\n"), ""); });
    EXPECT_EQ(Port.LastError(), ErrTimeout);
    EXPECT_EQ(Port.LastErrorDesc(), "Timeout during operation");
    EXPECT_EQ(Port.LineBuffer(), "ABCD");
    EXPECT_GE(t.WallMs, 280);
    EXPECT_LT(t.WallMs, 300 + LoadSlackMs);
    Far.Write("EF\nG");
    EXPECT_EQ(Port.RecvTerminated(2000, "\n"), "ABCDEF");
    EXPECT_EQ(Port.LastError(), 0);
    EXPECT_EQ(Port.LineBuffer(), "G");
}

TEST_F(SerialPty, ALineInBurstsIsWaitedForAsLongAsBytesKeepComing)
{
    Open();
    // Five bursts 400 ms apart: each gap leaves a loaded machine more than a
    // second inside the 1.5 s silence limit, while the whole line (1.6 s
    // from first to last burst, however late the bursts go out) takes
    // longer than it.
    constexpr int Silence = 1500;
    std::thread device([&] {
        bool first = true;
        for (const char* burst : {"he", "ll", "o ", "wor", "ld\n"}) {
            if (!first)
                std::this_thread::sleep_for(400ms);
            first = false;
            Far.Write(burst);
        }
    });
    std::string line;
    const auto t = TimeIt([&] { line = Port.RecvTerminated(Silence, "\n"); });
    device.join();
    EXPECT_EQ(line, "hello world");
    EXPECT_EQ(Port.LastError(), 0);
    EXPECT_LT(t.WallMs, 1600 + Silence + LoadSlackMs);
}

TEST_F(SerialPty, ASilentDeviceTimesOutAfterTheGivenTime)
{
    Open();
    auto t = TimeIt([&] { EXPECT_EQ(Port.RecvTerminated(500, "\n"), ""); });
    EXPECT_EQ(Port.LastError(), ErrTimeout);
    EXPECT_GE(t.WallMs, 480);
    EXPECT_LT(t.WallMs, 500 + LoadSlackMs);
    EXPECT_LT(t.CpuMs, 100);

    t = TimeIt([&] { EXPECT_EQ(Port.RecvByte(5000), 0); });
    EXPECT_EQ(Port.LastError(), ErrTimeout);
    EXPECT_GE(t.WallMs, 4950);
    EXPECT_LT(t.WallMs, 5000 + LoadSlackMs);
    EXPECT_LT(t.CpuMs, 200);
    EXPECT_EQ(Port.LineBuffer(), "");

    t = TimeIt([&] { EXPECT_EQ(Port.RecvPacket(0), ""); });
    EXPECT_EQ(Port.LastError(), ErrTimeout);
    EXPECT_LT(t.WallMs, LoadSlackMs);
}

TEST_F(SerialPty, AClosedObjectRefusesEveryTransferAtOnce)
{
    auto check = [&](const char* state) {
        char buffer[8];
        const auto t = TimeIt([&] {
            EXPECT_EQ(Port.SendBuffer("abc", 3), 0);
            EXPECT_EQ(Port.LastError(), ErrPortNotOpen) << state;
            Port.SendString("abc");
            EXPECT_EQ(Port.LastError(), ErrPortNotOpen) << state;
            Port.SendByte('a');
            EXPECT_EQ(Port.LastError(), ErrPortNotOpen) << state;
            EXPECT_EQ(Port.RecvBuffer(buffer, 3), 0);
            EXPECT_EQ(Port.LastError(), ErrPortNotOpen) << state;
            EXPECT_EQ(Port.RecvPacket(LongWait), "");
            EXPECT_EQ(Port.LastError(), ErrPortNotOpen) << state;
            EXPECT_EQ(Port.RecvByte(LongWait), 0);
            EXPECT_EQ(Port.LastError(), ErrPortNotOpen) << state;
            EXPECT_EQ(Port.RecvTerminated(LongWait, "\n"), "");
            EXPECT_EQ(Port.LastError(), ErrPortNotOpen) << state;
            EXPECT_EQ(Port.LastErrorDesc(), "Instance not yet connected");
        });
        EXPECT_LT(t.WallMs, LoadSlackMs) << state;
    };
    check("never opened");
    EXPECT_EQ(Far.ReadAvailable(), "");

    Port.Connect(Far.SlavePath() + "-missing");
    EXPECT_EQ(Port.LastError(), ENOENT);
    EXPECT_EQ(Port.LastErrorDesc(), std::strerror(ENOENT));
    EXPECT_FALSE(Port.InstanceActive());
    check("open refused");

    Open();
    Port.CloseSocket();
    check("closed");
    EXPECT_EQ(Far.ReadAvailable(), "");

    // Something that is not a terminal is no port.
    Port.Connect("/dev/null");
    EXPECT_EQ(Port.LastError(), ENOTTY);
    EXPECT_FALSE(Port.InstanceActive());
}

TEST_F(SerialPty, ASecondConnectLeavesTheFirstConnectionWorking)
{
    Open();
    Port.Connect(Far.SlavePath());
    EXPECT_EQ(Port.LastError(), ErrAlreadyInUse);
    EXPECT_TRUE(Port.InstanceActive());
    Port.SendString("ping\n");
    EXPECT_EQ(Port.LastError(), 0);
    EXPECT_EQ(Far.ReadExactly(5), "ping\n");
    Far.Write("pong\n");
    EXPECT_EQ(Port.RecvTerminated(2000, "\n"), "pong");
}

TEST_F(SerialPty, APortHeldElsewhereIsRefusedAndKeepsItsSettings)
{
    Open();
    Port.Config(9600, 7, 'O', SB2, false, false);
    termios before{};
    ASSERT_EQ(tcgetattr(Far.SlaveFd(), &before), 0);

    TSerialPort second;
    second.Connect(Far.SlavePath());
    EXPECT_EQ(second.LastError(), EBUSY);
    EXPECT_EQ(second.LastErrorDesc(), std::strerror(EBUSY));
    EXPECT_FALSE(second.InstanceActive());
    EXPECT_EQ(second.Handle(), ~std::uint64_t{0});
    second.SendString("x");
    EXPECT_EQ(second.LastError(), ErrPortNotOpen);

    termios after{};
    ASSERT_EQ(tcgetattr(Far.SlaveFd(), &after), 0);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    Port.CloseSocket();

    // Another process holding the port: a child opens it and reports.
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TSerialPort holder;
        holder.Connect(Far.SlavePath());
        const char ok = holder.LastError() == 0 ? 'y' : 'n';
        (void)!write(ready[1], &ok, 1);
        char c;
        (void)!read(release[0], &c, 1);
        holder.CloseSocket();
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    TSerialPort third;
    third.Connect(Far.SlavePath());
    EXPECT_EQ(third.LastError(), EBUSY);
    EXPECT_FALSE(third.InstanceActive());
    (void)!write(release[1], "x", 1);
    int status = 0;
    waitpid(child, &status, 0);
    for (int fd : {ready[0], ready[1], release[0], release[1]})
        close(fd);
    // Once the holder let go, the port opens.
    third.Connect(Far.SlavePath());
    EXPECT_EQ(third.LastError(), 0);
}

// A program that claims the port by its exclusive mode alone (no lock), as
// terminal programs and modem managers do; also when hiltpush runs as root,
// whom the kernel would let in.
TEST_F(SerialPty, APortInAnotherProgramsExclusiveModeIsRefusedAndKeepsIt)
{
    termios before{};
    ASSERT_EQ(tcgetattr(Far.SlaveFd(), &before), 0);
    ASSERT_EQ(ioctl(Far.SlaveFd(), TIOCEXCL), 0);

    TSerialPort port;
    port.Connect(Far.SlavePath());
    EXPECT_EQ(port.LastError(), EBUSY);
    EXPECT_FALSE(port.InstanceActive());
    port.CloseSocket();

    int held = 0;
    ASSERT_EQ(ioctl(Far.SlaveFd(), TIOCGEXCL, &held), 0);
    EXPECT_NE(held, 0) << "the other program's exclusive mode was ended";
    termios after{};
    ASSERT_EQ(tcgetattr(Far.SlaveFd(), &after), 0);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);

    ASSERT_EQ(ioctl(Far.SlaveFd(), TIOCNXCL), 0);
    port.Connect(Far.SlavePath());
    EXPECT_EQ(port.LastError(), 0);
}

// Root ignores the terminal's exclusive mode on a second open, so the tests'
// refusals above come from the lock alone: look at both directly, through
// the test's own descriptor of the same terminal.
TEST_F(SerialPty, TheOpenPortIsLockedAndExclusiveUntilItIsClosed)
{
    auto exclusive = [&] {
        int on = -1;
        EXPECT_EQ(ioctl(Far.SlaveFd(), TIOCGEXCL, &on), 0) << std::strerror(errno);
        return on;
    };
    auto lockable = [&] {
        const int fd = open(Far.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_GE(fd, 0) << std::strerror(errno);
        const bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
        close(fd);
        return locked;
    };
    ASSERT_EQ(exclusive(), 0);
    ASSERT_TRUE(lockable());

    Open();
    EXPECT_EQ(exclusive(), 1) << "the port is not in exclusive mode";
    EXPECT_FALSE(lockable()) << "the port is not locked";

    // Closing gives both back: an ordinary user could not open the port
    // again while the terminal stayed exclusive.
    Port.CloseSocket();
    EXPECT_EQ(exclusive(), 0) << "the exclusive mode outlives the close";
    EXPECT_TRUE(lockable());

    // The same after a refused second connect: it leaves the first alone.
    Open();
    TSerialPort second;
    second.Connect(Far.SlavePath());
    EXPECT_EQ(second.LastError(), EBUSY);
    EXPECT_EQ(exclusive(), 1);
    EXPECT_FALSE(lockable());
}

TEST_F(SerialPty, DestroyingTheObjectReleasesThePortAlsoDuringAnException)
{
    try {
        TSerialPort scoped;
        scoped.Connect(Far.SlavePath());
        ASSERT_EQ(scoped.LastError(), 0);
        throw std::runtime_error("leaving");
    } catch (const std::runtime_error&) {
    }
    Port.Connect(Far.SlavePath());
    EXPECT_EQ(Port.LastError(), 0) << "the destroyed object still holds the port";
}

TEST_F(SerialPty, PurgeDropsTheDriversInputAndTheLineBuffer)
{
    Open();
    Far.Write("stale");
    ASSERT_TRUE(Port.CanRead(2000));
    Port.SetLineBuffer("old");
    Port.Purge();
    EXPECT_EQ(Port.LastError(), 0);
    EXPECT_EQ(Port.LineBuffer(), "");
    EXPECT_EQ(Port.WaitingData(), 0);
    Port.Flush();
    EXPECT_EQ(Port.LastError(), 0);
    // Connect starts from an empty driver queue too.
    Port.CloseSocket();
    Far.Write("before open");
    Port.Connect(Far.SlavePath());
    EXPECT_EQ(Port.WaitingData(), 0);
}

TEST_F(SerialPty, AWriteThatCannotGoOutEndsAfterTheDeadlockTimeOut)
{
    Open();
    // Long enough that a bound kept four times over would pass the guard.
    constexpr int Deadlock = 2500;
    Port.SetDeadlockTimeout(Deadlock);
    const std::string big(4 * 1024 * 1024, 'z');
    int sent = -1;
    const auto t = TimeIt([&] { sent = Port.SendBuffer(big.data(), static_cast<int>(big.size())); });
    EXPECT_EQ(Port.LastError(), ErrTimeout);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<int>(big.size()));
    EXPECT_GE(t.WallMs, Deadlock - 20);
    EXPECT_LT(t.WallMs, Deadlock + LoadSlackMs);
    EXPECT_LT(t.CpuMs, 200);
}

// The far end vanishing, as an unplugged board does.

TEST_F(SerialPty, HangUpDuringALineRead)
{
    Open();
    std::string line;
    auto taken = NotifyFirstRead();
    auto reader = std::async(std::launch::async, [&] {
        return TimeIt([&] { line = Port.RecvTerminated(1000, "\n"); });
    });
    Far.Write("AB");
    ASSERT_EQ(taken.wait_for(5s), std::future_status::ready);
    Far.HangUp();
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
    const test::TTimed t = reader.get();
    EXPECT_EQ(line, "");
    EXPECT_EQ(Port.LastError(), EIO) << "a hang-up is told apart from silence";
    EXPECT_EQ(Port.LineBuffer(), "AB");
    EXPECT_LT(t.WallMs, 1000 + LoadSlackMs);
    EXPECT_LT(t.CpuMs, 300) << "the read spun";

    // Every later read still lasts its time-out: a reading loop cannot spin.
    const auto loop = TimeIt([&] {
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(Port.RecvTerminated(200, "\n"), "");
            EXPECT_NE(Port.LastError(), 0);
        }
    });
    EXPECT_GE(loop.WallMs, 570);
    EXPECT_LT(loop.WallMs, 600 + LoadSlackMs);
    EXPECT_LT(loop.CpuMs, 200);
    Port.CloseSocket();
    EXPECT_EQ(Port.LastError(), 0);
}

TEST_F(SerialPty, HangUpDuringAByteRead)
{
    Open();
    auto taken = NotifyFirstRead();
    auto reader = std::async(std::launch::async, [&] {
        std::uint8_t b = 0xFF;
        const auto t = TimeIt([&] { b = Port.RecvByte(800); });
        return std::make_pair(b, t);
    });
    Far.Write("Q");
    ASSERT_EQ(taken.wait_for(5s), std::future_status::ready);
    Far.HangUp();
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
    const auto [first, t1] = reader.get();
    EXPECT_EQ(first, 'Q'); // the byte that came before the hang-up
    const auto t = TimeIt([&] { EXPECT_EQ(Port.RecvByte(800), 0); });
    EXPECT_EQ(Port.LastError(), EIO);
    EXPECT_GE(t.WallMs, 780);
    EXPECT_LT(t.WallMs, 800 + LoadSlackMs);
    EXPECT_LT(t.CpuMs, 200);
    (void)t1;
}

// Where the driver still answers the queue query after a hang-up (here the
// object holds a pseudo-terminal's master side, the test its slave), only
// the wait can name the cause, whatever an earlier call left in errno.
TEST_F(SerialPty, AHangUpIsNamedWhereTheQueueQueryStillAnswers)
{
    Port.Connect("/dev/ptmx");
    ASSERT_EQ(Port.LastError(), 0) << Port.LastErrorDesc();
    const int master = static_cast<int>(Port.Handle());
    ASSERT_EQ(::unlockpt(master), 0);
    const int slave = ::ioctl(master, TIOCGPTPEER, O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    ::close(slave);
    for (const int left : {EAGAIN, 0}) {
        errno = left;
        EXPECT_EQ(Port.RecvPacket(100), "");
        EXPECT_EQ(Port.LastError(), EIO) << "errno left at " << left;
    }
}

TEST_F(SerialPty, HangUpBetweenWrites)
{
    Open();
    Port.SendString("first\n");
    EXPECT_EQ(Port.LastError(), 0);
    EXPECT_EQ(Far.ReadExactly(6), "first\n");
    Far.HangUp();
    int sent = -1;
    const auto t = TimeIt([&] { sent = Port.SendBuffer("second\n", 7); });
    EXPECT_EQ(sent, 0);
    EXPECT_NE(Port.LastError(), 0);
    EXPECT_NE(Port.LastError(), ErrTimeout);
    EXPECT_LT(t.WallMs, LoadSlackMs);
    Port.SendByte('x');
    EXPECT_NE(Port.LastError(), 0);
    Port.Flush();
    Port.CloseSocket();
    EXPECT_EQ(Port.LastError(), 0);
    EXPECT_FALSE(Port.InstanceActive());
}

} // namespace
} // namespace hp
