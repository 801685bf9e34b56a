#include "app/saber/saber_channel.h"

#include "runtime/clock.h"
#include "runtime/console.h"

namespace hp {

namespace {
const std::string LineTerminator(1, LF);

bool IsPortNamePadding(char C) { return C == ':' || C == ' '; }
} // namespace

std::string TrimPortName(const std::string& Port)
{
    std::size_t first = 0;
    std::size_t last = Port.size();
    while (first < last && IsPortNamePadding(Port[first]))
        ++first;
    while (last > first && IsPortNamePadding(Port[last - 1]))
        --last;
    return Port.substr(first, last - first);
}

TSaberChannel::TSaberChannel(const std::string& Port)
    : FSer(std::make_unique<TSerialPort>())
{
    // Neither outcome is examined: a port that failed to open shows up as
    // missing replies, which every action already handles.
    FSer->Connect(TrimPortName(Port));
    FSer->Config(115200, 8, 'N', SB1, false, false);
}

TSaberChannel::~TSaberChannel()
{
    Close();
}

TSerialPort& TSaberChannel::Ser()
{
    return *FSer;
}

void TSaberChannel::Command(const std::string& Text)
{
    // One write for text and line feed: the board sees the command whole.
    FSer->SendString(Text + LF);
}

std::string TSaberChannel::Reply(int Timeout)
{
    return FSer->RecvTerminated(Timeout, LineTerminator);
}

void TSaberChannel::Listing()
{
    for (;;) {
        const std::string line = Reply(ReplyTimeout);
        if (line.empty())
            return;
        rt::WriteLine(line);
    }
}

void TSaberChannel::Drain()
{
    // A device that streams lines without a pause (one that reports
    // readings all the time, say) would otherwise hold the scan forever; cut
    // short, it is asked anyway, and its chatter fails the check.
    const std::uint64_t start = rt::MonotonicMilliseconds();
    while (!Reply(DrainTimeout).empty()) {
        if (rt::MonotonicMilliseconds() - start >= static_cast<std::uint64_t>(DrainLimit))
            return;
    }
}

void TSaberChannel::Close()
{
    if (FClosed)
        return;
    FClosed = true;
    FSer->CloseSocket();
}

} // namespace hp
