// What each Windows comm driver answers, played to the serial backend's
// judgements: Windows's USB serial driver (the current one and the old one of
// Windows 7 and 8.1), Wine over a terminal, and Wine over a pseudo-terminal
// whose far end hung up. Which rows come from where: tests/wine/README.md.
//
// The program runs on a virtual clock here (virtual_clock.cpp): a wait lasts
// exactly as long as the driver lets it, at no cost.
#include "serialport/comm_backend.h"
#include "serialport/serial_port.h"

#include <limits>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

namespace hp {

namespace {

constexpr std::uint64_t Never = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t EvTxEmpty = 4;

// One wait as the driver lets it end: by itself EndsAfter ms after it was
// armed (0: at once, without pending) with Mask and Error, or, while it still
// pends, by the program's own cancel with CancelError.
struct TArm {
    std::uint64_t EndsAfter = Never;
    std::uint32_t Mask = 0;
    int Error = 0;
    int CancelError = 0;
};

// What the driver answers, on the clock of the test (ms from its start).
struct TScript {
    // The status query answers OK until GoneAt, then fails with GoneError.
    std::uint64_t GoneAt = Never;
    int GoneError = 0;
    int InQueue = 0;                    // bytes waiting, from the start
    int OutQueue = 0;                   // bytes held for output until OutDrainedAt
    std::uint64_t OutDrainedAt = 0;
    int FlushError = 0;
    bool GoneAtFlush = false;           // unplugged as the flush is asked for
    int QueuedAfterRefusal = 0;         // the output count once the flush was refused
    std::vector<TArm> Arms{};           // one per wait armed; the last repeats
    TCommTransfer WriteAnswer{1, 0, false};
};

struct TScriptedComm {
    explicit TScriptedComm(std::shared_ptr<TScript> S) : S(std::move(S)) {}

    std::shared_ptr<TScript> S;
    std::uint64_t Start = rt::MonotonicMilliseconds();
    bool Opened = false;
    bool FlushRefused = false;
    int Armed = 0;
    std::uint64_t ArmedAt = 0;
    TArm Arm;
    bool EndedByItself = false;

    std::uint64_t Now() const { return rt::MonotonicMilliseconds() - Start; }

    int Open(const std::string&) { return Opened = true, 0; }
    void Setup(int) {}
    bool IsOpen() const { return Opened; }
    std::uint64_t Handle() const { return 1; }
    void Close() { Opened = false; }
    int GetLineSettings(TSerialLineSettings&) { return 0; }
    int SetLineSettings(const TSerialLineSettings&) { return 0; }
    int SetRTS(bool) { return 0; }
    int SetDTR(bool) { return 0; }
    int ModemStatus(std::uint32_t& W) { return W = 0, 0; }
    int Purge(unsigned) { return 0; }

