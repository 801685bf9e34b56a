#pragma once
// The serial backend over a Windows comm driver. The driver (TDriver) makes
// the calls; everything that judges what it answered lives here, free of any
// platform call, so that what each driver answers (Windows's USB serial
// driver, old and new, and Wine's serial layer) can be played to these
// judgements on every build.
//
// A driver offers, each int being 0 or the number of the call that failed:
//   int Open(const std::string& Path)    the device, exclusively, overlapped
//   void Setup(int RecvQueueSize)        no events, the input queue's size, no
//                                        time-outs of the driver's own
//   bool IsOpen() const; std::uint64_t Handle() const; void Close()
//   int GetLineSettings(TSerialLineSettings&); int SetLineSettings(const TSerialLineSettings&)
//   int SetRTS(bool); int SetDTR(bool); int ModemStatus(std::uint32_t&); int Purge(unsigned)
//   TCommStatus Status()                 line errors and queue counts
//   int FlushBuffers()                   returns once the driver sent what it holds
//   TCommEvent ArmWait()                 arms a wait for a byte; ends it at once
//                                        when it did not pend
//   bool AwaitWait(int Timeout)          true when the armed wait ended by itself
//                                        within Timeout ms
//   TCommEvent EndWait()                 ends the armed wait (the program's own
//                                        cancel, if it still pends) and says how
//                                        it ended
//   int SetReadTimeouts(int Within)      Within >= 0: a read returns with the first
//                                        byte, with what is queued, or with nothing
//                                        after Within ms; < 0: the open's (none)
//   TCommTransfer Transfer(void* Buffer, int Length, int DeadlockTimeout, bool Writing)
//                                        one read or write; one that hangs past
//                                        DeadlockTimeout is purged and awaited
#include "runtime/clock.h"
#include "serialport/removed_device.h"
#include "serialport/serial_backend.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

namespace hp {

// What the status query answered.
struct TCommStatus {
    int Error = 0;
    std::uint32_t LineErrors = 0; // CE_ flags seen since the last query
    int InQueue = 0;
    int OutQueue = 0;
};

// How a wait for a byte ended (Pending: it has not yet).
struct TCommEvent {
    bool Pending = false;
    std::uint32_t Mask = 0; // the events reported; evRxChar: a byte came
    int Error = 0;          // the wait's completion failed with this
    int EndError = 0;       // the call that ends a wait (clearing the event mask) failed with this
};

// A read or write as the driver completed it.
struct TCommTransfer {
    int Count = 0;
    int Error = 0;
    bool Aborted = false; // hung past its deadlock time-out and purged by the program
};

// The comm event of a byte's arrival.
constexpr std::uint32_t CommEvRxChar = 1;

template <class TDriver>
class TCommBackend final : public TSerialBackend {
public:
    template <class... TArgs>
    explicit TCommBackend(TArgs&&... Args) : FDriver(std::forward<TArgs>(Args)...)
    {
    }
    ~TCommBackend() override { FDriver.Close(); }

    std::string DevicePath(const std::string& Name, int ComNr) const override
    {
        // The device namespace reaches every port, COM10 and above included.
        if (ComNr >= 0)
            return "\\\\.\\COM" + std::to_string(ComNr + 1);
        return Name;
    }

    int Open(const std::string& Path, int RecvQueueSize) override
    {
        if (FDriver.IsOpen())
            return Checked("CreateFileW", winerr::Busy);
        if (Path.find('\0') != std::string::npos)
            return Checked("CreateFileW", winerr::InvalidName);
        if (const int error = FDriver.Open(Path))
            return Checked("CreateFileW", error);
        // Only a communications device is a port: a plain file of that name
        // would otherwise swallow whatever is sent to it.
        TSerialLineSettings probe;
        if (const int error = FDriver.GetLineSettings(probe)) {
            FDriver.Close();
            return Checked("GetCommState", error);
        }
        FDriver.Setup(RecvQueueSize);
        FReadSize = std::max(RecvQueueSize, 1);
        FPendingErrors = 0;
        FHeld.clear();
        return 0;
    }

    bool IsOpen() const override { return FDriver.IsOpen(); }
    std::uint64_t Handle() const override { return FDriver.Handle(); }
    void Close() override
    {
        FHeld.clear();
        FDriver.Close();
    }

