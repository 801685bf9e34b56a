// The serial object's line and byte readers over a scripted device that
// delivers arbitrary bytes in arbitrary packet sizes, with short reads, line
// errors, failed reads and hang-ups mixed in.
//
// After every call the bytes handed out (lines with their terminators, single
// bytes, packets, a discarded LineBuffer), then LineBuffer, then what still
// waits in the driver must spell exactly what the device delivered, in order.
// A line returned without error ends at the first terminator; a failed read
// hands out nothing.
#include "fuzz_check.h"
#include "serialport/serial_port.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>

namespace {

using hp::fuzz::Check;
using hp::fuzz::Visible;

// What the scripted device has delivered so far and what waits in its queue.
struct TDeviceState {
    std::string Delivered; // every byte that reached the driver's queue, in order
    std::string Queue; // bytes in the driver's queue, not read yet
    std::deque<std::string> Arriving; // packets that arrive while a read waits
    int ShortRead = 0; // next read returns at most this many bytes (0: no limit)
    bool LineErrorNext = false; // the next read reports a framing error
    bool ReadFailsNext = false; // the next read fails outright
    bool HangsUp = false; // an empty wait answers "hung up" instead of "timed out"
};

class TScriptedBackend : public hp::TSerialBackend {
public:
    explicit TScriptedBackend(TDeviceState& State) : FState(State) {}

    std::string DevicePath(const std::string& Name, int) const override { return Name; }
    int Open(const std::string&, int) override
    {
        FOpen = true;
        return 0;
    }
    bool IsOpen() const override { return FOpen; }
    std::uint64_t Handle() const override { return FOpen ? 3 : ~std::uint64_t{0}; }
    void Close() override { FOpen = false; }
    int GetLineSettings(hp::TSerialLineSettings&) override { return 0; }
    int SetLineSettings(const hp::TSerialLineSettings&) override { return 0; }
    int SetRTS(bool) override { return 0; }
    int SetDTR(bool) override { return 0; }
    int ModemStatus(std::uint32_t& Word) override
    {
        Word = hp::msCtsOn | hp::msDsrOn;
        return 0;
    }
    int Purge(unsigned) override
    {
        // Purged bytes were never delivered to anyone: forget them.
        FState.Delivered.resize(FState.Delivered.size() - FState.Queue.size());
        FState.Queue.clear();
        return 0;
    }
    int Flush(int, bool& TimedOut) override
    {
        TimedOut = false;
        return 0;
    }
    int BytesWaiting(int& Count) override
    {
        Count = static_cast<int>(FState.Queue.size());
        return 0;
    }
    int BytesQueuedOut(int& Count) override
    {
        Count = 0; // every write leaves at once
        return 0;
    }
    hp::TSerialWait WaitReadable(int, int&) override
    {
        if (!FState.Queue.empty())
            return hp::TSerialWait::Ready;
        if (!FState.Arriving.empty()) {
            FState.Queue += FState.Arriving.front();
            FState.Delivered += FState.Arriving.front();
            FState.Arriving.pop_front();
            return FState.Queue.empty() ? hp::TSerialWait::TimedOut : hp::TSerialWait::Ready;
        }
        return FState.HangsUp ? hp::TSerialWait::HungUp : hp::TSerialWait::TimedOut;
    }
    hp::TSerialTransfer Read(void* Buffer, int Length, int) override
    {
        hp::TSerialTransfer done;
        if (FState.ReadFailsNext) {
            FState.ReadFailsNext = false;
            done.Error = 5; // an input/output error of the platform
            return done;
        }
        std::size_t n = std::min(static_cast<std::size_t>(std::max(Length, 0)), FState.Queue.size());
        if (FState.ShortRead > 0)
            n = std::min(n, static_cast<std::size_t>(FState.ShortRead));
        std::memcpy(Buffer, FState.Queue.data(), n);
        FState.Queue.erase(0, n);
        done.Count = static_cast<int>(n);
        return done;
    }
    hp::TSerialTransfer Write(const void*, int Length, int) override { return {Length, 0, false}; }
    std::uint32_t LineErrors() override
    {
        const bool report = FState.LineErrorNext;
        FState.LineErrorNext = false;
        return report ? hp::ceFrame : 0;
    }
    int LastPlatformError() const override { return 0; }

private:
    TDeviceState& FState;
    bool FOpen = false;
};

class TLedger {
public:
    TLedger(const TDeviceState& Device, const hp::TSerialPort& Ser) : FDevice(Device), FSer(Ser) {}

    // What is not handed out yet, as the device delivered it.
    std::string Outstanding() const { return FDevice.Delivered.substr(FHandedOut); }
    std::size_t Queued() const { return FDevice.Queue.size(); }

    void HandOut(const std::string& Bytes, const char* What)
    {
        Check(Outstanding().compare(0, Bytes.size(), Bytes) == 0, What,
              "handed out " + Visible(Bytes) + ", outstanding " + Visible(Outstanding()));
        FHandedOut += Bytes.size();
    }