    TCommStatus Status()
    {
        if (Now() >= S->GoneAt)
            return {S->GoneError, 0, 0, 0};
        const int out = FlushRefused ? S->QueuedAfterRefusal : Now() < S->OutDrainedAt ? S->OutQueue : 0;
        return {0, 0, S->InQueue, out};
    }
    int FlushBuffers()
    {
        if (S->GoneAtFlush)
            S->GoneAt = Now();
        FlushRefused = S->FlushError != 0;
        return S->FlushError;
    }
    TCommEvent ArmWait()
    {
        Arm = S->Arms.at(std::min<std::size_t>(static_cast<std::size_t>(Armed), S->Arms.size() - 1));
        ++Armed;
        ArmedAt = rt::MonotonicMilliseconds();
        EndedByItself = false;
        if (Arm.EndsAfter == 0)
            return {false, Arm.Mask, Arm.Error};
        return {true, 0, 0};
    }
    bool AwaitWait(int Timeout)
    {
        const std::uint64_t waited = rt::MonotonicMilliseconds() - ArmedAt;
        const std::uint64_t left = Arm.EndsAfter > waited ? Arm.EndsAfter - waited : 0;
        EndedByItself = left <= static_cast<std::uint64_t>(Timeout);
        rt::SleepMilliseconds(static_cast<std::uint32_t>(EndedByItself ? left : static_cast<std::uint64_t>(Timeout)));
        return EndedByItself;
    }
    TCommEvent EndWait()
    {
        if (EndedByItself)
            return {false, Arm.Mask, Arm.Error};
        return {false, 0, Arm.CancelError};
    }
    TCommTransfer Transfer(void*, int Length, int DeadlockTimeout, bool Writing)
    {
        if (!Writing)
            return {Length, 0, false};
        if (S->WriteAnswer.Aborted)
            rt::SleepMilliseconds(static_cast<std::uint32_t>(DeadlockTimeout));
        return S->WriteAnswer;
    }
};

using TBackend = TCommBackend<TScriptedComm>;

enum class TOp { Flush, Wait, Write, PortRead, PortWrite };

// The outcome a row must have. For Flush: Error and TimedOut; for Wait: the
// wait's result and Error; for Write: the transfer's Error and TimedOut; for
// the serial object's own read and write: its LastError. Ms: the virtual
// time the operation took.
struct TOutcome {
    int Error = 0;
    bool TimedOut = false;
    TSerialWait Wait = TSerialWait::Ready;
    std::uint64_t Ms = 0;
};

struct TRow {
    const char* Driver;
    const char* Situation;
    TOp Op;
    TScript Script;
    TOutcome Expect;
};

constexpr int Deadlock = 30000;
constexpr int WaitMs = 500;
const TArm Silent{};                     // pends until the program cancels it
const TArm Aborted995{Never, 0, 0, 995}; // pends; the program's cancel ends it with 995
const char *const New = "usbser (new)", *const Old = "usbser (old)", *const Tty = "Wine, terminal",
           *const Hup = "Wine, pty hung up", *const NoLines = "Wine, pty without modem lines";
using enum TOp;
using enum TSerialWait;

const TRow Rows[] = {
    // The flush.
    {New, "flush refused as unsupported (1), queue empty", Flush, {.FlushError = 1}, {.Error = 0}},
    {New, "flush refused as unsupported (50), queue empty", Flush, {.FlushError = 50}, {.Error = 0}},
    {Old, "flush refused, bytes still queued", Flush, {.FlushError = 1, .QueuedAfterRefusal = 3}, {.Error = 1}},
    {New, "flush refused, then the queue query says the device is gone", Flush,
     {.GoneError = 1167, .FlushError = 1, .GoneAtFlush = true}, {.Error = 1167}},
    {New, "unplugged while the queue drains", Flush,
     {.GoneAt = 40, .GoneError = 22, .OutQueue = 64, .OutDrainedAt = Never}, {.Error = 22, .Ms = 40}},
    {New, "queue query fails for another reason: the flush decides", Flush,
     {.GoneAt = 0, .GoneError = 87}, {.Error = 0}},
    {Tty, "the queue drains, then the flush", Flush, {.OutQueue = 64, .OutDrainedAt = 20}, {.Error = 0, .Ms = 20}},
    {Tty, "a device that stops taking bytes", Flush,
     {.OutQueue = 64, .OutDrainedAt = Never}, {.Error = 0, .TimedOut = true, .Ms = Deadlock}},
    {Tty, "a flush that fails outright", Flush, {.FlushError = 31}, {.Error = 31}},

    // The wait for input.
    {Tty, "a byte arrives", Wait, {.Arms = {{120, CommEvRxChar}}}, {.Wait = Ready, .Ms = 120}},
    {Tty, "silence", Wait, {.Arms = {Silent}}, {.Wait = TimedOut, .Ms = WaitMs}},
    {New, "995 from the program's own cancel at the time-out", Wait,
     {.Arms = {Aborted995}}, {.Wait = TimedOut, .Ms = WaitMs}},
    {New, "995 from the driver before the time-out", Wait,
     {.Arms = {{100, 0, 995}}}, {.Error = 995, .Wait = HungUp, .Ms = 100}},
    {New, "unplugged before the wait: seen by the check after arming", Wait,
     {.GoneAt = 0, .GoneError = 22, .Arms = {Silent}}, {.Error = 22, .Wait = HungUp, .Ms = 0}},
    {New, "a byte already waiting when the wait is armed", Wait,
     {.InQueue = 1, .Arms = {Silent}}, {.Wait = Ready, .Ms = 0}},
    {New, "unplugged during the wait: the completion says so", Wait,
     {.Arms = {{150, 0, 1617}}}, {.Error = 1617, .Wait = HungUp, .Ms = 150}},
    {New, "unplugged during the wait: only the status query after it says so", Wait,
     {.GoneAt = 150, .GoneError = 22, .Arms = {{150, 0, 0}}}, {.Error = 22, .Wait = HungUp, .Ms = 150}},
    {Old, "unplugged, the wait stays pending until the time-out", Wait,
     {.GoneAt = 100, .GoneError = 5, .Arms = {Silent}}, {.Wait = TimedOut, .Ms = WaitMs}},
    {New, "unasked event (EV_TXEMPTY) on a sound device, then a byte", Wait,
     {.Arms = {{80, EvTxEmpty}, {200, CommEvRxChar}}}, {.Wait = Ready, .Ms = 280}},
    {New, "unasked event on a sound device, then silence", Wait,
     {.Arms = {{80, EvTxEmpty}, Silent}}, {.Wait = TimedOut, .Ms = WaitMs}},
    {Tty, "the far end hangs up during the wait, nothing fails", Wait,
     {.Arms = {{300, 0, 0}, {0, 0, 0}}}, {.Error = 0, .Wait = HungUp, .Ms = 300}},
    {Hup, "status query fails (21), the wait ends with the driver's 995", Wait,
     {.GoneAt = 0, .GoneError = 21, .Arms = {{100, 0, 995}}}, {.Error = 995, .Wait = HungUp, .Ms = 100}},
    {Hup, "the wait ends at once without an error, status query fails (21)", Wait,
     {.GoneAt = 0, .GoneError = 21, .Arms = {{0, 0, 0}}}, {.Error = 21, .Wait = HungUp}},
    {NoLines, "every wait ends at once, no byte, no error", Wait, {.Arms = {{0, 0, 0}}}, {.Error = 0, .Wait = HungUp}},
    {NoLines, "every wait ends at once; a byte is waiting", Wait, {.InQueue = 1, .Arms = {{0, 0, 0}}}, {.Wait = Ready}},
    {New, "the wait cannot be armed: the device is gone", Wait, {.Arms = {{0, 0, 22}}}, {.Error = 22, .Wait = HungUp}},
    {Tty, "the wait fails for another reason", Wait, {.Arms = {{0, 0, 87}}}, {.Error = 87, .Wait = Failed}},

    // A write that hung past its deadlock time-out, purged by the program.
    {Tty, "a write goes out", Write, {}, {.Error = 0, .TimedOut = false}},
    {New, "hung write, its completion reports the program's purge (995)", Write,
     {.WriteAnswer = {0, 995, true}}, {.Error = 0, .TimedOut = true, .Ms = Deadlock}},
    {New, "hung write, its completion reports the removal (31)", Write,
     {.WriteAnswer = {0, 31, true}}, {.Error = 31, .TimedOut = false, .Ms = Deadlock}},
    {New, "hung write, its completion reports the removal (1617)", Write,
     {.WriteAnswer = {0, 1617, true}}, {.Error = 1617, .TimedOut = false, .Ms = Deadlock}},

    // A removal that the wait does not report at all, as the serial object
    // sees it: first on the status query after the wait, or on the next write.
    {Old, "unplugged while a reply is awaited: the status query after the wait", PortRead,
     {.GoneAt = 100, .GoneError = 22, .Arms = {Silent}}, {.Error = 22, .Ms = WaitMs}},
    {Hup, "a reply awaited after the hang-up", PortRead,
     {.GoneAt = 0, .GoneError = 21, .Arms = {{1, 0, 995}}}, {.Error = 995, .Ms = WaitMs}},
    {New, "silence; the program's own cancel ends the wait with 995", PortRead,
     {.Arms = {Aborted995}}, {.Error = ErrTimeout, .Ms = WaitMs}},
    {New, "unplugged between writes: the next write fails (31)", PortWrite,
     {.GoneAt = 0, .GoneError = 22, .WriteAnswer = {0, 31, false}}, {.Error = 31}},
};

TEST(CommDriverTable, EachDriversAnswersGiveTheirOutcome)
{
    for (const TRow& row : Rows) {
        SCOPED_TRACE(std::string(row.Driver) + ": " + row.Situation);
        auto script = std::make_shared<TScript>(row.Script);
        if (row.Op == PortRead || row.Op == PortWrite) {
            TSerialPort port(std::make_unique<TBackend>(script));
            port.Connect("COM3");
            ASSERT_EQ(port.LastError(), 0);
            const std::uint64_t start = rt::MonotonicMilliseconds();
            if (row.Op == PortRead)
                EXPECT_EQ(port.RecvPacket(WaitMs), "");
            else
                port.SendByte('x');
            EXPECT_EQ(port.LastError(), row.Expect.Error) << port.LastErrorDesc();
            EXPECT_EQ(rt::MonotonicMilliseconds() - start, row.Expect.Ms);
            continue;
        }
        TBackend backend(script);
        ASSERT_EQ(backend.Open("\\\\.\\COM3", 4096), 0);
        const std::uint64_t start = rt::MonotonicMilliseconds();
        const TScriptedComm& driver = backend.Driver();
        if (row.Op == Flush) {
            bool timedOut = false;
            EXPECT_EQ(backend.Flush(Deadlock, timedOut), row.Expect.Error);
            EXPECT_EQ(timedOut, row.Expect.TimedOut);
        } else if (row.Op == Wait) {
            int error = -1;
            EXPECT_EQ(static_cast<int>(backend.WaitReadable(WaitMs, error)), static_cast<int>(row.Expect.Wait));
            EXPECT_EQ(error, row.Expect.Error);
            EXPECT_LE(driver.Armed, 2) << "a wait is armed at most twice";
        } else {
            const TSerialTransfer done = backend.Write("x", 1, Deadlock);
            EXPECT_EQ(done.Error, row.Expect.Error);
            EXPECT_EQ(done.TimedOut, row.Expect.TimedOut);
        }
        EXPECT_EQ(rt::MonotonicMilliseconds() - start, row.Expect.Ms);
    }
}

} // namespace
} // namespace hp