    int GetLineSettings(TSerialLineSettings& S) override { return Checked("GetCommState", FDriver.GetLineSettings(S)); }
    int SetLineSettings(const TSerialLineSettings& S) override
    {
        return Checked("SetCommState", FDriver.SetLineSettings(S));
    }
    int SetRTS(bool Value) override { return Checked("EscapeCommFunction", FDriver.SetRTS(Value)); }
    int SetDTR(bool Value) override { return Checked("EscapeCommFunction", FDriver.SetDTR(Value)); }
    int ModemStatus(std::uint32_t& Word) override { return Checked("GetCommModemStatus", FDriver.ModemStatus(Word)); }
    int Purge(unsigned Flags) override
    {
        // Bytes a read took ahead for the caller are the driver's as far as
        // the caller knows: a purge drops them too.
        if (Flags & (PurgeRxAbort | PurgeRxClear))
            FHeld.clear();
        return Checked("PurgeComm", FDriver.Purge(Flags));
    }

    int Flush(int DeadlockTimeout, bool& TimedOut) override
    {
        TimedOut = false;
        // The driver's flush alone would wait for ever on a device that
        // stopped taking bytes; watch the output queue instead and flush only
        // once it is empty, within the deadlock time-out.
        const std::uint64_t deadline =
            rt::MonotonicMilliseconds() + static_cast<std::uint64_t>(std::max(DeadlockTimeout, 0));
        for (;;) {
            const TCommStatus status = QueryStatus();
            if (status.Error != 0) {
                // Nothing more leaves a device that is gone.
                if (MeansDeviceGone(status.Error, false))
                    return status.Error;
                break;
            }
            if (status.OutQueue == 0)
                break;
            if (rt::MonotonicMilliseconds() >= deadline) {
                TimedOut = true;
                return 0;
            }
            rt::SleepMilliseconds(QueueWatchMs);
        }
        const int error = Checked("FlushFileBuffers", FDriver.FlushBuffers());
        if (error == 0)
            return 0;
        // Some USB serial drivers do not implement the flush at all; their
        // empty output queue is the answer then.
        const TCommStatus status = QueryStatus();
        if (RefusedFlushCountsAsDone(error, status.Error, status.OutQueue)) {
            if (Judging())
                Judged("flush refused (" + std::to_string(error) + ") with nothing queued: counts as done");
            return 0;
        }
        return status.Error != 0 && MeansDeviceGone(status.Error, false) ? status.Error : error;
    }

    int BytesWaiting(int& Count) override
    {
        // Bytes a read took ahead are handed out before the driver is asked
        // again, so that they keep their place ahead of later ones.
        if (!FHeld.empty()) {
            Count = static_cast<int>(FHeld.size());
            return 0;
        }
        return QueueCount(Count, &TCommStatus::InQueue);
    }
    int BytesQueuedOut(int& Count) override { return QueueCount(Count, &TCommStatus::OutQueue); }

    TSerialWait WaitReadable(int Timeout, int& Error) override
    {
        Error = 0;
        if (!FDriver.IsOpen()) {
            Error = Checked("WaitCommEvent", winerr::InvalidHandle);
            return TSerialWait::Failed;
        }
        if (!FHeld.empty())
            return TSerialWait::Ready;
        const std::uint64_t deadline = rt::MonotonicMilliseconds() + static_cast<std::uint64_t>(std::max(Timeout, 0));
        // A wait that ends early, without a byte and without an error, is how
        // Wine shows a terminal that hung up; but the USB serial driver has
        // been seen to end one with an event it was not asked for while the
        // device was fine. Waited on for the time that is left, a sound
        // device goes on; a second such end is the hang-up.
        bool endedEarly = false;
        for (;;) {
            TWaitEnd end = WaitOnce(Left(deadline));
            if (end.Kind == TWaitKind::ByteEventButEmpty) {
                // The driver said a byte came, but its queue shows none: the
                // byte may have been read already, or the count may lag. The
                // driver is asked with a read that returns at the first byte,
                // within the time that is left.
                if (Judging())
                    Judged("wait: a byte event with nothing queued; read within " +
                           std::to_string(Left(deadline)) + " ms");
                end = ReadWithin(Left(deadline));
                if (end.Kind == TWaitKind::TimedOut && Left(deadline) > 0)
                    end.Kind = TWaitKind::EndedEarly;
            } else if (end.Kind == TWaitKind::TimedOut) {
                // Neither the event nor the count proves silence: a driver
                // whose count lags still hands out what it holds to a read.
                end = ReadWithin(0);
            }
            if (end.Kind != TWaitKind::EndedEarly) {
                Error = end.Error;
                return end.Result();
            }
            if (endedEarly)
                return TSerialWait::HungUp;
            endedEarly = true;
            if (Judging())
                Judged("wait ended early without a byte or an error; waiting on for " +
                       std::to_string(Left(deadline)) + " ms");
        }
    }

