#pragma once
// The few things the serial object needs from the operating system, behind
// one small interface: open and close a device exclusively, line settings,
// modem lines, queue purge and drain, the count of bytes waiting, a wait for
// input, bounded reads and writes, and the driver's line errors. Every
// operation answers with the platform's own error number (0 for success); the
// object turns those into its error state.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace hp {

// Flag bits of the line settings' flags word.
constexpr std::uint32_t dcb_Binary = 1, dcb_ParityCheck = 2, dcb_OutxCtsFlow = 4,
                        dcb_DtrControlEnable = 16, dcb_OutX = 256, dcb_InX = 512,
                        dcb_RtsControlEnable = 4096, dcb_RtsControlHandshake = 8192,
                        dcb_RtsControlToggle = 12288;

// Line settings in the form the object keeps them; Flags holds dcb_ bits.
struct TSerialLineSettings {
    std::uint32_t BaudRate = 0;
    std::uint8_t ByteSize = 0;
    std::uint8_t Parity = 0; // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t StopBits = 0; // SB1, SB1andHalf, SB2
    std::uint32_t Flags = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    char XonChar = 0;
    char XoffChar = 0;
};

// Purge flags (may be combined).
constexpr unsigned PurgeTxAbort = 1, PurgeRxAbort = 2, PurgeTxClear = 4, PurgeRxClear = 8;

// Driver line-error flags as reported by LineErrors.
constexpr std::uint32_t ceRxOver = 1, ceOverrun = 2, ceRxParity = 4, ceFrame = 8,
                        ceBreak = 16, ceTxFull = 256;

// Modem-status bits.
constexpr std::uint32_t msCtsOn = 0x10, msDsrOn = 0x20, msRingOn = 0x40, msRlsdOn = 0x80;

// Outcome of one read or write.
struct TSerialTransfer {
    int Count = 0; // bytes actually transferred
    int Error = 0; // platform error number, 0 when none
    bool TimedOut = false; // did not complete within the deadlock time-out and was aborted
};

// Outcome of a wait for input.
enum class TSerialWait {
    Ready, // at least one byte is waiting
    TimedOut, // the time-out passed without a byte
    HungUp, // the device is gone (unplugged, far end closed); no byte will come.
            // Error holds the platform's number for it, or 0 where the
            // platform cannot tell a vanished device from a quiet one
    Failed, // the wait itself failed; Error holds the platform's number
};

// Who is told, for a trace of what the driver said: each platform call that
// fails (its name and the platform's number), and each judgement of a
// driver's answer that changes the outcome (a line of text). Nobody when
// empty.
struct TBackendReports {
    std::function<void(const char* Call, int Error)> CallFailed;
    std::function<void(const std::string& Text)> Judged;
};

class TSerialBackend {
public:
    virtual ~TSerialBackend() = default;

    void SetReports(TBackendReports Reports) { FReports = std::move(Reports); }

    // The path to open for a port name; ComNr is the zero-based COM number
    // taken from the name, or negative when it has none.
    virtual std::string DevicePath(const std::string& Name, int ComNr) const = 0;

    // Opens the device exclusively for reading and writing, in raw byte mode
    // with no time-outs of its own, and asks for an input queue of
    // RecvQueueSize bytes. A device held by another process is refused.
    virtual int Open(const std::string& Path, int RecvQueueSize) = 0;
    virtual bool IsOpen() const = 0;
    // The platform handle, or all bits set when closed.
    virtual std::uint64_t Handle() const = 0;
    // Releases the device; harmless when nothing is open.
    virtual void Close() = 0;

    virtual int GetLineSettings(TSerialLineSettings& Settings) = 0;
    virtual int SetLineSettings(const TSerialLineSettings& Settings) = 0;

    virtual int SetRTS(bool Value) = 0;
    virtual int SetDTR(bool Value) = 0;
    virtual int ModemStatus(std::uint32_t& Word) = 0;

    virtual int Purge(unsigned Flags) = 0;
    // Returns when everything written so far has left the driver, or with
    // TimedOut set once DeadlockTimeout ms passed where the platform can
    // bound the wait.
    virtual int Flush(int DeadlockTimeout, bool& TimedOut) = 0;

    // Bytes in the driver's input queue.
    virtual int BytesWaiting(int& Count) = 0;
    // Bytes written but still held by the driver, not yet transmitted.
    virtual int BytesQueuedOut(int& Count) = 0;
    // Waits up to Timeout ms for the first byte. A device that has hung up may
    // answer HungUp at once; the caller decides how long to wait then.
    virtual TSerialWait WaitReadable(int Timeout, int& Error) = 0;

    // One read of up to Length bytes, which waits for all Length bytes for at
    // most DeadlockTimeout ms, and one write of Length bytes bounded the same
    // way. A device that has hung up ends either with an error.
    virtual TSerialTransfer Read(void* Buffer, int Length, int DeadlockTimeout) = 0;
    virtual TSerialTransfer Write(const void* Buffer, int Length, int DeadlockTimeout) = 0;

    // The line errors (CE_ flags) the driver saw since the last call; 0 for a
    // device that does not count them.
    virtual std::uint32_t LineErrors() = 0;

    // The platform's last error number (for the error state after a failure
    // that the backend did not report itself).
    virtual int LastPlatformError() const = 0;

protected:
    void CallFailed(const char* Call, int Error) const
    {
        if (FReports.CallFailed)
            FReports.CallFailed(Call, Error);
    }
    // Whether a judgement is worth putting into words.
    bool Judging() const { return static_cast<bool>(FReports.Judged); }
    void Judged(const std::string& Text) const
    {
        if (FReports.Judged)
            FReports.Judged(Text);
    }

private:
    TBackendReports FReports;
};

// The backend of the platform the program was built for.
std::unique_ptr<TSerialBackend> CreateSerialBackend();

} // namespace hp
