// The upload's data over a scripted board: which serial errors end it.
#include <gtest/gtest.h>

#include <cerrno>

#include "fake_saber.h"
#include "runtime/platform_error.h"
#include "serialport/serial_backend.h"

namespace hp::test {
namespace {

std::string FileOf(std::size_t Size)
{
    std::string bytes(Size, '\0');
    for (std::size_t i = 0; i < Size; ++i)
        bytes[i] = static_cast<char>((i * 97 + 3) & 0xFF);
    return bytes;
}

// A line error the driver reports with a byte that did go out says nothing
// about the data: every kind the port knows leaves the upload running.
TEST(UploadLine, EveryLineErrorAfterAByteThatWentOutLeavesTheUploadRunning)
{
    const std::string file = FileOf(1500);
    for (const std::uint32_t error : {ceFrame, ceOverrun, ceRxParity, ceRxOver, ceTxFull, ceFrame | ceTxFull}) {
        TFakeSaber board;
        board.OnDataByte = [&](std::int64_t received) {
            if (received == 600)
                board.Dev->LineErrors = error;
        };
        const auto r = board.Upload("song.wav", file);
        EXPECT_EQ(r.ExitCode, 0) << "line error " << error << ":\n" << r.Out;
        EXPECT_EQ(board.Stored, file) << "line error " << error;
        EXPECT_TRUE(r.HasLine(board.Closing)) << "line error " << error << ":\n" << r.Out;
    }
}

// A write that fails is another matter: the upload stops at once and says
// how many bytes went out.
TEST(UploadLine, AWriteThatFailsStopsTheUploadAtThatByte)
{
    TFakeSaber board;
    board.OnDataByte = [&](std::int64_t received) {
        if (received == 600)
            board.Dev->WriteError = EIO;
    };
    const auto r = board.Upload("song.wav", FileOf(1500));
    EXPECT_EQ(r.ExitCode, 2) << r.Out;
    EXPECT_EQ(board.Stored.size(), 600u);
    EXPECT_TRUE(r.HasLine("ERROR, Upload stopped after 600 of 1500 bytes: " + rt::PlatformErrorText(EIO))) << r.Out;
    EXPECT_FALSE(r.HasLine(board.Closing)) << r.Out;
    EXPECT_FALSE(board.Dev->Open);
}

} // namespace
} // namespace hp::test
