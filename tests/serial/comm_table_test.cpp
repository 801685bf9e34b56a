// What each Windows comm driver answers, played to the serial backend's
// judgements: Windows's USB serial driver (the current one and the old one of
// Windows 7 and 8.1), Wine over a terminal, and Wine over a pseudo-terminal
// whose far end hung up. Which rows come from where: tests/wine/README.md.
//
// The scripted driver keeps apart what real drivers have been seen to keep
// apart: the bytes that reach its queue, the events a wait reports, the count
// its status query gives, and what a read returns. The program runs on a
// virtual clock here (virtual_clock.cpp): a wait lasts exactly as long as the
// driver lets it, at no cost.
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

// Bytes reaching the driver's input queue at a time of the row's clock.
struct TArrival {
    std::uint64_t At;
    std::string Bytes;
};

// The driver ends whichever wait pends at At, with Mask and Error.
struct TEnd {
    std::uint64_t At;
    std::uint32_t Mask = 0;
    int Error = 0;
};

// What the driver does, on the row's clock (ms from its start).
struct TScript {
    std::vector<TArrival> Arrivals{};
    bool CountStaysZero = false;   // the status query counts no queued byte
    bool NoByteEvents = false;     // an arrival ends no wait
    std::uint32_t LineErrors = 0;  // told by the first status query
    std::vector<TEnd> Ends{};
    std::uint64_t WaitsEndAtOnceFrom = Never; // from then on a wait ends as soon as it is armed, without an event
    int ArmError = 0;              // a wait cannot be armed
    int CancelError = 0;           // the program's own cancel ends a pending wait or read with this
    int EndError = 0;              // the call that ends a wait fails with this
    bool ReadsIgnoreTimeouts = false; // a read pends until the program purges it
    bool ReadsReturnEmpty = false; // a read with nothing queued returns at once, empty
    int ReadTimeoutError = 0;      // a read that runs out its time ends with this
    // Unplugged: from GoneAt the status query fails with GoneError; a wait
    // pending then ends with WaitGone, a read with ReadGone (0: they do not
    // tell).
    std::uint64_t GoneAt = Never;
    int GoneError = 0;
    int WaitGone = 0;
    int ReadGone = 0;
    int OpenError = 0;
    int OutQueue = 0;              // bytes held for output until OutDrainedAt
    std::uint64_t OutDrainedAt = 0;
    int FlushError = 0;
    bool GoneAtFlush = false;      // unplugged as the flush is asked for
    int QueuedAfterRefusal = 0;    // the output count once the flush was refused
    TCommTransfer WriteAnswer{1, 0, false};
};

struct TDriverState {
    TScript S;
    std::uint64_t Start = rt::MonotonicMilliseconds();
    std::size_t Taken = 0; // bytes of the arrivals read or purged
    std::size_t EndsUsed = 0;
    int Arms = 0, Reads = 0;
};

struct TScriptedComm {
    explicit TScriptedComm(std::shared_ptr<TDriverState> D) : D(std::move(D)) {}

    std::shared_ptr<TDriverState> D;
    TScript& S = D->S;
    bool Opened = false, FlushRefused = false, EndedByItself = false;
    int ReadWithin = -1;
    std::uint64_t ArmedAt = 0;
    TEnd Pending{};

    std::uint64_t Now() const { return rt::MonotonicMilliseconds() - D->Start; }
    void SleepUntil(std::uint64_t At)
    {
        rt::SleepMilliseconds(static_cast<std::uint32_t>(At > Now() ? At - Now() : 0));
    }
    bool Gone() const { return Now() >= S.GoneAt; }
    std::string Queued() const
    {
        std::string arrived;
        for (const TArrival& a : S.Arrivals)
            if (a.At <= Now())
                arrived += a.Bytes;
        return arrived.substr(std::min(D->Taken, arrived.size()));
    }
    std::uint64_t NextArrival() const
    {
        for (const TArrival& a : S.Arrivals)
            if (a.At > Now())
                return a.At;
        return Never;
    }

