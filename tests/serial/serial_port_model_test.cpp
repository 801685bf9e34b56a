// The object's own logic over a scripted device: the error model, line
// assembly limits, line errors, modem-line tests and the status hook.
#include "serialport/serial_port.h"

#include <chrono>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "fake_backend.h"
#include "runtime/platform_error.h"

namespace hp {
namespace {

using test::TFakeBackend;
using test::TFakeDevice;

struct TStatusCall {
    THookSerialReason Reason;
    std::string Value;
};

class SerialModel : public ::testing::Test {
protected:
    std::shared_ptr<TFakeDevice> Dev = std::make_shared<TFakeDevice>();
    std::vector<TStatusCall> Status; // before Port: its destructor still reports
    std::unique_ptr<TSerialPort> Port = std::make_unique<TSerialPort>(std::make_unique<TFakeBackend>(Dev));

    void Open()
    {
        Port->SetOnStatus([this](TSerialPort*, THookSerialReason r, const std::string& v) { Status.push_back({r, v}); });
        Port->Connect("COM3");
        ASSERT_EQ(Port->LastError(), 0);
        ASSERT_TRUE(Port->InstanceActive());
    }
};

TEST(SerialErrorText, EveryOwnCodeHasItsTextAndOthersThePlatforms)
{
    const std::vector<std::pair<int, std::string>> table = {
        {0, "OK"},
        {9991, "Port owned by other process"},
        {9992, "Instance already in use"},
        {9993, "Wrong parameter at call"},
        {9994, "Instance not yet connected"},
        {9995, "No device answer detected"},
        {9996, "Maximal buffer length exceeded"},
        {9997, "Timeout during operation"},
        {9998, "Reading of data failed"},
        {9999, "Receive framing error"},
        {10000, "Receive Overrun Error"},
        {10001, "Receive Queue overflow"},
        {10002, "Receive Parity Error"},
        {10003, "Tranceive Queue is full"},
    };
    for (const auto& [code, text] : table)
        EXPECT_EQ(TSerialPort::GetErrorDesc(code), text) << code;
    for (const int code : {2, 5, 13, -7, 9990, 10004})
        EXPECT_EQ(TSerialPort::GetErrorDesc(code), rt::PlatformErrorText(code)) << code;
    EXPECT_FALSE(TSerialPort::GetErrorDesc(2).empty());
}

TEST_F(SerialModel, DecodeCommErrorLetsTheLastMatchingFlagWin)
{
    const std::vector<std::pair<std::uint32_t, int>> cases = {
        {ceFrame, ErrFrame},
        {ceOverrun, ErrOverrun},
        {ceRxOver, ErrRxOver},
        {ceRxParity, ErrRxParity},
        {ceTxFull, ErrTxFull},
        {ceOverrun | ceRxParity, ErrRxParity},
        {ceFrame | ceOverrun, ErrOverrun},
        {ceFrame | ceRxOver, ErrRxOver},
        {ceRxParity | ceTxFull | ceFrame, ErrTxFull},
    };
    for (const auto& [mask, code] : cases) {
        Port->SetSerialError(0);
        Port->DecodeCommError(mask);
        EXPECT_EQ(Port->LastError(), code) << mask;
        EXPECT_EQ(Port->LastErrorDesc(), TSerialPort::GetErrorDesc(code));
    }
    Port->SetSerialError(0);
    Port->DecodeCommError(ceBreak);
    EXPECT_EQ(Port->LastError(), 0);
}

TEST_F(SerialModel, GetComNrTakesTheNumberOnlyFromRealComNames)
{
    const std::vector<std::pair<std::string, int>> cases = {
        {"COM5", 4}, {"com5", 4}, {"com12", 11}, {"COM1", 0}, {"COM0", -1}, {"COMA", -1},
        {"COM", -1}, {"COM-5", -1}, {"COM 5", -1}, {"/dev/ttyS0", 0}, {"/dev/ttys3", 3},
        {"/dev/ttySx", -2}, {"ttyACM0", -1}, {"/dev/ttyACM0", -1}, {"", -1},
    };
    for (const auto& [name, nr] : cases) {
        Port->GetComNr(name);
        EXPECT_EQ(Port->ComNr(), nr) << name;
    }
    // The backend is told the number with the name.
    Port->Connect("com12");
    EXPECT_EQ(Dev->OpenedPath, "com12#11");
    EXPECT_EQ(Port->Device(), "com12#11");
}

TEST_F(SerialModel, CreateConnectCloseAndTheStatusHook)
{
    EXPECT_EQ(Port->LastError(), 0);
    EXPECT_EQ(Port->LastErrorDesc(), "OK");
    EXPECT_FALSE(Port->InstanceActive());
    EXPECT_EQ(Port->LineBuffer(), "");
    EXPECT_EQ(Port->Handle(), ~std::uint64_t{0});
    EXPECT_EQ(Port->DeadlockTimeout(), 30000);
    EXPECT_EQ(Port->SizeRecvBuffer(), 4096);
    EXPECT_TRUE(Port->InterPacketTimeout());

    // Closing what never opened: error state cleared, one close report.
    Port->SetOnStatus([this](TSerialPort*, THookSerialReason r, const std::string& v) { Status.push_back({r, v}); });
    Port->SetSerialError(ErrTimeout);
    Port->CloseSocket();
    EXPECT_EQ(Port->LastError(), 0);
    ASSERT_EQ(Status.size(), 1u);
    EXPECT_EQ(Status[0].Reason, HR_SerialClose);
    EXPECT_EQ(Status[0].Value, "");

    Status.clear();
    Open();
    ASSERT_FALSE(Status.empty());
    EXPECT_EQ(Status.back().Reason, HR_Connect);
    EXPECT_EQ(Status.back().Value, "COM3#2");
    Port->SendString("abc");
    EXPECT_EQ(Status.back().Reason, HR_WriteCount);
    EXPECT_EQ(Status.back().Value, "3");
    Port->CloseSocket();
    EXPECT_EQ(Status.back().Reason, HR_SerialClose);
    EXPECT_EQ(Dev->Closes, 1);
    EXPECT_FALSE(Port->InstanceActive());
    EXPECT_EQ(Port->ComNr(), PortIsClosed);
}

TEST_F(SerialModel, ConfigBuildsTheLineSettings)
{
    Open();
    Port->Config(115200, 8, 'N', SB1, false, false);
    EXPECT_EQ(Port->LastError(), 0);
    ASSERT_EQ(Dev->SettingsWritten.size(), 1u);
    TSerialLineSettings s = Dev->SettingsWritten.back();
    EXPECT_EQ(s.BaudRate, 115200u);
    EXPECT_EQ(s.ByteSize, 8);
    EXPECT_EQ(s.Parity, 0);
    EXPECT_EQ(s.StopBits, 0);
    EXPECT_EQ(s.Flags, 4113u);
    EXPECT_EQ(s.XonChar, 17);
    EXPECT_EQ(s.XoffChar, 19);
    EXPECT_EQ(s.XonLim, 1024);
    EXPECT_EQ(s.XoffLim, 1024);

    // An unknown parity letter keeps what the device has (even, here), and
    // parity turns checking on.
    Dev->Settings.Parity = 2;
    Port->Config(9600, 7, 'x', SB2, true, true);
    s = Dev->SettingsWritten.back();
    EXPECT_EQ(s.Parity, 2);
    EXPECT_EQ(s.StopBits, 2);
    EXPECT_EQ(s.Flags, dcb_Binary | dcb_OutX | dcb_InX | dcb_OutxCtsFlow | dcb_RtsControlHandshake
                           | dcb_DtrControlEnable | dcb_ParityCheck);
    for (const auto& [letter, parity] : std::vector<std::pair<char, int>>{
             {'n', 0}, {'o', 1}, {'O', 1}, {'e', 2}, {'E', 2}, {'m', 3}, {'M', 3}, {'s', 4}, {'S', 4}}) {
        Port->Config(115200, 8, letter, SB1, false, false);
        EXPECT_EQ(Dev->SettingsWritten.back().Parity, parity) << letter;
        EXPECT_EQ((Dev->SettingsWritten.back().Flags & dcb_ParityCheck) != 0, parity != 0) << letter;
    }

    // On a closed object the device refuses, and that is reported.
    Port->CloseSocket();
    Port->Config(115200, 8, 'N', SB1, false, false);
    EXPECT_EQ(Port->LastError(), 9);
}

TEST_F(SerialModel, ALineStopsAtTheBoundWithoutALineFeed)
{
    Open();
    const std::string chunk(64 * 1024, 'x');
    for (int i = 0; i < 40; ++i)
        Dev->Chunks.push_back(chunk);
    EXPECT_EQ(Port->RecvTerminated(500, "\n"), "");
    EXPECT_EQ(Port->LastError(), ErrMaxBuffer);
    EXPECT_GT(Port->LineBuffer().size(), static_cast<std::size_t>(MaxLineLengthBound));
    EXPECT_LE(Port->LineBuffer().size(), static_cast<std::size_t>(MaxLineLengthBound) + chunk.size());
    EXPECT_EQ(Dev->Chunks.size(), 40u - 17u) << "reading went on past the bound";
    EXPECT_EQ(MaxLineLengthBound, 1048576);
}

TEST_F(SerialModel, MaxLineLengthEndsALineReadAndKeepsTheBytes)
{
    Open();
    Port->SetMaxLineLength(10);
    Dev->Chunks.push_back("0123456789AB");
    EXPECT_EQ(Port->RecvTerminated(500, "\n"), "");
    EXPECT_EQ(Port->LastError(), ErrMaxBuffer);
    EXPECT_EQ(Port->LineBuffer(), "0123456789AB");

    // The terminator in the same read still returns the line, flagged.
    Port->SetLineBuffer("");
    Dev->Chunks.push_back("0123456789AB\nrest");
    EXPECT_EQ(Port->RecvTerminated(500, "\n"), "0123456789AB");
    EXPECT_EQ(Port->LastError(), ErrMaxBuffer);
    EXPECT_EQ(Port->LineBuffer(), "rest");
}

TEST_F(SerialModel, LineErrorsKeepTheBytesForTheNextRead)
{
    Open();
    Dev->Chunks.push_back("OK\n");
    Dev->LineErrors = ceFrame;
    EXPECT_EQ(Port->RecvTerminated(500, "\n"), "");
    EXPECT_EQ(Port->LastError(), ErrFrame);
    EXPECT_EQ(Port->LineBuffer(), "OK\n");
    EXPECT_EQ(Port->RecvTerminated(500, "\n"), "OK");
    EXPECT_EQ(Port->LastError(), 0);

    Dev->Chunks.push_back("Z!");
    Dev->LineErrors = ceOverrun;
    EXPECT_EQ(Port->RecvByte(500), 0);
    EXPECT_EQ(Port->LastError(), ErrOverrun);
    EXPECT_EQ(Port->RecvByte(500), 'Z');
    EXPECT_EQ(Port->LastError(), 0);

    // A packet read hands the bytes out with the error.
    Port->SetLineBuffer("");
    Dev->Chunks.push_back("pq");
    Dev->LineErrors = ceRxParity;
    EXPECT_EQ(Port->RecvPacket(500), "pq");
    EXPECT_EQ(Port->LastError(), ErrRxParity);
}

TEST_F(SerialModel, AFailedWriteIsNotHiddenByLineErrors)
{
    Open();
    Dev->WriteError = 5;
    Dev->LineErrors = ceOverrun;
    EXPECT_EQ(Port->SendBuffer("abc", 3), 0);
    EXPECT_EQ(Port->LastError(), 5);
    Dev->WriteError = 0;
    Dev->LineErrors = ceTxFull;
    EXPECT_EQ(Port->SendBuffer("abc", 3), 3);
    EXPECT_EQ(Port->LastError(), ErrTxFull);
}

TEST_F(SerialModel, BadArgumentsReachNothing)
{
    Open();
    EXPECT_EQ(Port->SendBuffer("abc", -1), 0);
    EXPECT_EQ(Port->LastError(), ErrWrongParameter);
    EXPECT_EQ(Port->SendBuffer(nullptr, 4), 0);
    EXPECT_EQ(Port->LastError(), ErrWrongParameter);
    char b[4];
    EXPECT_EQ(Port->RecvBuffer(b, -3), 0);
    EXPECT_EQ(Port->LastError(), ErrWrongParameter);
    EXPECT_EQ(Dev->Written, "");
    EXPECT_EQ(Dev->Reads, 0);
}

TEST_F(SerialModel, AFlushThatCannotFinishIsReportedAsATimeOut)
{
    Open();
    Port->Flush();
    EXPECT_EQ(Port->LastError(), 0);
    Dev->FlushStuck = true;
    Port->Flush();
    EXPECT_EQ(Port->LastError(), ErrTimeout);
    EXPECT_EQ(Port->LastErrorDesc(), "Timeout during operation");
}

TEST_F(SerialModel, AFailingFlushKeepsThePlatformsError)
{
    Open();
    Dev->FlushError = 5;
    Port->Flush();
    EXPECT_EQ(Port->LastError(), 5);
    EXPECT_EQ(Port->LastErrorDesc(), rt::PlatformErrorText(5));
    Dev->FlushError = 0;
    Port->Flush();
    EXPECT_EQ(Port->LastError(), 0);
}

TEST_F(SerialModel, SendingDataCountsWhatTheDriverStillHoldsForOutput)
{
    Port->SendingData();
    EXPECT_EQ(Port->LastError(), 9) << "a closed port's query fails";
    Open();
    Dev->OutQueued = 37;
    Port->SetSerialError(ErrTimeout);
    EXPECT_EQ(Port->SendingData(), 37);
    EXPECT_EQ(Port->LastError(), 0);
    Dev->OutQueueError = 5;
    EXPECT_EQ(Port->SendingData(), 0) << "a count the platform cannot give is none";
    EXPECT_EQ(Port->LastError(), 5);
    EXPECT_EQ(Dev->Written, "") << "asking sends nothing";
}

// A board unplugged during a read: the queue query fails from the start, or
// only after a wait that a driver let run out its time like a quiet board's,
// or right after a wait that saw a byte. The read still lasts its time-out
// where it waits, and reports the failure, never a mere time-out.
TEST_F(SerialModel, AFailingQueueQueryIsReportedNotATimeOut)
{
    Open();
    enum { FromStart, AfterTimedOutWait, AfterByte };
    for (const int when : {FromStart, AfterTimedOutWait, AfterByte}) {
        SCOPED_TRACE(when);
        Dev->WaitingError = when == FromStart ? 1167 : 0;
        Dev->WaitingErrorAfterWait = when == FromStart ? 0 : 1167;
        if (when == AfterByte)
            Dev->Later.emplace_back(rt::MonotonicMilliseconds() + 50, "x\n");
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Port->RecvTerminated(200, "\n"), "");
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(Port->LastError(), 1167);
        if (when != AfterByte) {
            EXPECT_GE(ms, 190);
        }
        Dev->WaitingError = Dev->WaitingErrorAfterWait = 0;
        Dev->Later.clear();
        Dev->Chunks.clear();
    }
}

// A device that went away, or a wait that failed, still costs the read its
// whole time-out (a read loop must not spin), and the read then reports why,
// so that a caller can tell a board that vanished from one that said
// nothing. Where the platform cannot tell, it stays a time-out.
TEST_F(SerialModel, AHungUpDeviceCostsTheWholeTimeOutAndSaysWhy)
{
    Open();
    struct TCase {
        bool HungUp;
        int HangUpError, WaitError, Expected;
    };
    for (const TCase c : {TCase{true, 5, 0, 5}, TCase{false, 0, 13, 13}, TCase{true, 0, 0, ErrTimeout}}) {
        SCOPED_TRACE(c.Expected);
        Dev->HungUp = c.HungUp;
        Dev->HangUpError = c.HangUpError;
        Dev->WaitError = c.WaitError;
        Dev->Chunks.push_back("AB");
        EXPECT_EQ(Port->RecvTerminated(50, "\n"), "");
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Port->RecvTerminated(300, "\n"), "");
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(Port->LastError(), c.Expected);
        EXPECT_EQ(Port->LastErrorDesc(), TSerialPort::GetErrorDesc(c.Expected));
        EXPECT_EQ(Port->LineBuffer(), "AB") << "the partial line is kept";
        EXPECT_GE(ms, 290);
        EXPECT_LT(ms, 300 + 5000) << "hang guard";
        Port->SetLineBuffer("");
        EXPECT_EQ(Port->RecvByte(30), 0);
        EXPECT_EQ(Port->LastError(), c.Expected);
    }
}