    TSerialTransfer Read(void* Buffer, int Length, int DeadlockTimeout) override
    {
        if (!FHeld.empty()) {
            TSerialTransfer result;
            const std::size_t count = std::min(FHeld.size(), static_cast<std::size_t>(std::max(Length, 0)));
            FHeld.copy(static_cast<char*>(Buffer), count);
            FHeld.erase(0, count);
            result.Count = static_cast<int>(count);
            return result;
        }
        return Transferred(Buffer, Length, DeadlockTimeout, false);
    }

    TSerialTransfer Write(const void* Buffer, int Length, int DeadlockTimeout) override
    {
        return Transferred(const_cast<void*>(Buffer), Length, DeadlockTimeout, true);
    }

    std::uint32_t LineErrors() override
    {
        // A query that fails reports no line errors: the transfer's own
        // outcome already says what went wrong. Errors an earlier query
        // cleared are reported here, with the transfer.
        QueryStatus();
        const std::uint32_t result = FPendingErrors;
        FPendingErrors = 0;
        return result;
    }

    int LastPlatformError() const override { return FLastError; }

    TDriver& Driver() { return FDriver; }

private:
    // How often the flush looks at the output queue while it drains.
    static constexpr std::uint32_t QueueWatchMs = 5;

    // How one armed wait, or a read that stood in for one, ended.
    enum class TWaitKind {
        ByteQueued,        // a byte can be read
        ByteEventButEmpty, // the driver reported a byte, but its queue holds none
        EndedEarly,        // ended by itself without a byte or an error, the device answering
        TimedOut,
        HungUp,            // the device is gone (Error: its number, or 0 where it is not told)
        Failed,
    };
    struct TWaitEnd {
        TWaitKind Kind;
        int Error = 0;

        TSerialWait Result() const
        {
            switch (Kind) {
            case TWaitKind::ByteQueued: return TSerialWait::Ready;
            case TWaitKind::TimedOut: return TSerialWait::TimedOut;
            case TWaitKind::Failed: return TSerialWait::Failed;
            default: return TSerialWait::HungUp;
            }
        }
    };

    static int Left(std::uint64_t Deadline)
    {
        const std::uint64_t now = rt::MonotonicMilliseconds();
        return static_cast<int>(std::min<std::uint64_t>(Deadline > now ? Deadline - now : 0, 0x7FFFFFFF));
    }

    // A driver call's outcome, passed on; a failure is also kept as the last
    // platform error and told of.
    int Checked(const char* Call, int Error)
    {
        if (Error != 0) {
            FLastError = Error;
            CallFailed(Call, Error);
        }
        return Error;
    }

    // The one way the driver's status is asked for. The query clears the
    // driver's line-error flags: they are kept for the next transfer to
    // report, never lost.
    TCommStatus QueryStatus()
    {
        const TCommStatus status = FDriver.Status();
        if (status.Error != 0)
            Checked("ClearCommError", status.Error);
        else
            FPendingErrors |= status.LineErrors;
        return status;
    }

    int QueueCount(int& Count, int TCommStatus::*Field)
    {
        const TCommStatus status = QueryStatus();
        Count = status.Error == 0 ? status.*Field : 0;
        return status.Error;
    }

    // Ends the armed wait; a failure of the call that ends it is told of.
    TCommEvent EndWait()
    {
        const TCommEvent event = FDriver.EndWait();
        Checked("SetCommMask", event.EndError);
        return event;
    }

