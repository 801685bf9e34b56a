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
            return Fail("CreateFileW", winerr::Busy);
        if (Path.find('\0') != std::string::npos)
            return Fail("CreateFileW", winerr::InvalidName);
        if (const int error = FDriver.Open(Path))
            return Fail("CreateFileW", error);
        // Only a communications device is a port: a plain file of that name
        // would otherwise swallow whatever is sent to it.
        TSerialLineSettings probe;
        if (const int error = FDriver.GetLineSettings(probe)) {
            FDriver.Close();
            return Fail("GetCommState", error);
        }
        FDriver.Setup(RecvQueueSize);
        FPendingErrors = 0;
        return 0;
    }

    bool IsOpen() const override { return FDriver.IsOpen(); }
    std::uint64_t Handle() const override { return FDriver.Handle(); }
    void Close() override { FDriver.Close(); }

    int GetLineSettings(TSerialLineSettings& S) override { return Fail("GetCommState", FDriver.GetLineSettings(S)); }
    int SetLineSettings(const TSerialLineSettings& S) override
    {
        return Fail("SetCommState", FDriver.SetLineSettings(S));
    }
    int SetRTS(bool Value) override { return Fail("EscapeCommFunction", FDriver.SetRTS(Value)); }
    int SetDTR(bool Value) override { return Fail("EscapeCommFunction", FDriver.SetDTR(Value)); }
    int ModemStatus(std::uint32_t& Word) override { return Fail("GetCommModemStatus", FDriver.ModemStatus(Word)); }
    int Purge(unsigned Flags) override { return Fail("PurgeComm", FDriver.Purge(Flags)); }

    int Flush(int DeadlockTimeout, bool& TimedOut) override
    {
        TimedOut = false;
        // The driver's flush alone would wait for ever on a device that
        // stopped taking bytes; watch the output queue instead and flush only
        // once it is empty, within the deadlock time-out.
        const std::uint64_t deadline =
            rt::MonotonicMilliseconds() + static_cast<std::uint64_t>(std::max(DeadlockTimeout, 0));
        for (;;) {
            const TCommStatus status = Status();
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
        const int error = Fail("FlushFileBuffers", FDriver.FlushBuffers());
        if (error == 0)
            return 0;
        // Some USB serial drivers do not implement the flush at all; their
        // empty output queue is the answer then.
        const TCommStatus status = Status();
        if (RefusedFlushCountsAsDone(error, status.Error, status.OutQueue))
            return 0;
        return status.Error != 0 && MeansDeviceGone(status.Error, false) ? status.Error : error;
    }

    int BytesWaiting(int& Count) override { return QueueCount(Count, &TCommStatus::InQueue); }
    int BytesQueuedOut(int& Count) override { return QueueCount(Count, &TCommStatus::OutQueue); }

    TSerialWait WaitReadable(int Timeout, int& Error) override
    {
        Error = 0;
        if (!FDriver.IsOpen()) {
            Error = Fail("WaitCommEvent", winerr::InvalidHandle);
            return TSerialWait::Failed;
        }
        const std::uint64_t deadline = rt::MonotonicMilliseconds() + static_cast<std::uint64_t>(std::max(Timeout, 0));
        // A wait that ends early, without a byte and without an error, is how
        // Wine shows a terminal that hung up; but the USB serial driver has
        // been seen to end one with an event it was not asked for while the
        // device was fine. Armed again for the time that is left, a sound
        // device waits on; a second such end is the hang-up.
        for (int early = 0;; ++early) {
            const std::uint64_t now = rt::MonotonicMilliseconds();
            const int left = static_cast<int>(std::min<std::uint64_t>(deadline > now ? deadline - now : 0, 0x7FFFFFFF));
            bool endedEarly = false;
            const TSerialWait result = WaitOnce(left, Error, endedEarly);
            if (!endedEarly || early > 0)
                return result;
        }
    }

    TSerialTransfer Read(void* Buffer, int Length, int DeadlockTimeout) override
    {
        return Transferred(Buffer, Length, DeadlockTimeout, false);
    }

    TSerialTransfer Write(const void* Buffer, int Length, int DeadlockTimeout) override
    {
        return Transferred(const_cast<void*>(Buffer), Length, DeadlockTimeout, true);
    }

    std::uint32_t LineErrors() override
    {
        // A query that fails reports no line errors: the transfer's own
        // outcome already says what went wrong.
        const TCommStatus status = FDriver.Status();
        const std::uint32_t result = (status.Error == 0 ? status.LineErrors : 0) | FPendingErrors;
        FPendingErrors = 0;
        return result;
    }

    int LastPlatformError() const override { return FLastError; }

    TDriver& Driver() { return FDriver; }

private:
    // How often the flush looks at the output queue while it drains.
    static constexpr std::uint32_t QueueWatchMs = 5;

    // Records a failed call's number and tells of it; 0 passes through.
    int Fail(const char* Call, int Error)
    {
        if (Error != 0) {
            FLastError = Error;
            CallFailed(Call, Error);
        }
        return Error;
    }

    // The status query. It clears the driver's line-error flags; they are
    // kept for the next transfer to report instead of lost.
    TCommStatus Status()
    {
        const TCommStatus status = FDriver.Status();
        if (status.Error != 0)
            Fail("ClearCommError", status.Error);
        else
            FPendingErrors |= status.LineErrors;
        return status;
    }

    int QueueCount(int& Count, int TCommStatus::*Field)
    {
        const TCommStatus status = Status();
        Count = status.Error == 0 ? status.*Field : 0;
        return status.Error;
    }

    // One armed wait of at most Timeout ms. EndedEarly: it ended by itself
    // without a byte and without an error while the device still answers;
    // the result is then HungUp.
    TSerialWait WaitOnce(int Timeout, int& Error, bool& EndedEarly)
    {
        TCommEvent event = FDriver.ArmWait();
        bool timedOut = false;
        if (event.Pending) {
            // A byte that came after the caller last looked at the queue and
            // before the wait was armed raises no event: look again now that
            // the wait is armed, and end it at once if so. A device removed
            // meanwhile may say so here first.
            const TCommStatus status = Status();
            const bool removed = status.Error != 0 && MeansDeviceGone(status.Error, false);
            if ((status.Error == 0 && status.InQueue > 0) || removed) {
                FDriver.EndWait();
                if (!removed)
                    return TSerialWait::Ready;
                Error = status.Error;
                return TSerialWait::HungUp;
            }
            // Whether the time-out or the device ended the wait is told by
            // the wait itself: judged by the clock, a wait that a vanished
            // device ended would pass for a time-out whenever this thread ran
            // late.
            timedOut = !FDriver.AwaitWait(Timeout);
            event = FDriver.EndWait();
        }
        if (event.Mask & CommEvRxChar)
            return TSerialWait::Ready;
        // A device unplugged while the time ran out is gone all the same; only
        // the abort of the program's own cancel is no news.
        if (event.Error != 0 && MeansDeviceGone(event.Error, timedOut)) {
            Error = Fail("WaitCommEvent", event.Error);
            return TSerialWait::HungUp;
        }
        if (timedOut)
            return TSerialWait::TimedOut;
        if (event.Error != 0) {
            Error = Fail("WaitCommEvent", event.Error);
            return TSerialWait::Failed;
        }
        // Ended early without a byte and without an error: bytes may be
        // queued all the same. A device whose status can no longer be read
        // (a USB port that was unplugged) says so with that failure's number.
        const TCommStatus status = Status();
        if (status.Error != 0) {
            Error = status.Error;
            return TSerialWait::HungUp;
        }
        if (status.InQueue > 0)
            return TSerialWait::Ready;
        EndedEarly = true;
        return TSerialWait::HungUp;
    }

    TSerialTransfer Transferred(void* Buffer, int Length, int DeadlockTimeout, bool Writing)
    {
        TSerialTransfer result;
        if (!FDriver.IsOpen()) {
            result.Error = Fail(Writing ? "WriteFile" : "ReadFile", winerr::InvalidHandle);
            return result;
        }
        const TCommTransfer done = FDriver.Transfer(Buffer, Length, DeadlockTimeout, Writing);
        result.Count = done.Count;
        // A device that went away while the transfer hung says so, rather
        // than passing for a slow one; the abort of the program's own purge
        // says nothing.
        result.TimedOut = done.Aborted && !(done.Error != 0 && MeansDeviceGone(done.Error, true));
        if (!result.TimedOut)
            result.Error = Fail(Writing ? "WriteFile" : "ReadFile", done.Error);
        return result;
    }

    TDriver FDriver;
    int FLastError = 0;
    std::uint32_t FPendingErrors = 0;
};

} // namespace hp
