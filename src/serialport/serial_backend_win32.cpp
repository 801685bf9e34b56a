// The serial device on Windows: an overlapped handle from CreateFileW, the
// comm API for the line, the queues and the modem lines, and comm events for
// the wait for input.
#include "serialport/serial_backend.h"

#include "runtime/wide_text_win32.h"
#include "serialport/removed_device.h"

#include <windows.h>

namespace hp {

namespace {

// How long a transfer that was aborted may take to report its completion
// before it is cancelled outright. The driver normally answers at once.
constexpr DWORD AbortGraceMs = 1000;

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

class TWin32SerialBackend final : public TSerialBackend {
public:
    ~TWin32SerialBackend() override { Close(); }

    std::string DevicePath(const std::string& Name, int ComNr) const override
    {
        // The device namespace reaches every port, COM10 and above included.
        if (ComNr >= 0)
            return "\\\\.\\COM" + std::to_string(ComNr + 1);
        return Name;
    }

    int Open(const std::string& Path, int RecvQueueSize) override
    {
        if (IsOpen())
            return Fail(ERROR_BUSY);
        if (Path.find('\0') != std::string::npos)
            return Fail(ERROR_INVALID_NAME);
        SetLastError(0);
        HANDLE h = CreateFileW(rt::Widen(Path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return Fail(static_cast<int>(GetLastError()));
        // Only a communications device is a port: a plain file of that name
        // would otherwise swallow whatever is sent to it.
        DCB probe{};
        probe.DCBlength = sizeof probe;
        if (!GetCommState(h, &probe)) {
            const int error = static_cast<int>(GetLastError());
            CloseHandle(h);
            return Fail(error != 0 ? error : ERROR_INVALID_HANDLE);
        }
        SetCommMask(h, 0);
        SetupComm(h, static_cast<DWORD>(RecvQueueSize), 0);
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = 65535;
        SetCommTimeouts(h, &timeouts);
        FHandle = h;
        FPendingErrors = 0;
        return 0;
    }

    bool IsOpen() const override { return FHandle != INVALID_HANDLE_VALUE; }

    std::uint64_t Handle() const override
    {
        return IsOpen() ? static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(FHandle)) : ~std::uint64_t{0};
    }

    void Close() override
    {
        if (!IsOpen())
            return;
        CloseHandle(FHandle);
        FHandle = INVALID_HANDLE_VALUE;
    }

    int GetLineSettings(TSerialLineSettings& S) override
    {
        DCB d{};
        d.DCBlength = sizeof d;
        if (!GetCommState(FHandle, &d))
            return Fail(static_cast<int>(GetLastError()));
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

    int SetLineSettings(const TSerialLineSettings& S) override
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
        if (!SetCommState(FHandle, &d))
            return Fail(static_cast<int>(GetLastError()));
        return 0;
    }

    int SetRTS(bool Value) override { return Escape(Value ? SETRTS : CLRRTS); }
    int SetDTR(bool Value) override { return Escape(Value ? SETDTR : CLRDTR); }

    int ModemStatus(std::uint32_t& Word) override
    {
        DWORD w = 0;
        Word = 0;
        if (!GetCommModemStatus(FHandle, &w))
            return Fail(static_cast<int>(GetLastError()));
        Word = w;
        return 0;
    }

    int Purge(unsigned Flags) override
    {
        if (!PurgeComm(FHandle, Flags))
            return Fail(static_cast<int>(GetLastError()));
        return 0;
    }

    int Flush(int DeadlockTimeout, bool& TimedOut) override
    {
        TimedOut = false;
        // FlushFileBuffers alone would wait for ever on a device that
        // stopped taking bytes; watch the output queue instead and flush
        // only once it is empty, within the deadlock time-out.
        const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(DeadlockTimeout > 0 ? DeadlockTimeout : 0);
        for (;;) {
            int queued = 0;
            const int error = BytesQueuedOut(queued);
            if (error != 0) {
                // Nothing more leaves a device that is gone.
                if (MeansDeviceGone(error, false))
                    return error;
                break;
            }
            if (queued == 0)
                break;
            if (GetTickCount64() >= deadline) {
                TimedOut = true;
                return 0;
            }
            Sleep(5);
        }
        if (FlushFileBuffers(FHandle))
            return 0;
        // Some USB serial drivers do not implement the flush at all; their
        // empty output queue is the answer then.
        const int error = static_cast<int>(GetLastError());
        int queued = 0;
        const int queueError = BytesQueuedOut(queued);
        if (RefusedFlushCountsAsDone(error, queueError, queued))
            return 0;
        return Fail(queueError != 0 && MeansDeviceGone(queueError, false) ? queueError : error);
    }

    int BytesWaiting(int& Count) override
    {
        return QueueCount(Count, &COMSTAT::cbInQue);
    }

    int BytesQueuedOut(int& Count) override
    {
        return QueueCount(Count, &COMSTAT::cbOutQue);
    }

    TSerialWait WaitReadable(int Timeout, int& Error) override
    {
        Error = 0;
        if (!IsOpen()) {
            Error = Fail(ERROR_INVALID_HANDLE);
            return TSerialWait::Failed;
        }
        const DWORD timeout = static_cast<DWORD>(Timeout > 0 ? Timeout : 0);
        bool timedOut = false;
        OVERLAPPED ov{};
        ov.hEvent = FEvent.Get();
        ResetEvent(ov.hEvent);
        DWORD occurred = 0;
        DWORD completion = 0;
        SetCommMask(FHandle, EV_RXCHAR);
        if (!WaitCommEvent(FHandle, &occurred, &ov)) {
            completion = GetLastError();
            if (completion == ERROR_IO_PENDING) {
                completion = 0;
                // A byte that came after the caller last looked at the queue
                // and before the wait was armed raises no event: look again
                // now that the wait is armed, and end it at once if so.
                int waiting = 0;
                const int queueError = BytesWaiting(waiting);
                if ((queueError == 0 && waiting > 0) || MeansDeviceGone(queueError, false)) {
                    SetCommMask(FHandle, 0);
                    AwaitCompletion(ov);
                    SetCommMask(FHandle, 0);
                    if (queueError == 0)
                        return TSerialWait::Ready;
                    Error = queueError;
                    return TSerialWait::HungUp;
                }
                // Whether the time-out or the device ended the wait is told by
                // the wait itself: judged by the clock, a wait that a vanished
                // device ended would pass for a time-out whenever this thread
                // ran late.
                timedOut = WaitForSingleObject(ov.hEvent, timeout) == WAIT_TIMEOUT;
                // Clearing the mask completes a wait that is still pending,
                // with no events; the record must see that completion before
                // it goes out of scope.
                SetCommMask(FHandle, 0);
                AwaitCompletion(ov, &completion);
            }
        }
        SetCommMask(FHandle, 0);
        if (occurred & EV_RXCHAR)
            return TSerialWait::Ready;
        // A device unplugged while the time ran out is gone all the same; only
        // the abort of the program's own clearing of the mask is no news.
        if (completion != 0 && MeansDeviceGone(static_cast<int>(completion), timedOut)) {
            Error = Fail(static_cast<int>(completion));
            return TSerialWait::HungUp;
        }
        // Ended by the time-out (the completion then only reports the mask
        // being cleared).
        if (timedOut)
            return TSerialWait::TimedOut;
        if (completion != 0) {
            Error = Fail(static_cast<int>(completion));
            return TSerialWait::Failed;
        }
        // The wait ended early without a byte and without an error. Nothing
        // else in this process touches the event mask, so the device itself
        // gave up: bytes may still be queued, otherwise it is gone. A device
        // whose status can no longer be read (a USB port that was unplugged)
        // says so with that failure's number.
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(FHandle, &errors, &status)) {
            Error = Fail(static_cast<int>(GetLastError()));
            return TSerialWait::HungUp;
        }
        FPendingErrors |= errors;
        if (status.cbInQue > 0)
            return TSerialWait::Ready;
        return TSerialWait::HungUp;
    }