TEST_F(SerialModel, ControlLineTestsGuardConnectAndTransfers)
{
    Port->SetTestDSR(true);
    Dev->ModemWord = msCtsOn;
    Port->Connect("COM3");
    EXPECT_EQ(Port->LastError(), ErrNoDeviceAnswer);
    EXPECT_FALSE(Port->InstanceActive());
    EXPECT_FALSE(Dev->Open);

    Dev->ModemWord = msDsrOn;
    Port->Connect("COM3");
    ASSERT_EQ(Port->LastError(), 0);
    Dev->ModemWord = 0;
    Port->SendString("x");
    EXPECT_EQ(Port->LastError(), ErrNoDeviceAnswer);
    EXPECT_EQ(Dev->Written, "");
    Port->SetTestDSR(false);
    Port->SetTestCTS(true);
    Dev->ModemWord = msCtsOn | msRingOn | msRlsdOn;
    EXPECT_EQ(Port->RecvTerminated(10, "\n"), "");
    EXPECT_EQ(Port->LastError(), ErrTimeout);
    EXPECT_TRUE(Port->GetRing());
    EXPECT_TRUE(Port->GetCarrier());
    EXPECT_FALSE(Port->GetDSR());
    EXPECT_EQ(Port->ModemWord(), static_cast<int>(msCtsOn | msRingOn | msRlsdOn));
}

