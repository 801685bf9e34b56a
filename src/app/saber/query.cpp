// The query actions: firmware version and serial number, the file listing,
// and free text sent to the board. None of them judges what comes back.
#include "app/hiltpush.h"
#include "app/saber/saber_channel.h"
#include "app/saber/saber_output.h"
#include "runtime/board_text.h"

namespace hp {

void THiltPush::SaberInfo(const std::string& Port)
{
    TSaberChannel Ch(Port);
    WriteQueryHeader();
    Ch.Command("V?");
    WriteReplyIfAny(Ch.Reply(ReplyTimeout));
    Ch.Command("S?");
    WriteReplyIfAny(Ch.Reply(ReplyTimeout));
    Ch.Close();
}

void THiltPush::ListFiles(const std::string& Port)
{
    TSaberChannel Ch(Port);
    WriteQueryHeader();
    Ch.Command("V?");
    WriteReplyIfAny(Ch.Reply(ReplyTimeout));
    Ch.Command("LIST?");
    Ch.Listing();
    Ch.Close();
}

void THiltPush::Transmit(const std::string& Port, const std::string& Cmd)
{
    // Nothing to say: the port is not even opened.
    if (Cmd.empty())
        return;
    // A character the board's code page lacks would arrive as some other
    // byte: better not sent at all.
    const auto bytes = rt::ToBoardText(Cmd);
    if (!bytes) {
        rt::WriteLine();
        rt::WriteLine("ERROR, Invalid text to send: " + Cmd);
        SetExitCode(ExitFailure);
        return;
    }
    TSaberChannel Ch(Port);
    // Sent byte for byte: line feeds inside the text make several commands
    // in the one write, and no escape sequence is interpreted.
    Ch.Command(*bytes);
    Ch.Listing();
    Ch.Close();
}

} // namespace hp
