#pragma once
// Every answer of a Windows comm driver, written to the trace as it comes, so
// that a trace from a user's machine holds all that the backend judged and
// the run can be played again from it (tools/trace-replay). The recorder
// stands between the backend and the driver only while a trace is on:
// without one the backend runs over the driver itself and pays nothing.
//
// One line a call, "comm <call> <arguments> -> <answer>", byte strings
// quoted (rt::TraceQuoted). The upload's byte loop, a one-byte write and the
// status query after it, is one line for every WritesPerLine such pairs that
// went without a fault ("comm writes 4096"); the first write or query that
// did not is a line of its own.
#include "runtime/trace.h"
#include "serialport/comm_backend.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

namespace hp {

constexpr int WritesPerLine = 4096;

template <class TDriver>
class TCommRecorder {
public:
    using TSink = void (*)(std::string_view Line);

    template <class... TArgs>
    explicit TCommRecorder(TSink Sink, TArgs&&... Args) : FSink(Sink), FDriver(std::forward<TArgs>(Args)...)
    {
    }
    ~TCommRecorder() { Flush(); }
    TCommRecorder(const TCommRecorder&) = delete;
    TCommRecorder& operator=(const TCommRecorder&) = delete;

    int Open(const std::string& Path) { return Said("open " + rt::TraceQuoted(Path), FDriver.Open(Path)); }
    void Setup(int RecvQueueSize)
    {
        FDriver.Setup(RecvQueueSize);
        Record("setup " + std::to_string(RecvQueueSize));
    }
    bool IsOpen() const { return FDriver.IsOpen(); }
    std::uint64_t Handle() const { return FDriver.Handle(); }
    void Close()
    {
        // Closing what is not open (again, on the way out) is no news.
        if (!FDriver.IsOpen())
            return;
        FDriver.Close();
        Record("close");
    }
    int GetLineSettings(TSerialLineSettings& S) { return Said("get-settings", FDriver.GetLineSettings(S)); }
    int SetLineSettings(const TSerialLineSettings& S) { return Said("set-settings", FDriver.SetLineSettings(S)); }
    int SetRTS(bool Value) { return Said(Value ? "rts 1" : "rts 0", FDriver.SetRTS(Value)); }
    int SetDTR(bool Value) { return Said(Value ? "dtr 1" : "dtr 0", FDriver.SetDTR(Value)); }
    int ModemStatus(std::uint32_t& Word)
    {
        const int error = FDriver.ModemStatus(Word);
        Record("modem -> error " + std::to_string(error) + " word " + Hex(Word));
        return error;
    }
    int Purge(unsigned Flags) { return Said("purge " + std::to_string(Flags), FDriver.Purge(Flags)); }
    int SetReadTimeouts(int Within)
    {
        return Said("timeouts " + std::to_string(Within), FDriver.SetReadTimeouts(Within));
    }
    int FlushBuffers() { return Said("flush", FDriver.FlushBuffers()); }

    TCommStatus Status()
    {
        const TCommStatus s = FDriver.Status();
        if (FPendingWrite && s.Error == 0 && s.LineErrors == 0) [[likely]] {
            // One more byte of the upload's loop went as it should.
            FPendingWrite = false;
            if (++FWrites == WritesPerLine) [[unlikely]]
                FlushWrites();
            return s;
        }
        RecordStatus(s);
        return s;
    }

    TCommEvent ArmWait()
    {
        const TCommEvent e = FDriver.ArmWait();
        Record(e.Pending ? std::string("arm -> pending")
                         : "arm -> mask " + Hex(e.Mask) + " error " + std::to_string(e.Error));
        return e;
    }
    bool AwaitWait(int Timeout)
    {
        const bool ended = FDriver.AwaitWait(Timeout);
        Record("await " + std::to_string(Timeout) + (ended ? " -> ended" : " -> timed-out"));
        return ended;
    }
    TCommEvent EndWait()
    {
        const TCommEvent e = FDriver.EndWait();
        Record("end -> mask " + Hex(e.Mask) + " error " + std::to_string(e.Error) + " end-error " +
               std::to_string(e.EndError));
        return e;
    }

    TCommTransfer Transfer(void* Buffer, int Length, int DeadlockTimeout, bool Writing)
    {
        const TCommTransfer t = FDriver.Transfer(Buffer, Length, DeadlockTimeout, Writing);
        if (Writing && Length == 1 && t.Count == 1 && t.Error == 0 && !t.Aborted && !FPendingWrite) [[likely]] {
            // Told once its status query has gone as well.
            FPendingWrite = true;
            FPendingByte = *static_cast<const char*>(Buffer);
            FPendingWithin = DeadlockTimeout;
            return t;
        }
        RecordTransfer(Buffer, Length, DeadlockTimeout, Writing, t);
        return t;
    }

    TDriver& Driver() { return FDriver; }

private:
    // The lines are made out of the byte loop's way: its calls stay small
    // enough to inline.
    [[gnu::noinline]] void RecordStatus(const TCommStatus& S)
    {
        Record("status -> error " + std::to_string(S.Error) + " errors " + Hex(S.LineErrors) + " in " +
               std::to_string(S.InQueue) + " out " + std::to_string(S.OutQueue));
    }

    [[gnu::noinline]] void RecordTransfer(void* Buffer, int Length, int DeadlockTimeout, bool Writing,
                                          const TCommTransfer& T)
    {
        // What a read returned, never more than it was given room for.
        const int count = std::clamp(Writing ? Length : T.Count, 0, std::max(Length, 0));
        const std::string bytes(static_cast<const char*>(Buffer), static_cast<std::size_t>(count));
        Record(Transfer(Writing, Length, DeadlockTimeout, T, bytes));
    }

    static std::string Hex(std::uint32_t Value)
    {
        char text[16];
        std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(Value));
        return text;
    }

    static std::string Transfer(bool Writing, int Length, int DeadlockTimeout, const TCommTransfer& T,
                                const std::string& Bytes)
    {
        return std::string(Writing ? "write " : "read ") + std::to_string(Length) + " within " +
               std::to_string(DeadlockTimeout) + " -> count " + std::to_string(T.Count) + " error " +
               std::to_string(T.Error) + " aborted " + (T.Aborted ? "1" : "0") + " bytes " + rt::TraceQuoted(Bytes);
    }

    int Said(const std::string& Call, int Error)
    {
        Record(Call + " -> error " + std::to_string(Error));
        return Error;
    }

    // Whatever the byte loop still holds comes first.
    void Record(const std::string& Line)
    {
        Flush();
        FSink("comm " + Line);
    }

    [[gnu::noinline]] void FlushWrites()
    {
        if (FWrites != 0)
            FSink("comm writes " + std::to_string(FWrites));
        FWrites = 0;
    }

    void Flush()
    {
        FlushWrites();
        if (FPendingWrite) {
            FPendingWrite = false;
            FSink("comm " + Transfer(true, 1, FPendingWithin, {1, 0, false}, std::string(1, FPendingByte)));
        }
    }

    TSink FSink;
    TDriver FDriver;
    int FWrites = 0;          // one-byte writes and their status queries told of by the next "writes" line
    bool FPendingWrite = false; // a one-byte write whose status query is still to come
    char FPendingByte = 0;
    int FPendingWithin = 0;
};

} // namespace hp
