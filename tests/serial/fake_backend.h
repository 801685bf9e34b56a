#pragma once
// A scripted device for the parts of the serial object that a real terminal
// cannot provoke: line errors, failing driver calls, modem lines, megabytes
// without a line end. Input arrives in chunks; each chunk is what the driver
// holds at one moment.
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
    bool FlushStuck = false;
    int FlushError = 0;
    int OutQueued = 0;       // bytes the driver still holds for output
    int OutQueueError = 0;   // the output-queue query fails with this
    std::uint32_t LineErrors = 0; // reported once, by the next transfer
    std::uint32_t ModemWord = msCtsOn | msDsrOn;
    std::deque<std::string> Chunks;
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
    int Open(const std::string& Path, int) override
    {
        D->OpenedPath = Path;
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
    int SetRTS(bool) override { return D->Open ? 0 : Fail(9); }
    int SetDTR(bool) override { return D->Open ? 0 : Fail(9); }
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
        D->Chunks.clear();
        return 0;
    }
    int Flush(int, bool& TimedOut) override
    {
        TimedOut = D->FlushStuck;
        if (!D->Open)
            return Fail(9);
        if (D->FlushError)
            return Fail(D->FlushError);
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
        if (!D->Chunks.empty())
            Count = static_cast<int>(D->Chunks.front().size());
        return 0;
    }
    TSerialWait WaitReadable(int, int& Error) override
    {
        Error = 0;
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
    TSerialTransfer Write(const void* Buffer, int Length, int) override
    {
        TSerialTransfer t;
        if (D->WriteError) {
            t.Error = Fail(D->WriteError);
            return t;
        }
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
    int Fail(int Error)
    {
        FLast = Error;
        return Error;
    }
    std::shared_ptr<TFakeDevice> D;
    int FLast = 0;
};

} // namespace hp::test