    void CheckBalance(const char* After) const
    {
        Check(Outstanding() == FSer.LineBuffer() + FDevice.Queue, After,
              "outstanding " + Visible(Outstanding()) + ", LineBuffer " + Visible(FSer.LineBuffer())
                  + ", queue " + Visible(FDevice.Queue));
    }

private:
    const TDeviceState& FDevice;
    const hp::TSerialPort& FSer;
    std::size_t FHandedOut = 0;
};

std::string PickTerminator(FuzzedDataProvider& In)
{
    switch (In.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: return "\r\n";
    case 1: return In.ConsumeBytesAsString(In.ConsumeIntegralInRange<std::size_t>(1, 3));
    case 2: return {};
    default: return "\n";
    }
}

void CheckLine(TLedger& Ledger, const hp::TSerialPort& Ser, const std::string& Line, const std::string& Term,
               std::size_t Limit)
{
    const int error = Ser.LastError();
    if (Term.empty()) {
        Check(Line.empty() && error == hp::sOK, "an empty terminator must read nothing");
        return;
    }
    const std::string outstanding = Ledger.Outstanding();
    const bool terminated = outstanding.size() >= Line.size() + Term.size()
                            && outstanding.compare(Line.size(), Term.size(), Term) == 0;
    bool consumed = false;
    if (error == hp::sOK) {
        consumed = true;
    } else if (error == hp::ErrMaxBuffer) {
        // A line that ended in the same read that overran the limit is still
        // handed out; otherwise nothing is.
        if (!Line.empty()) {
            consumed = true;
        } else if (terminated) {
            // An empty line or no line at all: the lengths tell.
            consumed = outstanding.size() == Term.size() + Ser.LineBuffer().size() + Ledger.Queued();
        }
        if (!consumed)
            Check(Ser.LineBuffer().size() > Limit, "ErrMaxBuffer below the limit",
                  "LineBuffer holds " + std::to_string(Ser.LineBuffer().size()));
    } else {
        Check(Line.empty(), "a failed line read returned text", Visible(Line));
    }
    if (!consumed)
        return;
    Check(terminated, "a returned line is not followed by its terminator",
          "line " + Visible(Line) + ", outstanding " + Visible(outstanding));
    Check((Line + Term).find(Term) == Line.size(), "a returned line holds its terminator",
          "line " + Visible(Line) + ", terminator " + Visible(Term));
    Ledger.HandOut(Line + Term, "a returned line is not the next delivered text");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    FuzzedDataProvider in(Data, Size);
    TDeviceState device;
    hp::TSerialPort ser(std::make_unique<TScriptedBackend>(device));
    ser.Connect("fuzz");
    Check(ser.InstanceActive(), "the scripted device did not open");
    TLedger ledger(device, ser);
    std::size_t limit = hp::MaxLineLengthBound;

    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 11)) {
        case 0: case 1: // bytes reach the driver's queue now
        {
            const std::string packet = in.ConsumeRandomLengthString(64);
            device.Queue += packet;
            device.Delivered += packet;
            break;
        }
        case 2: case 3: // bytes arrive while a later read waits
            device.Arriving.push_back(in.ConsumeRandomLengthString(64));
            break;
        case 4: case 5: {
            const std::string term = PickTerminator(in);
            const std::string line = ser.RecvTerminated(0, term);
            CheckLine(ledger, ser, line, term, limit);
            break;
        }
        case 6: {
            const std::uint8_t b = ser.RecvByte(0);
            if (ser.LastError() == hp::sOK) {
                ledger.HandOut(std::string(1, static_cast<char>(b)), "RecvByte is not the next delivered byte");
            } else {
                Check(b == 0, "a failed RecvByte returned a byte");
            }
            break;
        }
        case 7: {
            const std::string packet = ser.RecvPacket(0);
            if (ser.LastError() == hp::ErrTimeout)
                Check(packet.empty(), "a timed-out RecvPacket returned bytes");
            ledger.HandOut(packet, "RecvPacket is not the next delivered text");
            break;
        }
        case 8:
            ledger.HandOut(ser.LineBuffer(), "LineBuffer is not the next delivered text");
            ser.SetLineBuffer(std::string());
            break;
        case 9: {
            const int max = in.ConsumeIntegralInRange<int>(0, 80);
            ser.SetMaxLineLength(max);
            limit = max > 0 ? static_cast<std::size_t>(max) : hp::MaxLineLengthBound;
            break;
        }
        case 10:
            device.ShortRead = in.ConsumeIntegralInRange<int>(0, 5);
            device.HangsUp = in.ConsumeBool();
            break;
        case 11:
            if (in.ConsumeBool())
                device.LineErrorNext = true;
            else
                device.ReadFailsNext = true;
            break;
        }
        ledger.CheckBalance("handed out + LineBuffer + queue differs from what was delivered");
    }
    return 0;
}
