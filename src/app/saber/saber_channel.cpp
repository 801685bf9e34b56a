#include "app/saber/saber_channel.h"

#include "runtime/clock.h"
#include "runtime/console.h"
#include "runtime/port_hint.h"
#include "runtime/trace.h"
#include "serialport/serial_trace.h"

#include <algorithm>

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
    if (rt::TraceOn())
        FSer->SetOnStatus(SerialTrace());
    // Neither outcome is examined: a port that failed to open shows up as
    // missing replies, which every action already handles.
    FSer->Connect(TrimPortName(Port));
    FOpenError = FSer->LastError();
    FOpenErrorDesc = FSer->LastErrorDesc();
    if (FOpenError != sOK)
        ReportOpenFailure();
    FSer->Config(115200, 8, 'N', SB1, false, false);
}

void TSaberChannel::ReportOpenFailure() const
{
    // Standard output keeps showing such a port as one that did not answer,
    // as scripts expect; the reason (no permission, held by another program)
    // goes to standard error for the person at the console.
    const std::string& device = FSer->Device();
    rt::WriteErrorLine("hiltpush: " + device + ": " + FOpenErrorDesc);
    const std::string hint = rt::PortOpenHint(device, FOpenError);
    if (!hint.empty())
        rt::WriteErrorLine("hiltpush: " + hint);
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
    const std::string line = Text + LF;
    FSer->DoStatus(HR_Command, line);
    FSer->SendString(line);
    FSentAt = rt::MonotonicMilliseconds();
}

std::string TSaberChannel::Reply(int Timeout)
{
    const std::uint64_t start = TraceStart();
    return Traced(FSer->RecvTerminated(Timeout, LineTerminator), start);
}

std::uint64_t TSaberChannel::TraceStart() const
{
    return FSer->OnStatus() ? rt::MonotonicMilliseconds() : 0;
}

std::string TSaberChannel::Traced(std::string Line, std::uint64_t Start)
{
    if (FSer->OnStatus() && FSer->LastError() == sOK)
        FSer->DoStatus(HR_Reply, std::to_string(rt::MonotonicMilliseconds() - Start) + " " + Line);
    return Line;
}

std::string TSaberChannel::Reply(int Timeout, int Limit)
{
    return ReplyBy(Timeout, FSentAt + static_cast<std::uint64_t>(std::max(Limit, 0)));
}

std::string TSaberChannel::ReplyBy(int Timeout, std::uint64_t Deadline)
{
    // Each read is bounded in all (not only between bytes) by what is left
    // of the time, so that a device trickling bytes without a line feed
    // cannot hold it; the next read picks up the partial line it left.
    const bool interPacket = FSer->InterPacketTimeout();
    FSer->SetInterPacketTimeout(false);
    struct TRestore {
        TSerialPort& Ser;
        bool Value;
        ~TRestore() { Ser.SetInterPacketTimeout(Value); }
    } restore{*FSer, interPacket};
    const std::uint64_t start = TraceStart();
    for (;;) {
        const std::uint64_t now = rt::MonotonicMilliseconds();
        if (now >= Deadline) {
            FSer->SetLineBuffer(std::string());
            return {};
        }
        const int left = static_cast<int>(std::min<std::uint64_t>(Deadline - now, 0x7FFFFFFF));
        const int wait = std::min(Timeout, left);
        const std::size_t had = FSer->LineBuffer().size();
        std::string line = FSer->RecvTerminated(wait, LineTerminator);
        if (FSer->LastError() != ErrTimeout)
            return Traced(std::move(line), start); // a line, an empty line, or a failure: as a plain reply
        // A whole Timeout without a byte is silence: no reply, as always.
        if (FSer->LineBuffer().size() == had && wait >= Timeout)
            return {};
    }
}

void TSaberChannel::Listing()
{
    for (;;) {
        const std::string line = Reply(ReplyTimeout);
        if (line.empty())
            return;
        rt::WriteBoardLine(line);
    }
}

void TSaberChannel::Drain()
{
    // A device that streams lines without a pause (one that reports
    // readings all the time, say) would otherwise hold the scan forever; cut
    // short, it is asked anyway, and its chatter fails the check.
    // A device trickling bytes without a line feed is cut short the same way.
    const std::uint64_t deadline = rt::MonotonicMilliseconds() + static_cast<std::uint64_t>(DrainLimit);
    while (!ReplyBy(DrainTimeout, deadline).empty()) {
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
