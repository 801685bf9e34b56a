#include "replay_driver.h"

#include "runtime/trace.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace hp::replay {

TReplay::TReplay(const TTraceRun& Run) : FRun(Run), FBase(ClockNow()) {}

const TTraceCall& TReplay::Next(const std::string& Asked, const std::string& Call,
                                const std::vector<std::string>& Args)
{
    if (FRunLeft > 0)
        Diverge(Asked, "comm writes " + std::to_string(FRunLength) + " (" + std::to_string(FRunLeft) +
                           " one-byte writes of it still to come)");
    if (FNext >= FRun.Calls.size())
        Diverge(Asked, "nothing more");
    const TTraceCall& c = FRun.Calls[FNext];
    bool same = c.Call == Call && c.Args.size() >= Args.size();
    for (std::size_t i = 0; same && i < Args.size(); ++i)
        same = Args[i] == "*" || Args[i] == c.Args[i];
    if (!same)
        Diverge(Asked, c.Text);
    ++FNext;
    FLastStamp = c.Stamp;
    ClockAtLeast(FBase + c.Stamp);
    return c;
}

bool TReplay::WriteInRun()
{
    if (FRunLeft == 0) {
        if (FNext >= FRun.Calls.size() || FRun.Calls[FNext].Call != "writes")
            return false;
        const TTraceCall& c = FRun.Calls[FNext];
        FRunLength = FRunLeft = static_cast<int>(std::strtol(c.Args.at(0).c_str(), nullptr, 10));
        if (FRunLeft <= 0)
            return false;
    } else if (FRunWrote) {
        Diverge("comm write 1", "a status query after the last one-byte write of comm writes " +
                                    std::to_string(FRunLength));
    }
    FRunWrote = true;
    return true;
}

bool TReplay::StatusInRun()
{
    if (FRunLeft == 0 || !FRunWrote)
        return false;
    FRunWrote = false;
    const TTraceCall& c = FRun.Calls[FNext];
    // Between the stamps of the lines before and after, as the bytes went.
    const int done = FRunLength - --FRunLeft;
    ClockAtLeast(FBase + FLastStamp + (c.Stamp - std::min(c.Stamp, FLastStamp)) * done / FRunLength);
    if (FRunLeft == 0) {
        ++FNext;
        FLastStamp = c.Stamp;
    }
    return true;
}

void TReplay::Finish()
{
    if (FRunLeft > 0 || FNext < FRun.Calls.size())
        Diverge("nothing more: the run has ended", FRunLeft > 0 ? "comm writes " + std::to_string(FRunLength)
                                                              : FRun.Calls[FNext].Text);
}

void TReplay::Diverge(const std::string& Asked, const std::string& Held)
{
    const int line = FNext < FRun.Calls.size() ? FRun.Calls[FNext].LineNo : 0;
    std::cerr << "trace-replay: the run takes another road than the trace"
              << (line ? " at its line " + std::to_string(line) : std::string(" at its end")) << ":\n"
              << "trace-replay:   the program: " << Asked << "\n"
              << "trace-replay:   the trace:   " << Held << std::endl;
    std::exit(DivergedStatus);
}

int TReplayComm::Error(const std::string& Asked, const std::string& Call, const std::vector<std::string>& Args)
{
    return static_cast<int>(R.Next("comm " + Asked, Call, Args).Number("error"));
}

int TReplayComm::Open(const std::string& Path)
{
    const int error = Error("open " + rt::TraceQuoted(Path), "open", {Path});
    FOpen = error == 0;
    return error;
}

void TReplayComm::Setup(int RecvQueueSize)
{
    R.Next("comm setup " + std::to_string(RecvQueueSize), "setup", {std::to_string(RecvQueueSize)});
}

void TReplayComm::Close()
{
    if (!FOpen)
        return;
    R.Next("comm close", "close");
    FOpen = false;
}

int TReplayComm::GetLineSettings(TSerialLineSettings&) { return Error("get-settings", "get-settings"); }
int TReplayComm::SetLineSettings(const TSerialLineSettings&) { return Error("set-settings", "set-settings"); }

int TReplayComm::SetRTS(bool Value)
{
    return Error(Value ? "rts 1" : "rts 0", "rts", {Value ? "1" : "0"});
}

int TReplayComm::SetDTR(bool Value)
{
    return Error(Value ? "dtr 1" : "dtr 0", "dtr", {Value ? "1" : "0"});
}

int TReplayComm::ModemStatus(std::uint32_t& Word)
{
    const TTraceCall& c = R.Next("comm modem", "modem");
    Word = static_cast<std::uint32_t>(c.Number("word"));
    return static_cast<int>(c.Number("error"));
}

int TReplayComm::Purge(unsigned Flags)
{
    return Error("purge " + std::to_string(Flags), "purge", {std::to_string(Flags)});
}

int TReplayComm::SetReadTimeouts(int Within)
{
    // How long a read may take follows from the clock, which the replay
    // keeps only to the millisecond: only the kind of read is compared.
    return Error("timeouts " + std::to_string(Within), "timeouts", {Within < 0 ? std::to_string(Within) : "*"});
}

int TReplayComm::FlushBuffers() { return Error("flush", "flush"); }

TCommStatus TReplayComm::Status()
{
    if (R.StatusInRun())
        return {};
    const TTraceCall& c = R.Next("comm status", "status");
    return {static_cast<int>(c.Number("error")), static_cast<std::uint32_t>(c.Number("errors")),
            static_cast<int>(c.Number("in")), static_cast<int>(c.Number("out"))};
}

TCommEvent TReplayComm::ArmWait()
{
    const TTraceCall& c = R.Next("comm arm", "arm");
    if (c.Answer.count("pending"))
        return {true};
    return {false, static_cast<std::uint32_t>(c.Number("mask")), static_cast<int>(c.Number("error"))};
}

bool TReplayComm::AwaitWait(int Timeout)
{
    return R.Next("comm await " + std::to_string(Timeout), "await").Answer.count("ended") != 0;
}

TCommEvent TReplayComm::EndWait()
{
    const TTraceCall& c = R.Next("comm end", "end");
    return {false, static_cast<std::uint32_t>(c.Number("mask")), static_cast<int>(c.Number("error")),
            static_cast<int>(c.Number("end-error"))};
}

TCommTransfer TReplayComm::Transfer(void* Buffer, int Length, int DeadlockTimeout, bool Writing)
{
    if (Writing && Length == 1 && R.WriteInRun())
        return {1, 0, false};
    const std::string sent = Writing ? std::string(static_cast<const char*>(Buffer), static_cast<std::size_t>(Length))
                                     : std::string();
    const std::string asked = std::string(Writing ? "write " : "read ") + std::to_string(Length) + " within " +
                              std::to_string(DeadlockTimeout) + (Writing ? " bytes " + rt::TraceQuoted(sent) : "");
    const TTraceCall& c = R.Next("comm " + asked, Writing ? "write" : "read", {std::to_string(Length)});
    const std::string& bytes = c.Value("bytes");
    if (Writing && bytes != sent)
        R.Diverge("comm " + asked, c.Text);
    const TCommTransfer done{static_cast<int>(c.Number("count")), static_cast<int>(c.Number("error")),
                             c.Number("aborted") != 0};
    if (!Writing)
        std::memcpy(Buffer, bytes.data(), std::min(bytes.size(), static_cast<std::size_t>(std::max(Length, 0))));
    return done;
}

} // namespace hp::replay
