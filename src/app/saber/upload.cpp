// The upload: one file from the computer into the saber's serial flash, under
// the file's own name.
#include "app/hiltpush.h"
#include "app/saber/saber_channel.h"
#include "app/saber/upload_file.h"
#include "app/saber/upload_progress.h"
#include "runtime/board_text.h"
#include "runtime/clock.h"
#include "runtime/console.h"
#include "runtime/exceptions.h"
#include "runtime/files.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace hp {

namespace {

const std::string ReadyReply = "OK, Write Ready";
const std::string AcceptedPrefix = "OK, Write ";
const std::string FreePrefix = "FREE=";
const std::string OldestWritableFirmware = "V=1.";

// The file is read in blocks this large; the board still gets one byte per
// send.
constexpr std::size_t ReadBlock = 64 * 1024;

bool StartsWith(const std::string& Text, const std::string& Prefix)
{
    return Text.compare(0, Prefix.size(), Prefix) == 0;
}

// Write failures end the transfer; line errors reported after a byte that
// did go out do not.
bool SendFailed(int Error)
{
    switch (Error) {
    case sOK:
    case ErrFrame:
    case ErrOverrun:
    case ErrRxOver:
    case ErrRxParity:
    case ErrTxFull:
        return false;
    default:
        return true;
    }
}

// A reply read that ended because the device went away or the port failed
// (a platform error), not by silence or by a line error of bytes that came.
bool ReadFailed(int Error)
{
    return Error != sOK && (Error < ErrAlreadyOwned || Error > ErrTxFull);
}

// The bytes the board can have received: those written, less those the
// driver still holds, where it can tell.
std::int64_t Delivered(TSerialPort& Ser, std::int64_t Written)
{
    const int queued = Ser.SendingData();
    return Ser.LastError() == sOK ? Written - std::min<std::int64_t>(queued, Written) : Written;
}

} // namespace