    TSerialTransfer Read(void* Buffer, int Length, int DeadlockTimeout) override
    {
        return Transfer(Buffer, Length, DeadlockTimeout, false);
    }

    TSerialTransfer Write(const void* Buffer, int Length, int DeadlockTimeout) override
    {
        return Transfer(const_cast<void*>(Buffer), Length, DeadlockTimeout, true);
    }

    std::uint32_t LineErrors() override
    {
        DWORD errors = 0;
        if (!ClearCommError(FHandle, &errors, nullptr))
            errors = 0;
        const std::uint32_t result = errors | FPendingErrors;
        FPendingErrors = 0;
        return result;
    }

    int LastPlatformError() const override { return FLastError; }

private:
    int Fail(int Error)
    {
        FLastError = Error;
        return Error;
    }

    // One of the driver's queue counts. The query clears the driver's error
    // flags; they are kept for the next transfer to report instead of lost.
    int QueueCount(int& Count, DWORD COMSTAT::*Field)
    {
        Count = 0;
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(FHandle, &errors, &status))
            return Fail(static_cast<int>(GetLastError()));
        FPendingErrors |= errors;
        Count = static_cast<int>(status.*Field);
        return 0;
    }

    int Escape(DWORD Function)
    {
        if (!EscapeCommFunction(FHandle, Function))
            return Fail(static_cast<int>(GetLastError()));
        return 0;
    }

