#pragma once
// A scripted device for the parts of the serial object that a real terminal
// cannot provoke: line errors, failing driver calls, modem lines, megabytes
// without a line end. Input arrives in chunks; each chunk is what the driver
// holds at one moment.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/clock.h"
#include "serialport/serial_backend.h"

namespace hp::test {

struct TFakeDevice {
    bool Open = false;
    int Opens = 0;
    int Closes = 0;
    int OpenError = 0;
    int PurgeError = 0;
    int WaitingError = 0;
    int WriteError = 0;
    bool HungUp = false;
    int HangUpError = 0;     // the number a hang-up reports (0: the platform cannot tell)
    int WaitError = 0;       // the wait for input fails with this
    int WaitingErrorAfterWait = 0; // once a wait ended, the input-queue query fails with this
    bool FlushStuck = false;
    int FlushError = 0;
    int OutQueued = 0;       // bytes the driver still holds for output
    int OutQueueError = 0;   // the output-queue query fails with this
    std::uint32_t LineErrors = 0; // reported once, by the next transfer
    std::uint32_t ModemWord = msCtsOn | msDsrOn;
    std::deque<std::string> Chunks;
    // Chunks that reach the driver later: at a time of the clock, in order.
    std::deque<std::pair<std::uint64_t, std::string>> Later;
    // Writes wait until then, a drain of the output until OutDrainedAt, each
    // for at most its deadlock time-out; every write costs WriteCostMs.
    std::uint64_t WritesHeldUntil = 0;
    std::uint64_t OutDrainedAt = 0;
    int WriteCostMs = 0;
    bool DTR = false, RTS = false;
    int RecvQueueSize = 0; // asked for at the open
    std::string Written;
    int Reads = 0;
    std::string OpenedPath;
    TSerialLineSettings Settings{9600, 7, 2, 2, 0, 0, 0, 0, 0};
    std::vector<TSerialLineSettings> SettingsWritten;
    // A scripted far end: called after each write that went out (with its
    // bytes) and after each flush, it may queue replies or set faults.
    std::function<void(const std::string& Bytes)> OnWrite;
    std::function<void()> OnFlush;
};

class TFakeBackend final : public TSerialBackend {
public:
    explicit TFakeBackend(std::shared_ptr<TFakeDevice> Device) : D(std::move(Device)) {}

