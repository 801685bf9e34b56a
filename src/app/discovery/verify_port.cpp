// Telling a writable saber from any other serial device: three questions,
// each judged before the next one is asked.
#include "app/hiltpush.h"
#include "app/saber/saber_channel.h"
#include "runtime/console.h"

namespace hp {

namespace {
const std::string OldestFirmware = "V=1.";
const std::string SerialPrefix = "S=";
const std::string WritablePrefix = "OK, Write ";

bool StartsWith(const std::string& Text, const std::string& Prefix)
{
    return Text.compare(0, Prefix.size(), Prefix) == 0;
}

void ForgetReceived(TSaberChannel& Channel)
{
    Channel.Ser().Flush();
    Channel.Ser().SetLineBuffer(std::string());
}

} // namespace

bool THiltPush::VerifyPort(const std::string& Port)
{
    TSaberChannel channel(Port);

    // Whatever the device said on its own before it was asked (a banner, the
    // end of an earlier conversation) must not be taken for an answer.
    ForgetReceived(channel);
    channel.Drain();
    ForgetReceived(channel);

    channel.Command("V?");
    std::string inp = channel.Reply(VerifyTimeout, VerifyReplyLimit);
    // std::string compares as unsigned bytes, so "v=0.1" or "V=10" order
    // after "V=1." just as a byte-wise comparison says.
    if (inp.empty() || inp < OldestFirmware) {
        rt::WriteBoardLine("V? response: " + inp);
        return false;
    }

    channel.Command("S?");
    inp = channel.Reply(VerifyTimeout, VerifyReplyLimit);
    if (!StartsWith(inp, SerialPrefix)) {
        rt::WriteBoardLine("S? response: " + inp);
        return false;
    }

    channel.Command("WR?");
    inp = channel.Reply(VerifyTimeout, VerifyReplyLimit);
    if (!StartsWith(inp, WritablePrefix)) {
        rt::WriteBoardLine("WR? response: " + inp);
        return false;
    }

    channel.Close();
    return true;
}

} // namespace hp
