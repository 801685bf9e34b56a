#pragma once
// One conversation with a saber: the port is opened and set up on
// construction and closed again on every way out of the action that owns the
// channel. Commands are single lines ended by one line feed; replies are read
// as lines, and an empty reply means "no answer" (silence, an empty line, or
// a port that never opened all look the same to the caller).
#include "serialport/serial_port.h"

#include <cstdint>
#include <memory>
#include <string>

namespace hp {

// Reply time-outs in milliseconds. A line read's time-out bounds each silence
// between bytes, not the whole line.
constexpr int DrainTimeout = 50;         // each line thrown away before the first question
constexpr int ReplyTimeout = 500;        // ordinary replies and every listing line
constexpr int VerifyTimeout = 1500;      // the three questions that tell a saber from other devices
constexpr int WriteReplyTimeout = 2500;  // the board's answer to a write command
constexpr int EraseByteTimeout = 5000;   // each progress byte of a flash erase
constexpr int DrainLimit = 1000;         // the longest a drain goes on while lines keep coming
constexpr int VerifyReplyLimit = 5000;   // the longest one verification reply may take in all

// The port name without the ':' and ' ' characters at either end (inner
// characters are kept): device maps and users sometimes write "COM3:".
std::string TrimPortName(const std::string& Port);

class TSaberChannel {
public:
    // Opens the port (name trimmed) at 115200 baud, 8 data bits, no parity,
    // one stop bit, no flow control. A port that cannot be opened is not an
    // error here: every later reply is simply empty, and standard error
    // says why it could not be opened.
    explicit TSaberChannel(const std::string& Port);
    // Closes the port if it is still open.
    ~TSaberChannel();
    TSaberChannel(const TSaberChannel&) = delete;
    TSaberChannel& operator=(const TSaberChannel&) = delete;

    TSerialPort& Ser();

    // How opening the port went: sOK, or the error that kept it closed (a
    // platform error number) and its text.
    int OpenError() const { return FOpenError; }
    const std::string& OpenErrorDesc() const { return FOpenErrorDesc; }

    // Sends Text and its line feed in one write.
    void Command(const std::string& Text);

    // The next reply line without its line feed (a carriage return before it
    // stays); empty after Timeout ms of silence.
    std::string Reply(int Timeout);

    // Reply, also bounded in all: once Limit ms have passed since the last
    // command was sent, the reply counts as missing (empty) and the bytes
    // received of it are dropped. For a device that may never end a line.
    std::string Reply(int Timeout, int Limit);

    // Prints every non-empty line as it arrives, until 500 ms pass without a
    // byte or an empty line arrives.
    void Listing();

    // Throws away lines until 50 ms pass without a byte or an empty line
    // arrives: whatever the board said before it was asked anything. A
    // device that never pauses is cut short after DrainLimit ms.
    void Drain();

    // Closes the port now; later calls and the destructor do nothing more.
    void Close();

private:
    void ReportOpenFailure() const;
    // Reply bounded by a point in time on the monotonic clock.
    std::string ReplyBy(int Timeout, std::uint64_t Deadline);
    // When a reply's wait began, for the trace (0 when there is none); the
    // line read, told to the trace with the time waited.
    std::uint64_t TraceStart() const;
    std::string Traced(std::string Line, std::uint64_t Start);

    std::unique_ptr<TSerialPort> FSer;
    bool FClosed = false;
    int FOpenError = sOK;
    std::string FOpenErrorDesc;
    std::uint64_t FSentAt = 0; // when the last command went out
};

} // namespace hp
