#pragma once
// TSerialPort: a blocking serial-port object. One instance owns at most one
// open device. Every operation records its outcome in LastError /
// LastErrorDesc; nothing is raised unless RaiseExcept is switched on. The
// object keeps received bytes that were not handed out yet in LineBuffer, so
// line and byte reads never lose data between calls.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "runtime/exceptions.h"
#include "serialport/serial_backend.h"

namespace hp {

constexpr int sOK = 0, sErr = -1, PortIsClosed = -1;
constexpr int SB1 = 0, SB1andHalf = 1, SB2 = 2;
constexpr char CR = '\r', LF = '\n';
inline const std::string CRLF = "\r\n";
constexpr int cSerialChunk = 8192;

constexpr int ErrAlreadyOwned = 9991, ErrAlreadyInUse = 9992, ErrWrongParameter = 9993,
              ErrPortNotOpen = 9994, ErrNoDeviceAnswer = 9995, ErrMaxBuffer = 9996,
              ErrTimeout = 9997, ErrNotRead = 9998, ErrFrame = 9999, ErrOverrun = 10000,
              ErrRxOver = 10001, ErrRxParity = 10002, ErrTxFull = 10003;

// Comm event: a byte arrived.
constexpr std::uint32_t evRxChar = 1;

// The longest line a line read collects when MaxLineLength is 0: a device
// that streams without line ends cannot exhaust memory or hold a read forever.
constexpr int MaxLineLengthBound = 1024 * 1024;

class ESerialError : public Exception {
public:
    ESerialError(int Code, const std::string& Description);
    int ErrorCode;
    std::string ErrorMessage;
    const char* ClassName() const override { return "ESerialError"; }
};

// Why the status hook is called, and its value. HR_WriteCount tells of the
// bytes written since it last told: after each write of several bytes, and
// of a byte-by-byte transfer once every WriteReportBytes and before any
// other report. The reasons from HR_Open on serve a trace of the conversation;
// the object's error state tells the outcome where the value does not.
enum THookSerialReason : std::uint8_t {
    HR_SerialClose = 0, // Device
    HR_Connect = 1,     // Device
    HR_CanRead = 2,
    HR_CanWrite = 3,
    HR_ReadCount = 4,   // bytes of one read
    HR_WriteCount = 5,  // bytes written since the last report
    HR_Wait = 6,        // ms of a bandwidth pause
    HR_Open = 7,        // Device, after the platform's open, whatever its outcome
    HR_LineSettings = 8, // after the line settings (DCB) were written
    HR_Purge = 9,
    HR_Flush = 10,
    HR_QueueCount = 11, // "in N" or "out N"
    HR_Timeout = 12,    // ms: a wait or a transfer ran out of time
    HR_WaitFailed = 13, // the platform's number: a wait for input that the device ended
    HR_CallFailed = 14, // a platform call and its number: "ClearCommError 22"
    HR_Command = 15,    // a command line as sent (by the saber channel)
    HR_Reply = 16,      // ms waited, a blank, the reply line (by the saber channel)
    HR_Judged = 17,     // a judgement of the driver's answers that changed the outcome, in words
};

constexpr std::uint64_t WriteReportBytes = 4096;

class TSerialPort;
using THookSerialStatus = std::function<void(TSerialPort* Sender, THookSerialReason Reason,
                                             const std::string& Value)>;

class TSerialPort {
public:
    TSerialPort();
    // For tests and special devices: the object over a given backend.
    explicit TSerialPort(std::unique_ptr<TSerialBackend> Backend);
    // Always closes the device; never raises, also while an exception is on
    // its way.
    virtual ~TSerialPort();
    TSerialPort(const TSerialPort&) = delete;
    TSerialPort& operator=(const TSerialPort&) = delete;

    // Lifecycle.
    virtual void Connect(const std::string& comport);
    virtual void Config(int baud, int bits, char parity, int stop, bool softflow, bool hardflow);
    virtual void CloseSocket();
    virtual void GetCommState();
    virtual void SetCommState();
    virtual void Purge();
    virtual void Flush();

    // Sending.
    virtual int SendBuffer(const void* buffer, int length);
    virtual void SendByte(std::uint8_t data);
    virtual void SendString(const std::string& data);

    // Receiving.
    virtual int WaitingData();
    // Bytes written but not yet transmitted by the driver; 0 when the
    // platform cannot tell (LastError then says why).
    virtual int SendingData();
    virtual bool CanEvent(std::uint32_t event, int timeout);
    virtual bool CanRead(int timeout);
    virtual int RecvBuffer(void* buffer, int length);
    virtual std::string RecvPacket(int timeout);
    virtual std::uint8_t RecvByte(int timeout);
    virtual std::string RecvTerminated(int timeout, const std::string& terminator);
    virtual std::string RecvString(int timeout);

    // Modem lines.
    virtual int ModemStatus();
    virtual bool GetDSR();
    virtual bool GetCTS();
    virtual bool GetCarrier();
    virtual bool GetRing();
    virtual void SetRTSF(bool value);
    virtual void SetDTRF(bool value);
    virtual bool TestCtrlLine();