bool THiltPush::SendFile(const std::string& Port, const TUploadFile& File, const TUploadTotal* Total)
{
    // Checked again where the run's check found it: a file can vanish or
    // change between that check and its turn, and looking it up anew could
    // find another file of the same name.
    TUploadFile file = File;
    CheckUploadFile(file);
    if (!file.Problem.empty()) {
        rt::WriteLine();
        rt::WriteLine(file.Problem);
        SetExitCode(ExitFailure);
        return false;
    }

    TSaberChannel channel(Port);
    rt::WriteLine("Querying Saber");
    rt::WriteLine("--------------");
    channel.Command("V?");
    const std::string ver = channel.Reply(ReplyTimeout);
    if (!ver.empty())
        rt::WriteBoardLine(ver);
    channel.Command("S?");
    std::string inp = channel.Reply(ReplyTimeout);
    if (!inp.empty())
        rt::WriteBoardLine(inp);
    channel.Command("WR?");
    inp = channel.Reply(ReplyTimeout);

    // Compared as unsigned bytes: firmware "V=1." itself cannot take files.
    if (!(ver > OldestWritableFirmware && inp == ReadyReply)) {
        rt::WriteLine("Saber Not Ready to Write File, aborting.");
        SetExitCode(ExitFailure);
        return false;
    }
    rt::WriteBoardLine(inp);
    rt::WriteLine("Saber Ready to Write to Serial Flash");
    rt::WriteLine();

    rt::TByteFile datFile(file.Source());
    const std::int64_t fileSize = datFile.Size();
    std::int64_t freeSpace = -1;

    channel.Command("FREE?");
    inp = channel.Reply(ReplyTimeout);
    if (StartsWith(inp, FreePrefix)) {
        // A number that cannot be read is quoted in the report: shown, like
        // every text of the board, so that its control bytes cannot reach the
        // terminal. No number holds such a byte, so the reading is the same.
        freeSpace = StrToInt(rt::FromBoardText(rt::ShownBoardText(inp.substr(FreePrefix.size()), false)));
        // A run that cannot fit as a whole is refused before its first byte
        // rather than left half-sent on a full board.
        const std::int64_t needed = Total ? Total->Size : fileSize;
        if (freeSpace < needed) {
            rt::WriteLine("Space on Saber: " + std::to_string(freeSpace));
            rt::WriteLine(Total ? "Size of " + std::to_string(Total->Count) + " files: " + std::to_string(needed)
                                : "Filesize: " + std::to_string(fileSize));
            rt::WriteLine();
            rt::WriteLine("ERROR.");
            rt::WriteLine("Insufficient Space on saber, ERASE-ALL and re-upload all files.");
            rt::WriteLine();
            channel.Close();
            Terminate(ExitInsufficientSpace);
            return false;
        }
    }

    rt::WriteLine("Sending: " + file.FullName + " to " + Port);
    rt::WriteLine("as Serial Flash Name: " + file.FlashName);
    if (freeSpace > 0)
        rt::WriteLine("Space on Saber: " + std::to_string(freeSpace));
    rt::WriteLine("Filesize: " + std::to_string(fileSize));

    const std::uint64_t startMs = rt::MonotonicMilliseconds();
    channel.Command("WR=" + file.BoardName + "," + std::to_string(fileSize));
    inp = channel.Reply(WriteReplyTimeout);
    rt::WriteBoardLine(inp);
    const bool accepted = StartsWith(inp, AcceptedPrefix);

    std::int64_t remaining = fileSize;
    bool sendFailed = false;
    if (accepted) {
        TSerialPort& ser = channel.Ser();
        std::vector<char> block(ReadBlock);
        while (remaining > 0 && !sendFailed) {
            // Never more than announced, should the file have grown.
            const std::size_t want = remaining < static_cast<std::int64_t>(block.size())
                                         ? static_cast<std::size_t>(remaining)
                                         : block.size();
            const std::size_t got = datFile.Read(block.data(), want);
            // The board was promised exactly fileSize bytes: a file that
            // shrank meanwhile cannot keep that promise.
            if (got == 0)
                RaiseInOutError("Read beyond end of file", 100);
            for (std::size_t i = 0; i < got; ++i) {
                ser.SendByte(static_cast<std::uint8_t>(block[i]));
                if (SendFailed(ser.LastError())) {
                    sendFailed = true;
                    break;
                }
                --remaining;
                if (UploadProgressDue(remaining)) {
                    const auto elapsed = static_cast<std::int64_t>(rt::MonotonicMilliseconds() - startMs);
                    rt::Write(UploadProgressText(remaining, fileSize, elapsed));
                }
            }
        }
    }

    std::int64_t delivered = fileSize - remaining;
    std::string stopReason;
    if (sendFailed) {
        stopReason = channel.Ser().LastErrorDesc();
    } else if (accepted) {
        // Closing discards what the driver has not transmitted yet: the last
        // bytes must reach the board before its closing line is awaited and
        // the port is closed. A board that stopped taking bytes (or went away
        // after the last write) has not got the file.
        TSerialPort& ser = channel.Ser();
        ser.Flush();
        if (ser.LastError() != sOK) {
            sendFailed = true;
            stopReason = ser.LastErrorDesc(); // before the queue query records its own outcome
            delivered = Delivered(ser, delivered);
        }
    }

    // The file did not reach the board whole: say how far it got.
    const auto stopped = [&](std::int64_t Count, const std::string& Reason) {
        rt::WriteLine("ERROR, Upload stopped after " + std::to_string(Count) + " of " + std::to_string(fileSize) +
                      " bytes: " + Reason);
        channel.Close();
        SetExitCode(ExitFailure);
        return false;
    };
    rt::WriteLine("\r" + std::string(50, ' ') + "\r");
    if (sendFailed)
        return stopped(delivered, stopReason);
    inp = channel.Reply(ReplyTimeout);
    // A driver may report its queue empty once it has marked the device
    // gone, so the flush alone cannot prove that the tail arrived. Silence
    // is the board's right; a board that went away while its closing line
    // was awaited has not confirmed the file.
    if (accepted && ReadFailed(channel.Ser().LastError())) {
        stopReason = channel.Ser().LastErrorDesc(); // before the queue query records its own outcome
        return stopped(Delivered(channel.Ser(), delivered), stopReason);
    }
    rt::WriteBoardLine(inp);
    channel.Close();
    if (!accepted)
        SetExitCode(ExitFailure);
    return accepted;
}

} // namespace hp
