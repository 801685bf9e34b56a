// Erasing the saber's whole serial flash, with the board's progress echoed
// while it works.
#include "app/hiltpush.h"
#include "app/saber/saber_channel.h"
#include "app/saber/saber_output.h"
#include "runtime/console.h"
#include "serialport/serial_port.h"

#include <cstdint>
#include <string>

namespace hp {

namespace {

// The board reports progress with bytes below 'A' (dots, digits, line
// ends); its first byte from 'A' up starts the closing message.
constexpr std::uint8_t EraseDoneByte = 0x41;

// Consecutive silent receives after which the board is given up.
constexpr int EraseSilentLimit = 5;

} // namespace

void THiltPush::DoErase(const std::string& Port)
{
    TSaberChannel Ch(Port);
    TSerialPort& Ser = Ch.Ser();

    WriteQueryHeader();
    Ch.Command("V?");
    WriteReplyIfAny(Ch.Reply(ReplyTimeout));
    Ch.Command("S?");
    WriteReplyIfAny(Ch.Reply(ReplyTimeout));

    // Only the exact reply counts: a trailing CR or anything else means the
    // board is not in a state we know to be safe to erase.
    Ch.Command("WR?");
    if (Ch.Reply(ReplyTimeout) != "OK, Write Ready") {
        rt::WriteLine("Saber Not Ready to Write File, aborting.");
        SetExitCode(ExitFailure);
        Ch.Close();
        return;
    }

    Ch.Command("ERASE=ALL");
    rt::WriteBoardLine(Ch.Reply(ReplyTimeout));

    // Every receive that brought no byte counts as silence. A failure other
    // than a time-out (the port went away, a line error) also brings no byte:
    // echoing it as a zero byte would restart the count on every call and
    // spin for ever on a port that fails at once. A byte held back by a line
    // error is delivered by the next receive.
    int Counter = 0;
    rt::TBoardEcho echo;
    std::uint8_t InByte = Ser.RecvByte(EraseByteTimeout);
    bool Received = Ser.LastError() == 0;
    while (Counter < EraseSilentLimit && (!Received || InByte < EraseDoneByte)) {
        ++Counter;
        if (Received) {
            echo.Put(static_cast<char>(InByte));
            Counter = 0;
        }
        InByte = Ser.RecvByte(EraseByteTimeout);
        Received = Ser.LastError() == 0;
    }

    // The byte that ended the wait, or one that came with the last receive
    // after the board had been silent too long.
    if (Received)
        echo.Put(static_cast<char>(InByte));
    echo.End();

    if (Counter >= EraseSilentLimit) {
        rt::WriteLine("ERROR, Communication Timed out...");
        SetExitCode(ExitFailure);
    }

    // The board's closing lines; the first continues the echoed line.
    rt::WriteBoardLine(Ch.Reply(ReplyTimeout));
    rt::WriteBoardLine(Ch.Reply(ReplyTimeout));
    Ch.Close();
}

} // namespace hp
