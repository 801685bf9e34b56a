// The serial device on Windows: an overlapped handle from CreateFileW, the
// comm API for the line, the queues and the modem lines, and comm events for
// the wait for input.
#include "serialport/comm_backend.h"
#include "serialport/comm_recorder.h"

#include "runtime/trace.h"
#include "runtime/wide_text_win32.h"

#include <windows.h>

namespace hp {

namespace {

// How long a write that was aborted may take to report its completion before
// it is cancelled outright. The driver normally answers at once.
constexpr DWORD AbortGraceMs = 1000;

// A read within a time ends this long after the last byte of the first burst.
constexpr DWORD FirstBurstGapMs = 10;

// A manual-reset event for one overlapped operation.
class TEvent {
public:
    TEvent() : FHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~TEvent()
    {
        if (FHandle)
            CloseHandle(FHandle);
    }
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;
    HANDLE Get() const { return FHandle; }

private:
    HANDLE FHandle;
};

// The DCB flag bit-fields as one word, in their bit order.
std::uint32_t FlagsOf(const DCB& d)
{
    std::uint32_t f = 0;
    f |= d.fBinary ? 1u : 0u;
    f |= d.fParity ? 2u : 0u;
    f |= d.fOutxCtsFlow ? 4u : 0u;
    f |= d.fOutxDsrFlow ? 8u : 0u;
    f |= static_cast<std::uint32_t>(d.fDtrControl & 3) << 4;
    f |= d.fDsrSensitivity ? 64u : 0u;
    f |= d.fTXContinueOnXoff ? 128u : 0u;
    f |= d.fOutX ? 256u : 0u;
    f |= d.fInX ? 512u : 0u;
    f |= d.fErrorChar ? 1024u : 0u;
    f |= d.fNull ? 2048u : 0u;
    f |= static_cast<std::uint32_t>(d.fRtsControl & 3) << 12;
    f |= d.fAbortOnError ? 16384u : 0u;
    return f;
}

void SetFlags(DCB& d, std::uint32_t f)
{
    d.fBinary = (f & 1u) != 0;
    d.fParity = (f & 2u) != 0;
    d.fOutxCtsFlow = (f & 4u) != 0;
    d.fOutxDsrFlow = (f & 8u) != 0;
    d.fDtrControl = (f >> 4) & 3;
    d.fDsrSensitivity = (f & 64u) != 0;
    d.fTXContinueOnXoff = (f & 128u) != 0;
    d.fOutX = (f & 256u) != 0;
    d.fInX = (f & 512u) != 0;
    d.fErrorChar = (f & 1024u) != 0;
    d.fNull = (f & 2048u) != 0;
    d.fRtsControl = (f >> 12) & 3;
    d.fAbortOnError = (f & 16384u) != 0;
}

// The comm API's calls, one primitive each; what their answers mean is
// judged by TCommBackend.
class TWin32Comm {
public:
    TWin32Comm() = default;
    TWin32Comm(const TWin32Comm&) = delete;
    TWin32Comm& operator=(const TWin32Comm&) = delete;
    ~TWin32Comm() { Close(); }

    int Open(const std::string& Path)
    {
        SetLastError(0);
        HANDLE h = CreateFileW(rt::Widen(Path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return LastError();
        FHandle = h;
        return 0;
    }

    void Setup(int RecvQueueSize)
    {
        SetCommMask(FHandle, 0);
        SetupComm(FHandle, static_cast<DWORD>(RecvQueueSize), 0);
        SetReadTimeouts(-1);
    }

    int SetReadTimeouts(int Within)
    {
        COMMTIMEOUTS timeouts{};
        if (Within < 0) {
            // A read takes what the caller counted as queued.
            timeouts.ReadIntervalTimeout = 65535;
        } else if (Within == 0) {
            // What is queued, at once.
            timeouts.ReadIntervalTimeout = MAXDWORD;
        } else {
            // The first burst of bytes, or nothing after Within ms. The
            // documented "first byte" triple (MAXDWORD, MAXDWORD, Within) is
            // not honoured by Wine; an interval and a total are, by both.
            timeouts.ReadIntervalTimeout = FirstBurstGapMs;
            timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(Within);
        }
        return SetCommTimeouts(FHandle, &timeouts) ? 0 : LastError();
    }

    bool IsOpen() const { return FHandle != INVALID_HANDLE_VALUE; }

    std::uint64_t Handle() const
    {
        return IsOpen() ? static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(FHandle)) : ~std::uint64_t{0};
    }

    void Close()
    {
        if (!IsOpen())
            return;
        CloseHandle(FHandle);
        FHandle = INVALID_HANDLE_VALUE;
    }

    int GetLineSettings(TSerialLineSettings& S)
    {
        DCB d{};
        d.DCBlength = sizeof d;
        if (!GetCommState(FHandle, &d))
            return LastError();
        S.BaudRate = d.BaudRate;
        S.ByteSize = d.ByteSize;
        S.Parity = d.Parity;
        S.StopBits = d.StopBits;
        S.Flags = FlagsOf(d);
        S.XonLim = d.XonLim;
        S.XoffLim = d.XoffLim;
        S.XonChar = d.XonChar;
        S.XoffChar = d.XoffChar;
        return 0;
    }

    int SetLineSettings(const TSerialLineSettings& S)
    {
        // Start from the device's own record so that the characters this
        // object does not set (error, end of file, event) keep their values.
        DCB d{};
        d.DCBlength = sizeof d;
        GetCommState(FHandle, &d);
        d.DCBlength = sizeof d;
        d.BaudRate = S.BaudRate;
        d.ByteSize = S.ByteSize;
        d.Parity = S.Parity;
        d.StopBits = S.StopBits;
        SetFlags(d, S.Flags);
        d.XonLim = S.XonLim;
        d.XoffLim = S.XoffLim;
        d.XonChar = S.XonChar;
        d.XoffChar = S.XoffChar;
        return SetCommState(FHandle, &d) ? 0 : LastError();
    }

    int SetRTS(bool Value) { return Escape(Value ? SETRTS : CLRRTS); }
    int SetDTR(bool Value) { return Escape(Value ? SETDTR : CLRDTR); }

    int ModemStatus(std::uint32_t& Word)
    {
        DWORD w = 0;
        Word = 0;
        if (!GetCommModemStatus(FHandle, &w))
            return LastError();
        Word = w;
        return 0;
    }

    int Purge(unsigned Flags) { return PurgeComm(FHandle, Flags) ? 0 : LastError(); }

    TCommStatus Status()
    {
        TCommStatus result;
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(FHandle, &errors, &status)) {
            result.Error = LastError();
            return result;
        }
        result.LineErrors = errors;
        result.InQueue = static_cast<int>(status.cbInQue);
        result.OutQueue = static_cast<int>(status.cbOutQue);
        return result;
    }