    int Open(const std::string&) { return S.OpenError ? S.OpenError : (Opened = true, 0); }
    void Setup(int) {}
    bool IsOpen() const { return Opened; }
    std::uint64_t Handle() const { return 1; }
    void Close() { Opened = false; }
    int GetLineSettings(TSerialLineSettings&) { return 0; }
    int SetLineSettings(const TSerialLineSettings&) { return 0; }
    int SetRTS(bool) { return 0; }
    int SetDTR(bool) { return 0; }
    int ModemStatus(std::uint32_t& W) { return W = 0, 0; }
    int Purge(unsigned) { return D->Taken += Queued().size(), 0; }
    int SetReadTimeouts(int Within) { return ReadWithin = Within, 0; }

    TCommStatus Status()
    {
        if (Gone())
            return {S.GoneError, 0, 0, 0};
        const std::uint32_t errors = std::exchange(S.LineErrors, 0);
        const int out = FlushRefused ? S.QueuedAfterRefusal : Now() < S.OutDrainedAt ? S.OutQueue : 0;
        return {0, errors, S.CountStaysZero ? 0 : static_cast<int>(Queued().size()), out};
    }
    int FlushBuffers()
    {
        if (S.GoneAtFlush)
            S.GoneAt = Now();
        FlushRefused = S.FlushError != 0;
        return S.FlushError;
    }
    TCommEvent ArmWait()
    {
        ArmedAt = Now();
        EndedByItself = false;
        // A program that arms without end is failed rather than let spin.
        if (++D->Arms > 10)
            return {false, 0, 87};
        if (S.ArmError || Now() >= S.WaitsEndAtOnceFrom)
            return {false, 0, S.ArmError};
        // The first of: an end the driver makes, the next byte, the unplug.
        Pending = {S.WaitsEndAtOnceFrom};
        while (D->EndsUsed < S.Ends.size() && S.Ends[D->EndsUsed].At < ArmedAt)
            ++D->EndsUsed;
        if (D->EndsUsed < S.Ends.size() && S.Ends[D->EndsUsed].At < Pending.At)
            Pending = S.Ends[D->EndsUsed];
        if (!S.NoByteEvents && NextArrival() < Pending.At)
            Pending = {NextArrival(), CommEvRxChar};
        if (S.WaitGone && S.GoneAt >= ArmedAt && S.GoneAt < Pending.At)
            Pending = {S.GoneAt, 0, S.WaitGone};
        return {true};
    }
    bool AwaitWait(int Timeout)
    {
        const std::uint64_t until = ArmedAt + static_cast<std::uint64_t>(Timeout);
        EndedByItself = Pending.At <= until;
        SleepUntil(EndedByItself ? Pending.At : until);
        if (EndedByItself && D->EndsUsed < S.Ends.size() && S.Ends[D->EndsUsed].At == Pending.At)
            ++D->EndsUsed;
        return EndedByItself;
    }
    TCommEvent EndWait()
    {
        if (EndedByItself)
            return {false, Pending.Mask, Pending.Error, S.EndError};
        return {false, 0, S.CancelError, S.EndError};
    }
    TCommTransfer Transfer(void* Buffer, int Length, int DeadlockTimeout, bool Writing)
    {
        if (Writing) {
            if (S.WriteAnswer.Aborted)
                rt::SleepMilliseconds(static_cast<std::uint32_t>(DeadlockTimeout));
            return S.WriteAnswer;
        }
        ++D->Reads;
        const auto take = [&] {
            const std::string bytes = Queued().substr(0, static_cast<std::size_t>(Length));
            bytes.copy(static_cast<char*>(Buffer), bytes.size());
            D->Taken += bytes.size();
            return TCommTransfer{static_cast<int>(bytes.size()), 0, false};
        };
        if (Gone() && S.ReadGone)
            return {0, S.ReadGone, false};
        if (ReadWithin < 0 || !Queued().empty() || S.ReadsReturnEmpty)
            return take();
        // Pending: until the first byte, the unplug, or the time.
        const int within = S.ReadsIgnoreTimeouts ? DeadlockTimeout : ReadWithin;
        const std::uint64_t limit = Now() + static_cast<std::uint64_t>(within);
        const std::uint64_t gone = S.ReadGone ? S.GoneAt : Never;
        SleepUntil(std::min({NextArrival(), gone, limit}));
        if (Gone() && S.ReadGone)
            return {0, S.ReadGone, false};
        if (Queued().empty())
            return S.ReadsIgnoreTimeouts ? TCommTransfer{0, S.CancelError, true} : TCommTransfer{0, S.ReadTimeoutError};
        return take();
    }
};