TEST_F(SerialModel, RaiseExceptThrowsTheCodeAndItsText)
{
    Port->SetRaiseExcept(true);
    try {
        Port->SendString("x");
        FAIL() << "nothing raised";
    } catch (const ESerialError& e) {
        EXPECT_EQ(e.ErrorCode, ErrPortNotOpen);
        EXPECT_EQ(e.ErrorMessage, "Instance not yet connected");
        EXPECT_STREQ(e.what(), "Communication error 9994: Instance not yet connected");
        EXPECT_STREQ(e.ClassName(), "ESerialError");
    }
}

TEST_F(SerialModel, ASecondConnectKeepsTheFirstConnection)
{
    Open();
    Port->Connect("COM4");
    EXPECT_EQ(Port->LastError(), ErrAlreadyInUse);
    EXPECT_EQ(Port->LastErrorDesc(), "Instance already in use");
    EXPECT_EQ(Dev->Opens, 1);
    EXPECT_EQ(Port->Device(), "COM3#2");
    Port->SendString("still");
    EXPECT_EQ(Dev->Written, "still");
}

TEST_F(SerialModel, DestroyingClosesTheDeviceWhileAnExceptionUnwinds)
{
    Open();
    Port->SetRaiseExcept(true);
    Dev->PurgeError = 5; // the close's purge fails and would raise
    try {
        auto owned = std::move(Port);
        throw std::runtime_error("on its way");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(Dev->Open);
    EXPECT_EQ(Dev->Closes, 1);
}

TEST_F(SerialModel, CloseSocketReleasesTheDeviceEvenWhenItRaises)
{
    Open();
    Port->SetRaiseExcept(true);
    Dev->PurgeError = 5;
    EXPECT_THROW(Port->CloseSocket(), ESerialError);
    EXPECT_FALSE(Dev->Open);
    EXPECT_FALSE(Port->InstanceActive());
    EXPECT_EQ(Port->Handle(), ~std::uint64_t{0});
}

TEST_F(SerialModel, ConvertedLineEndsAcceptCrLfLfCrAndLoneEnds)
{
    Open();
    Port->SetConvertLineEnd(true);
    Dev->Chunks.push_back("A\r");
    Dev->Chunks.push_back("\nB\n\rC\rD\r\n");
    EXPECT_EQ(Port->RecvTerminated(100, CRLF), "A");
    EXPECT_EQ(Port->RecvTerminated(100, CRLF), "B"); // the LF of A's lone CR is dropped
    EXPECT_EQ(Port->RecvTerminated(100, CRLF), "C");
    EXPECT_EQ(Port->RecvTerminated(100, CRLF), "D");
    EXPECT_EQ(Port->LineBuffer(), "");
    // Without conversion the terminator is matched literally.
    Port->SetConvertLineEnd(false);
    Dev->Chunks.push_back("x\ry\r\n");
    EXPECT_EQ(Port->RecvTerminated(100, CRLF), "x\ry");
}

TEST_F(SerialModel, ATerminatorSplitAcrossPacketsIsFound)
{
    Open();
    Dev->Chunks.push_back("abc\r");
    Dev->Chunks.push_back("\ndef");
    EXPECT_EQ(Port->RecvTerminated(100, CRLF), "abc");
    EXPECT_EQ(Port->LineBuffer(), "def");
}

TEST_F(SerialModel, TheBandwidthLimitSpacesWrites)
{
    Open();
    Port->SetMaxSendBandwidth(1000);
    const auto start = std::chrono::steady_clock::now();
    Port->SendBuffer(std::string(100, 'a').data(), 100);
    Port->SendBuffer(std::string(100, 'b').data(), 100);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, 90);
    EXPECT_LT(ms, 100 + 5000) << "hang guard";
    EXPECT_EQ(Status.back().Reason, HR_WriteCount);
    bool waited = false;
    for (const auto& s : Status)
        waited = waited || s.Reason == HR_Wait;
    EXPECT_TRUE(waited);
}

} // namespace
} // namespace hp