    int FlushBuffers() { return FlushFileBuffers(FHandle) ? 0 : LastError(); }

    TCommEvent ArmWait()
    {
        TCommEvent result;
        FWaitOv = OVERLAPPED{};
        FWaitOv.hEvent = FEvent.Get();
        ResetEvent(FWaitOv.hEvent);
        FOccurred = 0;
        SetCommMask(FHandle, EV_RXCHAR);
        if (!WaitCommEvent(FHandle, &FOccurred, &FWaitOv)) {
            const DWORD error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                result.Pending = true;
                return result;
            }
            result.Error = static_cast<int>(error);
        }
        SetCommMask(FHandle, 0);
        result.Mask = FOccurred;
        return result;
    }

    bool AwaitWait(int Timeout)
    {
        return WaitForSingleObject(FWaitOv.hEvent, static_cast<DWORD>(Timeout > 0 ? Timeout : 0)) != WAIT_TIMEOUT;
    }

    TCommEvent EndWait()
    {
        // Clearing the mask completes a wait that is still pending, with no
        // events; the record must see that completion before it is reused.
        TCommEvent result;
        if (!SetCommMask(FHandle, 0))
            result.EndError = LastError();
        DWORD error = 0;
        AwaitCompletion(FWaitOv, &error);
        SetCommMask(FHandle, 0);
        result.Mask = FOccurred;
        result.Error = static_cast<int>(error);
        return result;
    }

    TCommTransfer Transfer(void* Buffer, int Length, int DeadlockTimeout, bool Writing)
    {
        TCommTransfer result;
        OVERLAPPED ov{};
        ov.hEvent = FEvent.Get();
        ResetEvent(ov.hEvent);
        DWORD done = 0;
        const BOOL ok = Writing ? WriteFile(FHandle, Buffer, static_cast<DWORD>(Length), &done, &ov)
                                : ReadFile(FHandle, Buffer, static_cast<DWORD>(Length), &done, &ov);
        if (ok) {
            result.Count = static_cast<int>(done);
            return result;
        }
        DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            result.Error = static_cast<int>(error);
            return result;
        }
        error = 0;
        if (WaitForSingleObject(ov.hEvent, static_cast<DWORD>(DeadlockTimeout > 0 ? DeadlockTimeout : 0))
            == WAIT_TIMEOUT) {
            PurgeComm(FHandle, Writing ? PURGE_TXABORT : PURGE_RXABORT);
            result.Aborted = true;
        }
        // The aborted operation may still be writing into Buffer: wait for its
        // completion before returning; the count is what it reports. A read
        // is one that the program bounded itself: Wine does not end it on
        // the purge, and waiting for it would cost each such read a grace.
        result.Count = static_cast<int>(AwaitCompletion(ov, &error, Writing ? AbortGraceMs : 0));
        result.Error = static_cast<int>(error);
        return result;
    }

private:
    // The calling thread's last error; never 0 for a call that failed.
    static int LastError()
    {
        const DWORD error = GetLastError();
        return error != 0 ? static_cast<int>(error) : ERROR_INVALID_HANDLE;
    }

    int Escape(DWORD Function) { return EscapeCommFunction(FHandle, Function) ? 0 : LastError(); }

    // Waits until an overlapped operation has really finished, so that its
    // record and buffer may be released. Returns the completion's count; the
    // error of the completion goes to Error.
    DWORD AwaitCompletion(OVERLAPPED& Ov, DWORD* Error, DWORD GraceMs = AbortGraceMs)
    {
        if (WaitForSingleObject(Ov.hEvent, GraceMs) == WAIT_TIMEOUT)
            CancelIoEx(FHandle, &Ov);
        DWORD done = 0;
        if (!GetOverlappedResult(FHandle, &Ov, &done, TRUE))
            *Error = GetLastError();
        return done;
    }

    HANDLE FHandle = INVALID_HANDLE_VALUE;
    // One event serves every overlapped operation (they never overlap each
    // other); starting an operation resets it.
    TEvent FEvent;
    // The armed wait's record and the events it reports; they must outlive
    // the wait.
    OVERLAPPED FWaitOv{};
    DWORD FOccurred = 0;
};

} // namespace

std::unique_ptr<TSerialBackend> CreateSerialBackend()
{
    // The recorder only while a trace is on: the upload's byte loop then
    // pays a few compares and a counter per byte (bench/RESULTS.md), and
    // nothing without one.
    if (rt::TraceOn())
        return std::make_unique<TCommBackend<TCommRecorder<TWin32Comm>>>(&rt::TraceRecord);
    return std::make_unique<TCommBackend<TWin32Comm>>();
}

} // namespace hp