using TBackend = TCommBackend<TScriptedComm>;

// Flush, Wait and Write ask the backend; Open, Line and Send the serial
// object, with RecvTerminated(WaitMs, LF) for Line.
enum class TOp { Flush, Wait, Write, Open, Line, Send };

// The outcome a row must have: Error (the backend's number, or the serial
// object's LastError), TimedOut (flush, write), the wait's result, the line
// read, the virtual time taken, and how often a wait was armed and a read
// made, and what the trace was told.
struct TOutcome {
    int Error = 0;
    bool TimedOut = false;
    TSerialWait Wait = TSerialWait::Ready;
    std::uint64_t Ms = 0;
    int Arms = 0;
    int Reads = 0;
    const char* Text = "";
    const char* Said = ""; // in what the backend told a trace
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
const char *const New = "usbser (new)", *const Old = "usbser (old)", *const Tty = "Wine, terminal",
           *const Hup = "Wine, pty hung up", *const NoLines = "Wine, pty without modem lines";
using enum TOp;
using enum TSerialWait;

const TRow Rows[] = {
    // The flush.
    {New, "flush refused as unsupported (1), queue empty", Flush,
     {.FlushError = 1}, {.Said = "flush refused (1) with nothing queued: counts as done"}},
    {New, "flush refused as unsupported (50), queue empty", Flush, {.FlushError = 50}, {}},
    {Old, "flush refused, bytes still queued", Flush, {.FlushError = 1, .QueuedAfterRefusal = 3}, {.Error = 1}},
    {New, "flush refused, then the queue query says the device is gone", Flush,
     {.GoneError = 1167, .FlushError = 1, .GoneAtFlush = true}, {.Error = 1167}},
    {New, "unplugged while the queue drains", Flush,
     {.GoneAt = 40, .GoneError = 22, .OutQueue = 64, .OutDrainedAt = Never}, {.Error = 22, .Ms = 40}},
    {New, "queue query fails for another reason: the flush decides", Flush, {.GoneAt = 0, .GoneError = 87}, {}},
    {Tty, "the queue drains, then the flush", Flush, {.OutQueue = 64, .OutDrainedAt = 20}, {.Ms = 20}},
    {Tty, "a device that stops taking bytes", Flush,
     {.OutQueue = 64, .OutDrainedAt = Never}, {.TimedOut = true, .Ms = Deadlock}},
    {Tty, "a flush that fails outright", Flush, {.FlushError = 31}, {.Error = 31}},

    // The wait for input. A wait is Ready only when a byte can be read.
    {Tty, "a byte arrives", Wait, {.Arrivals = {{120, "x"}}}, {.Ms = 120, .Arms = 1}},
    {Tty, "silence: a read at the time-out finds nothing", Wait,
     {}, {.Wait = TimedOut, .Ms = WaitMs, .Arms = 1, .Reads = 1}},
    {New, "995 from the program's own cancel at the time-out", Wait,
     {.CancelError = 995}, {.Wait = TimedOut, .Ms = WaitMs, .Arms = 1, .Reads = 1}},
    {New, "995 from the driver before the time-out", Wait,
     {.Ends = {{100, 0, 995}}}, {.Error = 995, .Wait = HungUp, .Ms = 100, .Arms = 1}},
    {New, "unplugged before the wait: seen by the check after arming", Wait,
     {.GoneAt = 0, .GoneError = 22}, {.Error = 22, .Wait = HungUp, .Arms = 1}},
    {New, "a byte already queued when the wait is armed", Wait, {.Arrivals = {{0, "x"}}}, {.Arms = 1}},
    {New, "unplugged during the wait: the completion says so", Wait,
     {.GoneAt = 150, .GoneError = 22, .WaitGone = 1617}, {.Error = 1617, .Wait = HungUp, .Ms = 150, .Arms = 1}},
    {New, "unplugged during the wait: only the status query after it says so", Wait,
     {.Ends = {{150}}, .GoneAt = 150, .GoneError = 22}, {.Error = 22, .Wait = HungUp, .Ms = 150, .Arms = 1}},
    {Old, "unplugged, the wait pends until the time-out; the read then fails (5)", Wait,
     {.GoneAt = 100, .GoneError = 5, .ReadGone = 5}, {.Error = 5, .Wait = HungUp, .Ms = WaitMs, .Arms = 1, .Reads = 1}},
    {New, "unasked event (EV_TXEMPTY) on a sound device, then a byte", Wait,
     {.Arrivals = {{280, "x"}}, .Ends = {{80, EvTxEmpty}}},
     {.Ms = 280, .Arms = 2, .Said = "wait ended early without a byte or an error; waiting on for 420 ms"}},
    {New, "unasked event on a sound device, then silence", Wait,
     {.Ends = {{80, EvTxEmpty}}}, {.Wait = TimedOut, .Ms = WaitMs, .Arms = 2, .Reads = 1}},
    {Tty, "the far end hangs up during the wait, nothing fails", Wait,
     {.WaitsEndAtOnceFrom = 300}, {.Wait = HungUp, .Ms = 300, .Arms = 2}},
    {Hup, "status query fails (21), the wait ends with the driver's 995", Wait,
     {.Ends = {{100, 0, 995}}, .GoneAt = 0, .GoneError = 21}, {.Error = 995, .Wait = HungUp, .Ms = 100, .Arms = 1}},
    {Hup, "the wait ends at once without an error, status query fails (21)", Wait,
     {.WaitsEndAtOnceFrom = 0, .GoneAt = 0, .GoneError = 21}, {.Error = 21, .Wait = HungUp, .Arms = 1}},
    {NoLines, "every wait ends at once, no byte, no error", Wait,
     {.WaitsEndAtOnceFrom = 0}, {.Wait = HungUp, .Arms = 2}},
    {NoLines, "every wait ends at once; a byte is queued", Wait,
     {.Arrivals = {{0, "x"}}, .WaitsEndAtOnceFrom = 0}, {.Arms = 1}},
    {New, "the wait cannot be armed: the device is gone", Wait,
     {.ArmError = 22}, {.Error = 22, .Wait = HungUp, .Arms = 1}},
    {Tty, "the wait fails for another reason", Wait, {.ArmError = 87}, {.Error = 87, .Wait = Failed, .Arms = 1}},
    {New, "the call that ends the wait fails with a removal", Wait,
     {.EndError = 22}, {.Error = 22, .Wait = HungUp, .Ms = WaitMs, .Arms = 1, .Said = "SetCommMask 22"}},
    {New, "a byte event with nothing queued, then the byte within the time", Wait,
     {.Arrivals = {{200, "x"}}, .Ends = {{50, CommEvRxChar}}}, {.Ms = 200, .Arms = 1, .Reads = 1}},
    {New, "a byte event with nothing queued, then silence", Wait,
     {.Ends = {{50, CommEvRxChar}}}, {.Wait = TimedOut, .Ms = WaitMs, .Arms = 1, .Reads = 1}},
    {New, "a byte event with a count of 0; a read returns the byte", Wait,
     {.Arrivals = {{60, "x"}}, .CountStaysZero = true}, {.Ms = 60, .Arms = 1, .Reads = 1}},
    {New, "a count of 0 and no event: the read at the time-out returns the byte", Wait,
     {.Arrivals = {{60, "x"}}, .CountStaysZero = true, .NoByteEvents = true}, {.Ms = WaitMs, .Arms = 1, .Reads = 1}},
    {New, "a byte event with nothing queued; the read returns at once, empty; then the byte", Wait,
     {.Arrivals = {{300, "x"}}, .Ends = {{50, CommEvRxChar}}, .ReadsReturnEmpty = true},
     {.Ms = 300, .Arms = 2, .Reads = 1}},
    {New, "a byte event with nothing queued; the pending read ends with 5 (gone)", Wait,
     {.Ends = {{50, CommEvRxChar}}, .GoneAt = 100, .GoneError = 22, .ReadGone = 5},
     {.Error = 5, .Wait = HungUp, .Ms = 100, .Arms = 1, .Reads = 1}},
    {New, "... ends with 22 (gone)", Wait,
     {.Ends = {{50, CommEvRxChar}}, .GoneAt = 100, .GoneError = 22, .ReadGone = 22},
     {.Error = 22, .Wait = HungUp, .Ms = 100, .Arms = 1, .Reads = 1}},
    {New, "... ends with 1617 (gone)", Wait,
     {.Ends = {{50, CommEvRxChar}}, .GoneAt = 100, .GoneError = 22, .ReadGone = 1617},
     {.Error = 1617, .Wait = HungUp, .Ms = 100, .Arms = 1, .Reads = 1}},
    {New, "... ends with 995 from the driver", Wait, {.Ends = {{50, CommEvRxChar}}, .GoneAt = 100, .ReadGone = 995},
     {.Error = 995, .Wait = HungUp, .Ms = 100, .Arms = 1, .Reads = 1}},
    {Tty, "... runs out its time, which the driver reports as an error (1460)", Wait,
     {.Ends = {{50, CommEvRxChar}}, .ReadTimeoutError = 1460}, {.Wait = TimedOut, .Ms = WaitMs, .Arms = 1, .Reads = 1}},
    {New, "... ends with 995 from the program's own cancel at the time", Wait,
     {.Ends = {{50, CommEvRxChar}}, .CancelError = 995, .ReadsIgnoreTimeouts = true},
     {.Wait = TimedOut, .Ms = WaitMs, .Arms = 1, .Reads = 1}},

    // A hung write, purged by the program after its deadlock time-out.
    {Tty, "a write goes out", Write, {}, {}},
    {New, "hung write, its completion reports the program's purge (995)", Write,
     {.WriteAnswer = {0, 995, true}}, {.TimedOut = true, .Ms = Deadlock}},
    {New, "hung write, its completion reports the removal (31)", Write,
     {.WriteAnswer = {0, 31, true}}, {.Error = 31, .Ms = Deadlock}},
    {New, "hung write, its completion reports the removal (1617)", Write,
     {.WriteAnswer = {0, 1617, true}}, {.Error = 1617, .Ms = Deadlock}},

    // As the serial object sees it.
    {New, "open: held by another program", Open, {.OpenError = 5}, {.Error = 5}},
    {New, "open: the device is gone", Open, {.OpenError = 2}, {.Error = 2}},
    {New, "a reply after a byte event with nothing queued", Line,
     {.Arrivals = {{120, "OK\n"}}, .Ends = {{50, CommEvRxChar}}},
     {.Ms = 120, .Arms = 1, .Reads = 1, .Text = "OK",
      .Said = "a byte event with nothing queued; read within 450 ms\nread within 450 ms: 3 bytes \"OK\n\", error 0"}},
    {New, "a reply the count never shows", Line,
     {.Arrivals = {{60, "OK\n"}}, .CountStaysZero = true}, {.Ms = 60, .Arms = 1, .Reads = 1, .Text = "OK"}},
    {New, "a reply line split by a byte event with nothing queued", Line,
     {.Arrivals = {{10, "OK, Wr"}, {200, "ite Ready\n"}}, .Ends = {{100, CommEvRxChar}}},
     {.Ms = 200, .Arms = 2, .Reads = 2, .Text = "OK, Write Ready"}},
    {Tty, "a framing error the status query cleared comes with the next read", Line,
     {.Arrivals = {{1, "OK\n"}}, .LineErrors = ceFrame}, {.Error = ErrFrame, .Ms = 1, .Arms = 1, .Reads = 1}},
    {Old, "unplugged while a reply is awaited: the read at the time-out fails (5)", Line,
     {.GoneAt = 100, .GoneError = 5, .ReadGone = 5}, {.Error = 5, .Ms = WaitMs, .Arms = 1, .Reads = 1}},
    {Hup, "a reply awaited after the hang-up", Line,
     {.Ends = {{1, 0, 995}}, .GoneAt = 0, .GoneError = 21}, {.Error = 995, .Ms = WaitMs, .Arms = 1}},
    {New, "silence; the program's own cancel ends the wait with 995", Line,
     {.CancelError = 995}, {.Error = ErrTimeout, .Ms = WaitMs, .Arms = 1, .Reads = 1}},
    {New, "unplugged between writes: the next write fails (31)", Send,
     {.GoneAt = 0, .GoneError = 22, .WriteAnswer = {0, 31, false}}, {.Error = 31}},
    {Hup, "a write after the hang-up fails (21)", Send, {.WriteAnswer = {0, 21, false}}, {.Error = 21}},
};

TEST(CommDriverTable, EachDriversAnswersGiveTheirOutcome)
{
    for (const TRow& row : Rows) {
        SCOPED_TRACE(std::string(row.Driver) + ": " + row.Situation);
        auto state = std::make_shared<TDriverState>(TDriverState{row.Script});
        const TOutcome& expect = row.Expect;
        std::uint64_t start = 0;
        std::string said;
        if (row.Op == Open || row.Op == Line || row.Op == Send) {
            TSerialPort port(std::make_unique<TBackend>(state));
            port.SetOnStatus([&](TSerialPort*, THookSerialReason Reason, const std::string& Value) {
                if (Reason == HR_Judged || Reason == HR_CallFailed)
                    said += Value + "\n";
            });
            port.Connect("COM3");
            start = rt::MonotonicMilliseconds();
            if (row.Op == Line)
                EXPECT_EQ(port.RecvTerminated(WaitMs, "\n"), expect.Text);
            else if (row.Op == Send)
                port.SendByte('x');
            EXPECT_EQ(port.LastError(), expect.Error) << port.LastErrorDesc();
            EXPECT_EQ(port.InstanceActive(), row.Op != Open || expect.Error == 0);
        } else {
            TBackend backend(state);
            backend.SetReports(
                {[&](const char* Call, int Error) { said += Call + (' ' + std::to_string(Error)) + '\n'; },
                 [&](const std::string& Text) { said += Text + '\n'; }});
            ASSERT_EQ(backend.Open("\\\\.\\COM3", 4096), 0);
            start = rt::MonotonicMilliseconds();
            if (row.Op == Flush) {
                bool timedOut = false;
                EXPECT_EQ(backend.Flush(Deadlock, timedOut), expect.Error);
                EXPECT_EQ(timedOut, expect.TimedOut);
            } else if (row.Op == Wait) {
                int error = -1;
                EXPECT_EQ(static_cast<int>(backend.WaitReadable(WaitMs, error)), static_cast<int>(expect.Wait));
                EXPECT_EQ(error, expect.Error);
                // Whatever a wait took ahead is the driver's to the caller: a
                // purge leaves nothing to read.
                int left = -1;
                backend.Purge(PurgeRxAbort | PurgeRxClear);
                backend.BytesWaiting(left);
                EXPECT_EQ(left, 0);
            } else {
                const TSerialTransfer done = backend.Write("x", 1, Deadlock);
                EXPECT_EQ(done.Error, expect.Error);
                EXPECT_EQ(done.TimedOut, expect.TimedOut);
            }
        }
        EXPECT_EQ(rt::MonotonicMilliseconds() - start, expect.Ms);
        EXPECT_EQ(state->Arms, expect.Arms) << "waits armed";
        EXPECT_EQ(state->Reads, expect.Reads) << "reads";
        EXPECT_NE(said.find(expect.Said), std::string::npos) << said;
    }
}

} // namespace
} // namespace hp
