// The upload's end over a scripted board: faults of the driver and the line
// that a pseudo-terminal cannot produce.
#include <gtest/gtest.h>

#include "fake_saber.h"
#include "runtime/platform_error.h"
#include "serialport/serial_port.h"

namespace hp::test {
namespace {

std::string FileOf(std::size_t Size)
{
    std::string bytes(Size, '\0');
    for (std::size_t i = 0; i < Size; ++i)
        bytes[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    return bytes;
}

const std::string Blanking = "\r" + std::string(50, ' ') + "\r\n";

bool EndsWith(const std::string& Out, const std::string& Tail)
{
    return Out.size() >= Tail.size() && Out.compare(Out.size() - Tail.size(), Tail.size(), Tail) == 0;
}

TEST(UploadEnd, AFlushThatRunsOutCountsOnlyTheBytesThatLeft)
{
    TFakeSaber board;
    board.ClosingOnLastByte = true; // a closing reply that must not be read
    board.Dev->FlushStuck = true;
    board.Dev->OutQueued = 700;
    const std::string file = FileOf(3000);
    const auto r = board.Upload("song.wav", file);
    EXPECT_EQ(r.ExitCode, 2);
    // Right after the blanking, and the last line.
    EXPECT_TRUE(EndsWith(r.Out, Blanking + "ERROR, Upload stopped after 2300 of 3000 bytes: Timeout during operation\n"))
        << r.Out;
    EXPECT_EQ(r.Out.find(board.Closing), std::string::npos) << "no final reply is read:\n" << r.Out;
    EXPECT_EQ(board.Stored, file);
    EXPECT_FALSE(board.Dev->Open) << "the port is closed";
}

TEST(UploadEnd, AFailingFlushKeepsItsErrorWhenTheQueueCannotBeCounted)
{
    TFakeSaber board;
    board.ClosingOnLastByte = true;
    board.Dev->FlushError = 5;
    board.Dev->OutQueueError = 6;
    const auto r = board.Upload("song.wav", FileOf(1000));
    EXPECT_EQ(r.ExitCode, 2);
    EXPECT_TRUE(r.HasLine("ERROR, Upload stopped after 1000 of 1000 bytes: " + rt::PlatformErrorText(5))) << r.Out;
    EXPECT_EQ(r.Out.find(board.Closing), std::string::npos) << r.Out;
    EXPECT_FALSE(board.Dev->Open);
}

TEST(UploadEnd, TheUploadWaitsForItsTailBeforeReadingTheClosingReply)
{
    TFakeSaber board; // the closing reply comes only once the tail left
    const std::string file = FileOf(2000);
    const auto r = board.Upload("song.wav", file);
    EXPECT_EQ(r.ExitCode, 0) << r.Out;
    EXPECT_TRUE(r.HasLine(board.Closing)) << r.Out;
    EXPECT_EQ(board.Stored, file);
}

// A driver may report its queue empty once the device is gone, so the flush
// passes; the closing reply's read then shows the board vanished. Silence
// alone, or a line error on the bytes that did come, stays a success.
TEST(UploadEnd, ABoardThatGoesAwayWhileTheClosingReplyIsAwaitedFailsTheUpload)
{
    const std::string file = FileOf(3000);
    {
        TFakeSaber board;
        board.Dev->OnFlush = [&] { board.Dev->HungUp = true; };
        board.Dev->HangUpError = 19;
        board.Dev->OutQueueError = 19; // nothing can be asked of a device that is gone
        const auto r = board.Upload("song.wav", file);
        EXPECT_EQ(r.ExitCode, 2);
        EXPECT_TRUE(EndsWith(r.Out, Blanking + "ERROR, Upload stopped after 3000 of 3000 bytes: " +
                                        rt::PlatformErrorText(19) + "\n"))
            << r.Out;
        EXPECT_FALSE(board.Dev->Open);
    }
    for (const std::uint32_t lineErrors : {0u, ceFrame}) {
        TFakeSaber board;
        board.Dev->OnFlush = [&] {
            board.Dev->Chunks.push_back("OK, Wr");
            board.Dev->LineErrors = lineErrors;
        };
        const auto r = board.Upload("song.wav", file);
        EXPECT_EQ(r.ExitCode, 0) << r.Out;
        EXPECT_TRUE(EndsWith(r.Out, Blanking + "\n")) << "an empty closing reply:\n" << r.Out;
    }
}

TEST(UploadEnd, ALineErrorAfterAByteThatWentOutDoesNotStopTheUpload)
{
    TFakeSaber board;
    board.OnDataByte = [&](std::int64_t received) {
        if (received == 600)
            board.Dev->LineErrors = ceFrame;
    };
    const std::string file = FileOf(1500);
    const auto r = board.Upload("song.wav", file);
    EXPECT_EQ(r.ExitCode, 0) << r.Out;
    EXPECT_EQ(board.Stored, file);
    EXPECT_TRUE(r.HasLine(board.Closing)) << r.Out;
}

} // namespace
} // namespace hp::test