    // One armed wait of at most Timeout ms.
    TWaitEnd WaitOnce(int Timeout)
    {
        TCommEvent event = FDriver.ArmWait();
        bool timedOut = false;
        if (event.Pending) {
            // A byte that came after the caller last looked at the queue and
            // before the wait was armed raises no event: look again now that
            // the wait is armed, and end it at once if so. A device removed
            // meanwhile may say so here first.
            const TCommStatus status = QueryStatus();
            const bool removed = status.Error != 0 && MeansDeviceGone(status.Error, false);
            if ((status.Error == 0 && status.InQueue > 0) || removed) {
                EndWait();
                return removed ? TWaitEnd{TWaitKind::HungUp, status.Error} : TWaitEnd{TWaitKind::ByteQueued};
            }
            // Whether the time-out or the device ended the wait is told by
            // the wait itself: judged by the clock, a wait that a vanished
            // device ended would pass for a time-out whenever this thread ran
            // late.
            timedOut = !FDriver.AwaitWait(Timeout);
            event = EndWait();
        }
        if (event.Mask & CommEvRxChar) {
            // The event alone is no byte: only the queue shows one that can
            // be read.
            const TCommStatus status = QueryStatus();
            if (status.Error == 0 && status.InQueue > 0)
                return {TWaitKind::ByteQueued};
            if (status.Error != 0 && MeansDeviceGone(status.Error, false))
                return {TWaitKind::HungUp, status.Error};
            return {TWaitKind::ByteEventButEmpty};
        }
        // A device unplugged while the time ran out is gone all the same; only
        // the abort of the program's own cancel is no news.
        if (event.Error != 0 && MeansDeviceGone(event.Error, timedOut))
            return {TWaitKind::HungUp, Checked("WaitCommEvent", event.Error)};
        if (event.EndError != 0 && MeansDeviceGone(event.EndError, false))
            return {TWaitKind::HungUp, event.EndError};
        if (timedOut)
            return {TWaitKind::TimedOut};
        if (event.Error != 0)
            return {TWaitKind::Failed, Checked("WaitCommEvent", event.Error)};
        // Ended early without a byte and without an error: bytes may be
        // queued all the same. A device whose status can no longer be read
        // (a USB port that was unplugged) says so with that failure's number.
        const TCommStatus status = QueryStatus();
        if (status.Error != 0)
            return {TWaitKind::HungUp, status.Error};
        if (status.InQueue > 0)
            return {TWaitKind::ByteQueued};
        return {TWaitKind::EndedEarly};
    }

    // A read that returns with the first byte, or with nothing after Timeout
    // ms; what it returns is held for the caller's next read.
    TWaitEnd ReadWithin(int Timeout)
    {
        Checked("SetCommTimeouts", FDriver.SetReadTimeouts(Timeout));
        FHeld.resize(static_cast<std::size_t>(FReadSize));
        const TCommTransfer done = FDriver.Transfer(FHeld.data(), FReadSize, Timeout, false);
        FHeld.resize(static_cast<std::size_t>(std::clamp(done.Count, 0, FReadSize)));
        Checked("SetCommTimeouts", FDriver.SetReadTimeouts(-1));
        // Bytes come first; a failure after them shows on the next call. A
        // read that ran out its time may say so as an error (Wine).
        TWaitEnd end{TWaitKind::ByteQueued};
        if (FHeld.empty()) {
            const bool ownCancel = done.Aborted && !MeansDeviceGone(done.Error, true);
            if (done.Error == 0 || done.Error == winerr::Timeout || ownCancel)
                end = {TWaitKind::TimedOut};
            else
                end = {MeansDeviceGone(done.Error, done.Aborted) ? TWaitKind::HungUp : TWaitKind::Failed,
                       Checked("ReadFile", done.Error)};
        }
        // The read at a time-out is news only when it found what the wait
        // did not.
        if (Judging() && (Timeout > 0 || end.Kind != TWaitKind::TimedOut))
            Judged("read within " + std::to_string(Timeout) + " ms: " + std::to_string(FHeld.size()) + " bytes \"" +
                   FHeld + "\", error " + std::to_string(done.Error));
        return end;
    }

    TSerialTransfer Transferred(void* Buffer, int Length, int DeadlockTimeout, bool Writing)
    {
        TSerialTransfer result;
        if (!FDriver.IsOpen()) {
            result.Error = Checked(Writing ? "WriteFile" : "ReadFile", winerr::InvalidHandle);
            return result;
        }
        const TCommTransfer done = FDriver.Transfer(Buffer, Length, DeadlockTimeout, Writing);
        result.Count = done.Count;
        // A device that went away while the transfer hung says so, rather
        // than passing for a slow one; the abort of the program's own purge
        // says nothing.
        result.TimedOut = done.Aborted && !(done.Error != 0 && MeansDeviceGone(done.Error, true));
        if (!result.TimedOut)
            result.Error = Checked(Writing ? "WriteFile" : "ReadFile", done.Error);
        return result;
    }

    TDriver FDriver;
    int FLastError = 0;
    std::uint32_t FPendingErrors = 0;
    // What a read within a time returned, not yet handed to the caller.
    std::string FHeld;
    int FReadSize = 4096;
};

} // namespace hp
