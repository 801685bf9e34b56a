// The Win32 serial backend against a real terminal. This program runs under
// Wine with COM<n> linked to a pseudo-terminal whose far end is played by the
// native serial_wine_harness, one scenario (one test) per run:
//
//     serial_wine_harness <scenario> serial_wine_test.exe
//
// The port name comes in HP_TEST_PORT. Besides the serial line the two sides
// talk over this program's standard streams: a line "@<word>" on standard
// output tells the harness that a step is done, and the harness answers
// lines on standard input when the far end did its part.
#include "serialport/serial_port.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "runtime/platform_error.h"

namespace hp {
namespace {

// Unbuffered output: the harness follows the steps as they happen, and a
// program stopped by its time limit still shows how far it got.
const bool UnbufferedOutput = [] {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    return true;
}();

std::string PortName()
{
    const char* name = std::getenv("HP_TEST_PORT");
    return name ? name : "";
}

// Tells the harness that a step is reached.
void Signal(const std::string& Word)
{
    std::fputs(("@" + Word + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Waits for the harness to report that the far end did its part.
void AwaitHarness(const std::string& Word)
{
    std::string line;
    ASSERT_TRUE(static_cast<bool>(std::getline(std::cin, line))) << "harness gone while waiting for " << Word;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    ASSERT_EQ(line, Word);
}

bool RunningUnderWine()
{
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// How late a loaded machine may wake a waiting thread under Wine: upper
// bounds on wall time are hang guards, the expected time plus this.
constexpr long long LoadSlackMs = 5000;
// A read that must not wait gets a time-out far beyond the hang guard.
constexpr int LongWait = 60000;

long long ThreadCpuMs()
{
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME& f) {
        return ((static_cast<long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 10000;
    };
    return ms(kernel) + ms(user);
}

struct TTimed {
    long long WallMs;
    long long CpuMs;
};

template <typename F>
TTimed TimeIt(F&& Fn)
{
    const auto start = std::chrono::steady_clock::now();
    const long long cpu = ThreadCpuMs();
    Fn();
    return {std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count(),
            ThreadCpuMs() - cpu};
}

class WineSerial : public ::testing::Test {
protected:
    TSerialPort Port;

    void SetUp() override
    {
        ASSERT_FALSE(PortName().empty()) << "HP_TEST_PORT is not set";
        Port.Connect(PortName());
        ASSERT_EQ(Port.LastError(), 0) << Port.LastErrorDesc();
        Port.Config(115200, 8, 'N', SB1, false, false);
        ASSERT_EQ(Port.LastError(), 0) << Port.LastErrorDesc();
    }
};

TEST_F(WineSerial, OpenExclusiveAndClose)
{
    const std::string digits = PortName().substr(3);
    Signal("opened");
    EXPECT_EQ(Port.Device(), "\\\\.\\COM" + digits);
    EXPECT_TRUE(Port.InstanceActive());
    EXPECT_EQ(Port.DCB.Flags, 4113u);
    // What the device reports back.
    Port.GetCommState();
    EXPECT_EQ(Port.LastError(), 0);
    EXPECT_EQ(Port.DCB.BaudRate, 115200u);
    EXPECT_EQ(Port.DCB.ByteSize, 8);
    EXPECT_EQ(Port.DCB.Parity, 0);
    EXPECT_EQ(Port.DCB.StopBits, SB1);
    EXPECT_EQ(Port.DCB.Flags & (dcb_OutX | dcb_InX | dcb_OutxCtsFlow), 0u);

    // Open a second time, in this object and in another one. Windows refuses
    // the second handle; Wine does not enforce exclusive use of a serial
    // device, which is a property of the rig, so there the refusal is only
    // reported.
    Port.Connect(PortName());
    EXPECT_EQ(Port.LastError(), ErrAlreadyInUse);
    {
        TSerialPort second;
        second.Connect(PortName());
        std::cout << "second open: " << second.LastError() << " " << second.LastErrorDesc() << std::endl;
        if (RunningUnderWine()) {
            EXPECT_EQ(second.LastError() == 0, second.InstanceActive());
        } else {
            EXPECT_NE(second.LastError(), 0);
            EXPECT_EQ(second.LastErrorDesc(), rt::PlatformErrorText(second.LastError()));
            EXPECT_FALSE(second.InstanceActive());
        }
    }

    // The first connection still works.
    Signal("ping");
    Port.SendString("ping\n");
    EXPECT_EQ(Port.LastError(), 0);
    EXPECT_EQ(Port.RecvTerminated(5000, "\n"), "pong");

    // A port that does not exist: the platform's error and its text, and
    // every transfer refused at once.
    TSerialPort missing;
    missing.Connect("COM254");
    EXPECT_EQ(missing.Device(), "\\\\.\\COM254");
    EXPECT_NE(missing.LastError(), 0);
    EXPECT_EQ(missing.LastErrorDesc(), rt::PlatformErrorText(missing.LastError()));
    EXPECT_FALSE(missing.InstanceActive());
    const TTimed t = TimeIt([&] {
        missing.SendString("x");
        EXPECT_EQ(missing.LastError(), ErrPortNotOpen);
        EXPECT_EQ(missing.RecvTerminated(LongWait, "\n"), "");
        EXPECT_EQ(missing.LastError(), ErrPortNotOpen);
        EXPECT_EQ(missing.RecvByte(LongWait), 0);
        EXPECT_EQ(missing.LastError(), ErrPortNotOpen);
        EXPECT_EQ(missing.RecvPacket(LongWait), "");
        EXPECT_EQ(missing.LastError(), ErrPortNotOpen);
    });
    EXPECT_LT(t.WallMs, LoadSlackMs);

    Port.CloseSocket();
    EXPECT_EQ(Port.LastError(), 0);
    EXPECT_FALSE(Port.InstanceActive());
    // Closed, the port can be opened again.
    TSerialPort second;
    second.Connect(PortName());
    EXPECT_EQ(second.LastError(), 0) << second.LastErrorDesc();
    second.SendString("bye\n");
    EXPECT_EQ(second.LastError(), 0);
    // Closing discards what the far end has not taken yet: wait for it.
    AwaitHarness("bye");
}

TEST_F(WineSerial, EveryByteValuePassesUnchanged)
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    Port.SendString(all);
    EXPECT_EQ(Port.LastError(), 0);
    const TTimed t = TimeIt([&] {
        for (const char c : all)
            Port.SendByte(static_cast<std::uint8_t>(c));
    });
    EXPECT_EQ(Port.LastError(), 0);
    std::cout << "256 single-byte writes: " << t.WallMs << " ms" << std::endl;
    // The harness sends the same 256 values back, twice.
    std::string got;
    while (got.size() < 2 * all.size()) {
        const std::string part = Port.RecvPacket(5000);
        ASSERT_EQ(Port.LastError(), 0) << Port.LastErrorDesc() << " after " << got.size();
        got += part;
    }
    EXPECT_EQ(got, all + all);
}

TEST_F(WineSerial, LinesAndTimeOuts)
{
    // A LF B LF in one packet: A, then B from the buffer.
    Signal("lines");
    TTimed t = TimeIt([&] { EXPECT_EQ(Port.RecvTerminated(5000, "\n"), "A"); });
    std::cout << "first line: " << t.WallMs << " ms" << std::endl;
    EXPECT_LT(t.WallMs, 4000) << "the wait for input did not see the bytes arrive";
    EXPECT_EQ(Port.LineBuffer(), "B\n");
    t = TimeIt([&] { EXPECT_EQ(Port.RecvTerminated(LongWait, "\n"), "B"); });
    EXPECT_LT(t.WallMs, LoadSlackMs);
    Signal("ok");
    EXPECT_EQ(Port.RecvTerminated(5000, "\n"), "OK\r");
    EXPECT_EQ(Port.LineBuffer(), "");

    // Four bytes, then silence: a time-out that keeps them.
    Signal("partial");
    t = TimeIt([&] { EXPECT_EQ(Port.RecvTerminated(500, "\n"), ""); });
    EXPECT_EQ(Port.LastError(), ErrTimeout);
    EXPECT_EQ(Port.LineBuffer(), "ABCD");
    std::cout << "partial line time-out 500: " << t.WallMs << " ms" << std::endl;
    EXPECT_GE(t.WallMs, 450);
    EXPECT_LT(t.WallMs, 500 + LoadSlackMs);
    Signal("rest");
    EXPECT_EQ(Port.RecvTerminated(5000, "\n"), "ABCDEF");

    // Bursts 400 ms apart, gaps inside the silence limit, the line longer
    // than it.
    Signal("bursts");
    std::string line;
    t = TimeIt([&] { line = Port.RecvTerminated(1500, "\n"); });
    std::cout << "line in five bursts 400 ms apart: " << t.WallMs << " ms" << std::endl;
    EXPECT_EQ(line, "hello world");
    EXPECT_EQ(Port.LastError(), 0);
    EXPECT_GE(t.WallMs, 1550);
    // Each wait must end when a burst arrives, not at its time-out (which
    // would take five time-outs, 7.5 s).
    EXPECT_LT(t.WallMs, 1600 + 4000);

    // An empty terminator reads nothing.
    Port.SetLineBuffer("kept");
    EXPECT_EQ(Port.RecvTerminated(5000, ""), "");
    EXPECT_EQ(Port.LastError(), 0);
    EXPECT_EQ(Port.LineBuffer(), "kept");
    Port.SetLineBuffer("");

    // A silent device.
    t = TimeIt([&] { EXPECT_EQ(Port.RecvTerminated(500, "\n"), ""); });
    EXPECT_EQ(Port.LastError(), ErrTimeout);
    std::cout << "silent RecvTerminated(500): " << t.WallMs << " ms, cpu " << t.CpuMs << " ms" << std::endl;
    EXPECT_GE(t.WallMs, 450);
    EXPECT_LT(t.WallMs, 500 + LoadSlackMs);
    t = TimeIt([&] { EXPECT_EQ(Port.RecvByte(5000), 0); });
    EXPECT_EQ(Port.LastError(), ErrTimeout);
    std::cout << "silent RecvByte(5000): " << t.WallMs << " ms, cpu " << t.CpuMs << " ms" << std::endl;
    EXPECT_GE(t.WallMs, 4900);
    EXPECT_LT(t.WallMs, 5000 + LoadSlackMs);
    EXPECT_LT(t.CpuMs, 1000);
}

TEST_F(WineSerial, AWriteThatCannotGoOutIsAbortedSafely)
{
    // The harness does not read: the write fills the terminal and must end
    // after the deadlock time-out, its aborted transfer finished before the
    // buffer goes away. Long enough that a bound kept four times over would
    // pass the guard.
    constexpr int Deadlock = 3000;
    Port.SetDeadlockTimeout(Deadlock);
    const std::string big(4 * 1024 * 1024, 'z');
    int sent = -1;
    const TTimed t = TimeIt([&] { sent = Port.SendBuffer(big.data(), static_cast<int>(big.size())); });
    std::cout << "blocked write: " << sent << " bytes, " << t.WallMs << " ms, error " << Port.LastError() << std::endl;
    EXPECT_EQ(Port.LastError(), ErrTimeout);
    EXPECT_LT(sent, static_cast<int>(big.size()));
    EXPECT_GE(t.WallMs, Deadlock - 50);
    EXPECT_LT(t.WallMs, Deadlock + LoadSlackMs + 2500);
    Port.Purge();
    Port.CloseSocket();
    EXPECT_EQ(Port.LastError(), 0);
}

TEST_F(WineSerial, HangUpDuringALineRead)
{
    Signal("send");
    std::string line;
    // The harness sends "AB" and hangs up once it is read.
    Port.SetOnStatus([fired = false](TSerialPort*, THookSerialReason r, const std::string& v) mutable {
        if (r == HR_ReadCount && v != "0" && !fired) {
            fired = true;
            Signal("taken");
        }
    });
    TTimed t = TimeIt([&] { line = Port.RecvTerminated(1000, "\n"); });
    std::cout << "line read across hang-up: " << t.WallMs << " ms, cpu " << t.CpuMs << " ms, error "
              << Port.LastError() << " " << Port.LastErrorDesc() << std::endl;
    EXPECT_EQ(line, "");
    EXPECT_NE(Port.LastError(), 0);
    EXPECT_EQ(Port.LineBuffer(), "AB");
    EXPECT_GE(t.WallMs, 900);
    EXPECT_LT(t.WallMs, 1000 + LoadSlackMs);
    EXPECT_LT(t.CpuMs, 500);
    t = TimeIt([&] {
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(Port.RecvTerminated(200, "\n"), "");
            EXPECT_NE(Port.LastError(), 0);
        }
    });
    std::cout << "three reads after hang-up: " << t.WallMs << " ms, cpu " << t.CpuMs << " ms" << std::endl;
    EXPECT_GE(t.WallMs, 550);
    EXPECT_LT(t.CpuMs, 500);
    Port.SetLineBuffer("");
    t = TimeIt([&] { EXPECT_EQ(Port.RecvByte(300), 0); });
    EXPECT_NE(Port.LastError(), 0);
    EXPECT_GE(t.WallMs, 250);
    Port.CloseSocket();
    EXPECT_EQ(Port.LastError(), 0);
}

TEST_F(WineSerial, HangUpDuringAByteRead)
{
    Signal("waiting");
    std::uint8_t b = 0xFF;
    const TTimed t = TimeIt([&] { b = Port.RecvByte(1500); });
    std::cout << "byte read across hang-up: " << t.WallMs << " ms, cpu " << t.CpuMs << " ms, error "
              << Port.LastError() << " " << Port.LastErrorDesc() << std::endl;
    EXPECT_EQ(b, 0);
    EXPECT_NE(Port.LastError(), 0);
    EXPECT_GE(t.WallMs, 1400);
    EXPECT_LT(t.WallMs, 1500 + LoadSlackMs);
    EXPECT_LT(t.CpuMs, 500);
}

TEST_F(WineSerial, HangUpBetweenWrites)
{
    Port.SendString("first\n");
    EXPECT_EQ(Port.LastError(), 0);
    Signal("sent");
    AwaitHarness("closed");
    int sent = -1;
    const TTimed t = TimeIt([&] { sent = Port.SendBuffer("second\n", 7); });
    std::cout << "write after hang-up: " << sent << " bytes, " << t.WallMs << " ms, error " << Port.LastError()
              << " " << Port.LastErrorDesc() << std::endl;
    EXPECT_EQ(sent, 0);
    EXPECT_NE(Port.LastError(), 0);
    EXPECT_LT(t.WallMs, LoadSlackMs);
    Port.CloseSocket();
    EXPECT_EQ(Port.LastError(), 0);
}

// The device goes away during a read's wait while the reading thread is held
// up (as on a loaded machine) until after its time-out: the wait that the
// device ended still says so, and does not pass for silence.
TEST_F(WineSerial, HangUpWhileTheReaderIsLate)
{
    struct TRead {
        TSerialPort& Port;
        static DWORD WINAPI Run(void* Self)
        {
            static_cast<TRead*>(Self)->Port.RecvTerminated(500, "\n");
            return 0;
        }
    } read{Port};
    HANDLE reader = CreateThread(nullptr, 0, &TRead::Run, &read, 0, nullptr);
    ASSERT_NE(reader, nullptr);
    Sleep(150); // by then the reader waits for its first byte
    ASSERT_NE(SuspendThread(reader), static_cast<DWORD>(-1));
    Signal("suspended");
    AwaitHarness("closed");
    Sleep(800);
    ResumeThread(reader);
    EXPECT_EQ(WaitForSingleObject(reader, 10000), WAIT_OBJECT_0) << "hang guard";
    CloseHandle(reader);
    std::cout << "late read across hang-up: error " << Port.LastError() << " " << Port.LastErrorDesc() << std::endl;
    EXPECT_NE(Port.LastError(), 0);
    EXPECT_NE(Port.LastError(), ErrTimeout);
}

} // namespace
} // namespace hp