    // Error model.
    static std::string GetErrorDesc(int code);
    virtual void SetSerialError(int code);
    virtual int SerialCheck(int result);
    virtual void ExceptCheck();
    virtual void RaiseSerialError(int code);
    virtual void DecodeCommError(std::uint32_t error);
    virtual bool PreTestFailing();

    virtual void GetComNr(const std::string& value);
    virtual void DoStatus(THookSerialReason reason, const std::string& value);
    virtual void LimitBandwidth(int length, int maxb, std::uint32_t& next);
    virtual void SetBandwidth(int value);
    virtual void SetSizeRecvBuffer(int size);

    // Properties.
    int LastError() const { return FLastError; }
    const std::string& LastErrorDesc() const { return FLastErrorDesc; }
    const std::string& LineBuffer() const { return FBuffer; }
    void SetLineBuffer(std::string value) { FBuffer = std::move(value); }
    bool InstanceActive() const { return FInstanceActive; }
    const std::string& Device() const { return FDevice; }
    std::uint64_t Handle() const;
    int ComNr() const { return FComNr; }
    int Tag() const { return FTag; }
    void SetTag(int value) { FTag = value; }
    bool RaiseExcept() const { return FRaiseExcept; }
    void SetRaiseExcept(bool value) { FRaiseExcept = value; }
    int SizeRecvBuffer() const { return FRecvBuffer; }
    int ModemWord() const { return FModemWord; }
    int DeadlockTimeout() const { return FDeadlockTimeout; }
    void SetDeadlockTimeout(int value) { FDeadlockTimeout = value; }
    bool TestDSR() const { return FTestDSR; }
    void SetTestDSR(bool value) { FTestDSR = value; }
    bool TestCTS() const { return FTestCTS; }
    void SetTestCTS(bool value) { FTestCTS = value; }
    int MaxLineLength() const { return FMaxLineLength; }
    void SetMaxLineLength(int value) { FMaxLineLength = value; }
    bool ConvertLineEnd() const { return FConvertLineEnd; }
    void SetConvertLineEnd(bool value) { FConvertLineEnd = value; }
    bool InterPacketTimeout() const { return FInterPacketTimeout; }
    void SetInterPacketTimeout(bool value) { FInterPacketTimeout = value; }
    int MaxSendBandwidth() const { return FMaxSendBandwidth; }
    void SetMaxSendBandwidth(int value) { FMaxSendBandwidth = value; }
    int MaxRecvBandwidth() const { return FMaxRecvBandwidth; }
    void SetMaxRecvBandwidth(int value) { FMaxRecvBandwidth = value; }
    bool LinuxLock() const { return FLinuxLock; }
    void SetLinuxLock(bool value) { FLinuxLock = value; }
    bool RTSToggle() const { return FRTSToggle; }
    const THookSerialStatus& OnStatus() const { return FOnStatus; }
    // Also tells the hook of every platform call that fails.
    void SetOnStatus(THookSerialStatus value);
    // The line settings last read from or written to the device.
    TSerialLineSettings DCB{};

protected:
    // Records a platform error number (0 for success) with its text.
    void SetPlatformError(int code);

private:
    // Waits out what is left of Timeout after Start: a device that hung up
    // answers at once, and a caller's read loop must not spin on it.
    void WaitOutTimeout(std::uint32_t Start, int Timeout);
    // One of the driver's queue counts, with its outcome in the error state.
    int QueueCount(int (TSerialBackend::*Query)(int&), const char* Which);
    // Tells the hook of the bytes written since it last did.
    void ReportWrites();

    std::unique_ptr<TSerialBackend> FBackend;
    THookSerialStatus FOnStatus;
    int FTag = 0;
    std::string FDevice;
    int FLastError = sOK;
    std::string FLastErrorDesc = "OK";
    std::string FBuffer;
    bool FRaiseExcept = false;
    int FRecvBuffer = 4096;
    int FSendBuffer = 0;
    int FModemWord = 0;
    bool FRTSToggle = false;
    int FDeadlockTimeout = 30000;
    bool FInstanceActive = false;
    bool FTestDSR = false;
    bool FTestCTS = false;
    bool FLastCR = false;
    bool FLastLF = false;
    int FMaxLineLength = 0;
    bool FLinuxLock = true;
    int FMaxSendBandwidth = 0;
    std::uint32_t FNextSend = 0;
    int FMaxRecvBandwidth = 0;
    std::uint32_t FNextRecv = 0;
    bool FConvertLineEnd = false;
    bool FInterPacketTimeout = true;
    int FComNr = PortIsClosed;
    // Bytes written and not yet told of, and the count at which a
    // byte-by-byte transfer tells (never, without a hook).
    std::uint64_t FUnreported = 0;
    std::uint64_t FReportAt = ~std::uint64_t{0};
    // Why the last wait for input ended without a byte, when not by its
    // time-out: the device went away or the wait failed (platform number).
    int FWaitError = sOK;
};

} // namespace hp