    std::string DevicePath(const std::string& Name, int ComNr) const override
    {
        return Name + "#" + std::to_string(ComNr);
    }
    int Open(const std::string& Path, int RecvQueueSize) override
    {
        D->OpenedPath = Path;
        D->RecvQueueSize = RecvQueueSize;
        if (D->OpenError)
            return Fail(D->OpenError);
        D->Open = true;
        ++D->Opens;
        return 0;
    }
    bool IsOpen() const override { return D->Open; }
    std::uint64_t Handle() const override { return D->Open ? 7 : ~std::uint64_t{0}; }
    void Close() override
    {
        if (D->Open)
            ++D->Closes;
        D->Open = false;
    }
    int GetLineSettings(TSerialLineSettings& S) override
    {
        if (!D->Open)
            return Fail(9);
        S = D->Settings;
        return 0;
    }
    int SetLineSettings(const TSerialLineSettings& S) override
    {
        if (!D->Open)
            return Fail(9);
        D->SettingsWritten.push_back(S);
        D->Settings = S;
        return 0;
    }
    int SetRTS(bool Value) override { return D->Open ? (D->RTS = Value, 0) : Fail(9); }
    int SetDTR(bool Value) override { return D->Open ? (D->DTR = Value, 0) : Fail(9); }
    int ModemStatus(std::uint32_t& Word) override
    {
        Word = D->ModemWord;
        return D->Open ? 0 : Fail(9);
    }
    int Purge(unsigned) override
    {
        if (!D->Open)
            return Fail(9);
        if (D->PurgeError)
            return Fail(D->PurgeError);
        Arrive();
        D->Chunks.clear();
        return 0;
    }
    int Flush(int DeadlockTimeout, bool& TimedOut) override
    {
        TimedOut = D->FlushStuck;
        if (!D->Open)
            return Fail(9);
        if (D->FlushError)
            return Fail(D->FlushError);
        TimedOut = TimedOut || !WaitUntil(D->OutDrainedAt, DeadlockTimeout);
        if (D->OnFlush && !TimedOut)
            D->OnFlush();
        return 0;
    }
    int BytesQueuedOut(int& Count) override
    {
        Count = 0;
        if (!D->Open)
            return Fail(9);
        if (D->OutQueueError)
            return Fail(D->OutQueueError);
        Count = D->OutQueued;
        return 0;
    }
    int BytesWaiting(int& Count) override
    {
        Count = 0;
        if (D->WaitingError)
            return Fail(D->WaitingError);
        Arrive();
        if (!D->Chunks.empty())
            Count = static_cast<int>(D->Chunks.front().size());
        return 0;
    }
    TSerialWait WaitReadable(int Timeout, int& Error) override
    {
        Await(Timeout);
        Error = 0;
        if (D->WaitingErrorAfterWait)
            D->WaitingError = D->WaitingErrorAfterWait;
        if (!D->Chunks.empty())
            return TSerialWait::Ready;
        if (D->WaitError) {
            Error = Fail(D->WaitError);
            return TSerialWait::Failed;
        }
        if (D->HungUp)
            Error = D->HangUpError;
        return D->HungUp ? TSerialWait::HungUp : TSerialWait::TimedOut;
    }
    TSerialTransfer Read(void* Buffer, int Length, int) override
    {
        ++D->Reads;
        Arrive();
        TSerialTransfer t;
        if (D->Chunks.empty())
            return t;
        std::string& c = D->Chunks.front();
        t.Count = std::min(Length, static_cast<int>(c.size()));
        c.copy(static_cast<char*>(Buffer), static_cast<std::size_t>(t.Count));
        c.erase(0, static_cast<std::size_t>(t.Count));
        if (c.empty())
            D->Chunks.pop_front();
        return t;
    }
    TSerialTransfer Write(const void* Buffer, int Length, int DeadlockTimeout) override
    {
        TSerialTransfer t;
        if (D->WriteError) {
            t.Error = Fail(D->WriteError);
            return t;
        }
        if (!WaitUntil(D->WritesHeldUntil, DeadlockTimeout)) {
            t.TimedOut = true;
            return t;
        }
        rt::SleepMilliseconds(static_cast<std::uint32_t>(D->WriteCostMs));
        D->Written.append(static_cast<const char*>(Buffer), static_cast<std::size_t>(Length));
        t.Count = Length;
        if (D->OnWrite)
            D->OnWrite(std::string(static_cast<const char*>(Buffer), static_cast<std::size_t>(Length)));
        return t;
    }
    std::uint32_t LineErrors() override
    {
        const std::uint32_t e = D->LineErrors;
        D->LineErrors = 0;
        return e;
    }
    int LastPlatformError() const override { return FLast; }

private:
    // Moves the chunks whose time has come to the driver's queue.
    void Arrive()
    {
        while (!D->Later.empty() && D->Later.front().first <= rt::MonotonicMilliseconds()) {
            D->Chunks.push_back(D->Later.front().second);
            D->Later.pop_front();
        }
    }
    // Waits up to Timeout ms for the next chunk, unless one is there or the
    // device hung up.
    void Await(int Timeout)
    {
        Arrive();
        if (!D->Chunks.empty() || D->HungUp)
            return;
        WaitUntil(D->Later.empty() ? UINT64_MAX : D->Later.front().first, Timeout);
        Arrive();
    }
    // Waits until Then, or for Timeout ms when that comes first (false).
    static bool WaitUntil(std::uint64_t Then, int Timeout)
    {
        const std::uint64_t now = rt::MonotonicMilliseconds();
        const std::uint64_t wait = Then > now ? Then - now : 0;
        const std::uint64_t limit = static_cast<std::uint64_t>(std::max(Timeout, 0));
        rt::SleepMilliseconds(static_cast<std::uint32_t>(std::min(wait, limit)));
        return wait <= limit;
    }
    int Fail(int Error)
    {
        FLast = Error;
        return Error;
    }
    std::shared_ptr<TFakeDevice> D;
    int FLast = 0;
};

} // namespace hp::test