    // Waits until an overlapped operation has really finished, so that its
    // record and buffer may be released. Returns the completion's count; the
    // error of the completion goes to Error.
    DWORD AwaitCompletion(OVERLAPPED& Ov, DWORD* Error = nullptr)
    {
        if (WaitForSingleObject(Ov.hEvent, AbortGraceMs) == WAIT_TIMEOUT)
            CancelIoEx(FHandle, &Ov);
        DWORD done = 0;
        if (!GetOverlappedResult(FHandle, &Ov, &done, TRUE) && Error)
            *Error = GetLastError();
        return done;
    }

    TSerialTransfer Transfer(void* Buffer, int Length, int DeadlockTimeout, bool Writing)
    {
        TSerialTransfer result;
        if (!IsOpen()) {
            result.Error = Fail(ERROR_INVALID_HANDLE);
            return result;
        }
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
            result.Error = Fail(static_cast<int>(error));
            return result;
        }
        error = 0;
        if (WaitForSingleObject(ov.hEvent, static_cast<DWORD>(DeadlockTimeout > 0 ? DeadlockTimeout : 0))
            == WAIT_TIMEOUT) {
            PurgeComm(FHandle, Writing ? PURGE_TXABORT : PURGE_RXABORT);
            result.TimedOut = true;
        }
        // The aborted operation may still be writing into Buffer: wait for its
        // completion before returning; the count is what it reports.
        done = AwaitCompletion(ov, &error);
        result.Count = static_cast<int>(done);
        // A device that went away while the transfer hung says so, rather
        // than passing for a slow one; the abort of its own purge says nothing.
        if (result.TimedOut && error != 0 && MeansDeviceGone(static_cast<int>(error), true))
            result.TimedOut = false;
        if (!result.TimedOut && error != 0)
            result.Error = Fail(static_cast<int>(error));
        return result;
    }

    HANDLE FHandle = INVALID_HANDLE_VALUE;
    // One event serves every overlapped operation (they never overlap each
    // other); starting an operation resets it.
    TEvent FEvent;
    int FLastError = 0;
    std::uint32_t FPendingErrors = 0;
};

} // namespace

std::unique_ptr<TSerialBackend> CreateSerialBackend()
{
    return std::make_unique<TWin32SerialBackend>();
}

} // namespace hp
