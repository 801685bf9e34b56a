#include "serialport/serial_port.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <thread>

#include "runtime/clock.h"
#include "runtime/platform_error.h"
#include "serialutil/serialutil.h"

namespace hp {

namespace {

std::string FormatSerialError(int Code, const std::string& Description)
{
    return "Communication error " + std::to_string(Code) + ": " + Description;
}

// A run of decimal digits (no sign, no blanks) as a non-negative number;
// -1 when the text is not such a run or too long to be a port number.
int ParseDigits(const std::string& Text)
{
    if (Text.empty() || Text.size() > 9)
        return -1;
    int value = 0;
    for (const char c : Text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::string UpperCase(std::string Text)
{
    for (char& c : Text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return Text;
}

} // namespace

ESerialError::ESerialError(int Code, const std::string& Description)
    : Exception(FormatSerialError(Code, Description)), ErrorCode(Code), ErrorMessage(Description)
{
}

TSerialPort::TSerialPort() : TSerialPort(CreateSerialBackend()) {}

TSerialPort::TSerialPort(std::unique_ptr<TSerialBackend> Backend)
    : FBackend(std::move(Backend)), FNextSend(GetTick()), FNextRecv(FNextSend)
{
    // The next-allowed ticks start at "now": a start value of 0 would read as
    // a time in the future once the tick has passed half its range.
}

TSerialPort::~TSerialPort()
{
    // A destructor must not raise: it may run while an exception unwinds.
    FRaiseExcept = false;
    try {
        CloseSocket();
    } catch (...) {
    }
    if (FBackend)
        FBackend->Close();
}

std::uint64_t TSerialPort::Handle() const
{
    return FBackend->Handle();
}

// ---------------------------------------------------------------------------
// Lifecycle

void TSerialPort::Connect(const std::string& comport)
{
    if (FInstanceActive) {
        RaiseSerialError(ErrAlreadyInUse);
        return;
    }
    FBuffer.clear();
    FDevice = comport;
    GetComNr(comport);
    FDevice = FBackend->DevicePath(comport, FComNr);
    SetPlatformError(FBackend->Open(FDevice, FRecvBuffer));
    DoStatus(HR_Open, FDevice);
    ExceptCheck();
    if (FLastError != sOK)
        return;
    SetSerialError(sOK);
    if (!TestCtrlLine()) {
        SetSerialError(ErrNoDeviceAnswer);
        FBackend->Close();
        FComNr = PortIsClosed;
    } else {
        FInstanceActive = true;
        SetRTSF(true);
        SetDTRF(true);
        Purge();
    }
    ExceptCheck();
    DoStatus(HR_Connect, FDevice);
}

void TSerialPort::Config(int baud, int bits, char parity, int stop, bool softflow, bool hardflow)
{
    DCB = TSerialLineSettings{};
    GetCommState();
    DCB.BaudRate = static_cast<std::uint32_t>(baud);
    DCB.ByteSize = static_cast<std::uint8_t>(bits & 0xFF);
    DCB.StopBits = static_cast<std::uint8_t>(stop & 0xFF);
    switch (parity) {
    case 'N': case 'n': DCB.Parity = 0; break;
    case 'O': case 'o': DCB.Parity = 1; break;
    case 'E': case 'e': DCB.Parity = 2; break;
    case 'M': case 'm': DCB.Parity = 3; break;
    case 'S': case 's': DCB.Parity = 4; break;
    default: break; // keep the parity the device reported
    }
    DCB.XonChar = 17;
    DCB.XoffChar = 19;
    DCB.XonLim = static_cast<std::uint16_t>(FRecvBuffer / 4);
    DCB.XoffLim = static_cast<std::uint16_t>(FRecvBuffer / 4);
    std::uint32_t flags = dcb_Binary;
    if (softflow)
        flags |= dcb_OutX | dcb_InX;
    if (hardflow)
        flags |= dcb_OutxCtsFlow | dcb_RtsControlHandshake;
    else
        flags |= dcb_RtsControlEnable;
    flags |= dcb_DtrControlEnable;
    if (DCB.Parity != 0)
        flags |= dcb_ParityCheck;
    DCB.Flags = flags;
    SetCommState();
}

void TSerialPort::GetCommState()
{
    SetPlatformError(FBackend->GetLineSettings(DCB));
    ExceptCheck();
}

void TSerialPort::SetCommState()
{
    SetPlatformError(FBackend->SetLineSettings(DCB));
    DoStatus(HR_LineSettings, "");
    ExceptCheck();
}

void TSerialPort::CloseSocket()
{
    if (FBackend->IsOpen()) {
        // The device is released even when the purge raises.
        struct TCloser {
            TSerialBackend& Backend;
            ~TCloser() { Backend.Close(); }
        } closer{*FBackend};
        FInstanceActive = false;
        FComNr = PortIsClosed;
        Purge();
        SetRTSF(false);
        SetDTRF(false);
    }
    FInstanceActive = false;
    FComNr = PortIsClosed;
    SetSerialError(sOK);
    DoStatus(HR_SerialClose, FDevice);
}

void TSerialPort::Purge()
{
    SetPlatformError(FBackend->Purge(PurgeTxAbort | PurgeRxAbort | PurgeTxClear | PurgeRxClear));
    FBuffer.clear();
    DoStatus(HR_Purge, "");
    ExceptCheck();
}

void TSerialPort::Flush()
{
    SetSerialError(sOK);
    bool timedOut = false;
    const int error = FBackend->Flush(FDeadlockTimeout, timedOut);
    if (timedOut)
        SetSerialError(ErrTimeout);
    else if (error != 0)
        SetPlatformError(error);
    DoStatus(HR_Flush, "");
    ExceptCheck();
}

// ---------------------------------------------------------------------------
// Sending

int TSerialPort::SendBuffer(const void* buffer, int length)
{
    if (PreTestFailing())
        return 0;
    if (length < 0 || (buffer == nullptr && length > 0)) {
        RaiseSerialError(ErrWrongParameter);
        return 0;
    }
    LimitBandwidth(length, FMaxSendBandwidth, FNextSend);
    if (FRTSToggle) {
        Flush();
        SetRTSF(true);
    }
    SetSerialError(sOK);
    const TSerialTransfer done = FBackend->Write(buffer, length, FDeadlockTimeout);
    if (done.TimedOut) {
        SetSerialError(ErrTimeout);
        if (FOnStatus)
            DoStatus(HR_Timeout, std::to_string(FDeadlockTimeout));
    } else {
        SetPlatformError(done.Error);
    }
    // Line errors are worth reporting only when the write itself went out: a
    // failed write must stay visible as such.
    const std::uint32_t lineErrors = FBackend->LineErrors();
    if (lineErrors != 0 && FLastError == sOK)
        DecodeCommError(lineErrors);
    if (FRTSToggle) {
        bool timedOut = false;
        FBackend->Flush(FDeadlockTimeout, timedOut);
        SetRTSF(false);
    }
    ExceptCheck();
    // The upload writes byte by byte: with no hook this costs a counter and
    // a branch per byte, with one a report every WriteReportBytes.
    FUnreported += static_cast<std::uint64_t>(done.Count);
    if (length > 1 || FUnreported >= FReportAt)
        ReportWrites();
    return done.Count;
}

void TSerialPort::SendByte(std::uint8_t data)
{
    SendBuffer(&data, 1);
}

void TSerialPort::SendString(const std::string& data)
{
    SendBuffer(data.data(), static_cast<int>(std::min<std::size_t>(data.size(), 0x7FFFFFFF)));
}

// ---------------------------------------------------------------------------
// Receiving

int TSerialPort::WaitingData()
{
    return QueueCount(&TSerialBackend::BytesWaiting, "in ");
}

int TSerialPort::SendingData()
{
    return QueueCount(&TSerialBackend::BytesQueuedOut, "out ");
}

int TSerialPort::QueueCount(int (TSerialBackend::*Query)(int&), const char* Which)
{
    int count = 0;
    const int error = (FBackend.get()->*Query)(count);
    if (error == 0) {
        SetSerialError(sOK);
    } else {
        SetPlatformError(error);
        count = 0;
    }
    if (FOnStatus)
        DoStatus(HR_QueueCount, Which + std::to_string(count));
    ExceptCheck();
    return std::max(count, 0);
}

void TSerialPort::WaitOutTimeout(std::uint32_t Start, int Timeout)
{
    const std::uint32_t spent = TickDelta(Start, GetTick());
    if (Timeout > 0 && spent < static_cast<std::uint32_t>(Timeout))
        rt::SleepMilliseconds(static_cast<std::uint32_t>(Timeout) - spent);
}

bool TSerialPort::CanEvent(std::uint32_t event, int timeout)
{
    if (event != evRxChar) {
        // The only event a read waits for; others have no portable meaning.
        SetSerialError(ErrWrongParameter);
        return false;
    }
    SetSerialError(sOK);
    FWaitError = sOK;
    if (WaitingData() > 0)
        return true;
    timeout = std::max(timeout, 0);
    const std::uint32_t start = GetTick();
    int error = 0;
    switch (FBackend->WaitReadable(timeout, error)) {
    case TSerialWait::Ready:
        return true;
    case TSerialWait::TimedOut:
        if (FOnStatus)
            DoStatus(HR_Timeout, std::to_string(timeout));
        return false;
    case TSerialWait::HungUp:
    case TSerialWait::Failed:
        // No byte will come. Answering at once would let a caller's read loop
        // spin, so the wait lasts its time-out like a silent device's; but
        // the reason stays, for a caller that must tell a board that went
        // away from one that merely said nothing.
        FWaitError = error;
        if (error != sOK)
            SetPlatformError(error);
        if (FOnStatus)
            DoStatus(HR_WaitFailed, std::to_string(error));
        WaitOutTimeout(start, timeout);
        return false;
    }
    return false;
}

bool TSerialPort::CanRead(int timeout)
{
    bool result = WaitingData() > 0;
    if (!result) {
        result = CanEvent(evRxChar, timeout) || WaitingData() > 0;
        // A driver may let the wait of a device that was unplugged run out
        // its time like a quiet one's; the queue query after it then fails,
        // and that failure, not the time-out, is what happened.
        if (!result && FWaitError == sOK && FLastError != sOK)
            FWaitError = FLastError;
    }
    if (result)
        DoStatus(HR_CanRead, "");
    return result;
}

int TSerialPort::RecvBuffer(void* buffer, int length)
{
    if (PreTestFailing())
        return 0;
    if (length < 0 || (buffer == nullptr && length > 0)) {
        RaiseSerialError(ErrWrongParameter);
        return 0;
    }
    LimitBandwidth(length, FMaxRecvBandwidth, FNextRecv);
    SetSerialError(sOK);
    const TSerialTransfer done = FBackend->Read(buffer, length, FDeadlockTimeout);
    if (done.TimedOut) {
        SetSerialError(ErrTimeout);
        if (FOnStatus)
            DoStatus(HR_Timeout, std::to_string(FDeadlockTimeout));
    } else {
        SetPlatformError(done.Error);
    }
    const std::uint32_t lineErrors = FBackend->LineErrors();
    if (lineErrors != 0 && FLastError == sOK)
        DecodeCommError(lineErrors);
    ExceptCheck();
    if (FOnStatus)
        DoStatus(HR_ReadCount, std::to_string(done.Count));
    return done.Count;
}

std::string TSerialPort::RecvPacket(int timeout)
{
    if (PreTestFailing())
        return {};
    SetSerialError(sOK);
    std::string result;
    if (!FBuffer.empty()) {
        result.swap(FBuffer);
    } else {
        std::this_thread::yield();
        auto readWaiting = [&](int n) {
            result.resize(static_cast<std::size_t>(n));
            const int got = RecvBuffer(result.data(), n);
            result.resize(static_cast<std::size_t>(std::max(got, 0)));
            // Bytes were announced but none came, without any error: report
            // it, or a read loop above would see success with nothing.
            if (result.empty() && FLastError == sOK)
                SetSerialError(ErrNotRead);
        };
        int n = WaitingData();
        if (n > 0) {
            readWaiting(n);
        } else if (CanRead(timeout)) {
            n = WaitingData();
            if (n == 0)
                SetSerialError(FLastError != sOK ? FLastError : ErrTimeout);
            else
                readWaiting(n);
        } else {
            SetSerialError(FWaitError != sOK ? FWaitError : ErrTimeout);
        }
    }
    ExceptCheck();
    return result;
}

std::uint8_t TSerialPort::RecvByte(int timeout)
{
    if (PreTestFailing())
        return 0;
    SetSerialError(sOK);
    if (FBuffer.empty())
        FBuffer = RecvPacket(timeout);
    std::uint8_t result = 0;
    if (FLastError == sOK && !FBuffer.empty()) {
        result = static_cast<std::uint8_t>(FBuffer.front());
        FBuffer.erase(0, 1);
    }
    ExceptCheck();
    return result;
}

std::string TSerialPort::RecvTerminated(int timeout, const std::string& terminator)
{
    if (PreTestFailing())
        return {};
    SetSerialError(sOK);
    const std::size_t l = terminator.size();
    if (l == 0)
        return {};
    const bool convert = FConvertLineEnd && terminator == CRLF;
    // Without a limit of the caller's, a line still stops at the bound: a
    // device streaming without line ends must not exhaust memory.
    const std::size_t limit = FMaxLineLength > 0 && FMaxLineLength < MaxLineLengthBound
                                  ? static_cast<std::size_t>(FMaxLineLength)
                                  : static_cast<std::size_t>(MaxLineLengthBound);
    std::string s;
    std::size_t x = 0; // position of the line end, counting from 1; 0 when none
    std::size_t endLength = l;
    std::size_t searched = 0; // bytes of s already known to hold no terminator start
    for (;;) {
        const std::uint32_t tick = GetTick();
        s += RecvPacket(timeout);
        if (FLastError != sOK)
            break;
        x = 0;
        if (!s.empty()) {
            if (convert) {
                if (FLastCR && s.front() == LF)
                    s.erase(0, 1);
                else if (FLastLF && s.front() == CR)
                    s.erase(0, 1);
                FLastCR = false;
                FLastLF = false;
                std::string found;
                const int pos = PosCRLF(s, found);
                if (pos > 0) {
                    x = static_cast<std::size_t>(pos);
                    endLength = found.size();
                    FLastCR = found == "\r";
                    FLastLF = found == "\n";
                }
            } else {
                const std::size_t pos = s.find(terminator, searched);
                if (pos != std::string::npos)
                    x = pos + 1;
                else if (s.size() >= l)
                    searched = s.size() - l + 1;
            }
        }
        if (s.size() > limit) {
            SetSerialError(ErrMaxBuffer);
            break;
        }
        if (x > 0)
            break;
        if (!FInterPacketTimeout) {
            timeout -= static_cast<int>(std::min<std::uint32_t>(TickDelta(tick, GetTick()), 0x7FFFFFFF));
            if (timeout <= 0) {
                SetSerialError(ErrTimeout);
                break;
            }
        }
    }
    std::string result;
    if (x > 0) {
        result = s.substr(0, x - 1);
        s.erase(0, x - 1 + endLength);
    }
    FBuffer = std::move(s);
    ExceptCheck();
    return result;
}

std::string TSerialPort::RecvString(int timeout)
{
    std::string result = RecvTerminated(timeout, CRLF);
    if (FLastError != sOK)
        result.clear();
    return result;
}

// ---------------------------------------------------------------------------
// Modem lines

int TSerialPort::ModemStatus()
{
    SetSerialError(sOK);
    std::uint32_t word = 0;
    const int error = FBackend->ModemStatus(word);
    if (error != 0) {
        SetPlatformError(error);
        word = 0;
    }
    ExceptCheck();
    FModemWord = static_cast<int>(word);
    return FModemWord;
}

bool TSerialPort::GetDSR()
{
    return (ModemStatus() & msDsrOn) != 0;
}

bool TSerialPort::GetCTS()
{
    return (ModemStatus() & msCtsOn) != 0;
}

bool TSerialPort::GetCarrier()
{
    return (ModemStatus() & msRlsdOn) != 0;
}

bool TSerialPort::GetRing()
{
    return (ModemStatus() & msRingOn) != 0;
}

void TSerialPort::SetRTSF(bool value)
{
    // A device without modem lines refuses this; that is not an error of the
    // transfer, so the error state is left alone.
    FBackend->SetRTS(value);
}

void TSerialPort::SetDTRF(bool value)
{
    FBackend->SetDTR(value);
}

bool TSerialPort::TestCtrlLine()
{
    return (!FTestDSR || GetDSR()) && (!FTestCTS || GetCTS());
}

// ---------------------------------------------------------------------------
// Error model

std::string TSerialPort::GetErrorDesc(int code)
{
    switch (code) {
    case sOK: return "OK";
    case ErrAlreadyOwned: return "Port owned by other process";
    case ErrAlreadyInUse: return "Instance already in use";
    case ErrWrongParameter: return "Wrong parameter at call";
    case ErrPortNotOpen: return "Instance not yet connected";
    case ErrNoDeviceAnswer: return "No device answer detected";
    case ErrMaxBuffer: return "Maximal buffer length exceeded";
    case ErrTimeout: return "Timeout during operation";
    case ErrNotRead: return "Reading of data failed";
    case ErrFrame: return "Receive framing error";
    case ErrOverrun: return "Receive Overrun Error";
    case ErrRxOver: return "Receive Queue overflow";
    case ErrRxParity: return "Receive Parity Error";
    case ErrTxFull: return "Tranceive Queue is full";
    default: return rt::PlatformErrorText(code);
    }
}

void TSerialPort::SetSerialError(int code)
{
    FLastError = code;
    FLastErrorDesc = GetErrorDesc(code);
}

void TSerialPort::SetPlatformError(int code)
{
    SetSerialError(code);
}

int TSerialPort::SerialCheck(int result)
{
    SetSerialError(result == sErr ? FBackend->LastPlatformError() : sOK);
    return FLastError;
}

[[gnu::noinline]] void TSerialPort::ExceptCheck()
{
    if (FRaiseExcept && FLastError != sOK) {
        ESerialError error(FLastError, GetErrorDesc(FLastError));
        error.SetAddress(__builtin_extract_return_addr(__builtin_return_address(0)));
        throw error;
    }
}

void TSerialPort::RaiseSerialError(int code)
{
    SetSerialError(code);
    ExceptCheck();
}

void TSerialPort::DecodeCommError(std::uint32_t error)
{
    // Later flags overwrite earlier ones: the last match wins.
    if (error & ceFrame)
        SetSerialError(ErrFrame);
    if (error & ceOverrun)
        SetSerialError(ErrOverrun);
    if (error & ceRxOver)
        SetSerialError(ErrRxOver);
    if (error & ceRxParity)
        SetSerialError(ErrRxParity);
    if (error & ceTxFull)
        SetSerialError(ErrTxFull);
}

bool TSerialPort::PreTestFailing()
{
    if (!FInstanceActive) {
        RaiseSerialError(ErrPortNotOpen);
        return true;
    }
    const bool result = !TestCtrlLine();
    if (result)
        RaiseSerialError(ErrNoDeviceAnswer);
    return result;
}

// ---------------------------------------------------------------------------
// Helpers

void TSerialPort::GetComNr(const std::string& value)
{
    FComNr = PortIsClosed;
    const std::string upper = UpperCase(value);
    if (upper.rfind("COM", 0) == 0) {
        // COM followed by anything but a positive number is no COM port and is
        // opened by its name unchanged.
        const int n = ParseDigits(value.substr(3));
        FComNr = (n > 0 ? n : 0) - 1;
    } else if (upper.rfind("/DEV/TTYS", 0) == 0) {
        const int n = ParseDigits(value.substr(9));
        FComNr = n >= 0 ? n : -2;
    }
}

void TSerialPort::DoStatus(THookSerialReason reason, const std::string& value)
{
    if (!FOnStatus)
        return;
    // Reports keep the order of what happened: the bytes written so far come
    // before whatever followed them.
    if (reason != HR_WriteCount)
        ReportWrites();
    FOnStatus(this, reason, value);
}

void TSerialPort::ReportWrites()
{
    const std::uint64_t count = FUnreported;
    FUnreported = 0;
    if (count != 0 && FOnStatus)
        DoStatus(HR_WriteCount, std::to_string(count));
}

void TSerialPort::SetOnStatus(THookSerialStatus value)
{
    FOnStatus = std::move(value);
    FUnreported = 0;
    FReportAt = FOnStatus ? WriteReportBytes : ~std::uint64_t{0};
    TBackendReports reports;
    if (FOnStatus) {
        reports.CallFailed = [this](const char* Call, int Error) {
            DoStatus(HR_CallFailed, std::string(Call) + " " + std::to_string(Error));
        };
        reports.Judged = [this](const std::string& Text) { DoStatus(HR_Judged, Text); };
    }
    FBackend->SetReports(std::move(reports));
}

void TSerialPort::LimitBandwidth(int length, int maxb, std::uint32_t& next)
{
    if (maxb <= 0)
        return;
    const std::int32_t wait = static_cast<std::int32_t>(next - GetTick());
    if (wait > 0) {
        DoStatus(HR_Wait, std::to_string(wait));
        rt::SleepMilliseconds(static_cast<std::uint32_t>(wait));
    }
    next = GetTick() + static_cast<std::uint32_t>(static_cast<std::int64_t>(std::max(length, 0)) * 1000 / maxb);
}

void TSerialPort::SetBandwidth(int value)
{
    FMaxSendBandwidth = value;
    FMaxRecvBandwidth = value;
}

void TSerialPort::SetSizeRecvBuffer(int size)
{
    if (size > 0)
        FRecvBuffer = size;
}

} // namespace hp
