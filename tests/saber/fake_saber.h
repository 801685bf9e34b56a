#pragma once
// A saber board played over the fake serial device, for the program's
// actions to run without hardware. Any serial object the program creates
// while a TFakeSaber exists talks to it (see fake_backend_seam.cpp): the
// action under test is called directly, its console output captured.
//
//   TFakeSaber Board;                        // answers like a ready saber
//   Board.Dev->OutQueued = 5;                // what the driver still holds
//   auto R = Board.Upload("song.wav", Bytes); // SendFile over the board
//   EXPECT_EQ(R.ExitCode, 2);
//
// The fake driver holds the file's tail until it is flushed: the board's
// closing reply comes only once the upload waited for its last bytes to
// leave (or at once with ClosingOnLastByte).
//
// The test program runs on a virtual clock (fake_backend_seam.cpp): time
// passes only while the program waits, so a reply can be made to come a
// chosen number of milliseconds late, exactly and at no cost.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fake_backend.h"

namespace hp {
class THiltPush;
}

namespace hp::test {

class TFakeSaber {
public:
    TFakeSaber();
    ~TFakeSaber();
    TFakeSaber(const TFakeSaber&) = delete;
    TFakeSaber& operator=(const TFakeSaber&) = delete;

    std::shared_ptr<TFakeDevice> Dev = std::make_shared<TFakeDevice>();

    // Replies (each sent with a line feed).
    std::string Version = "V=2.05";
    std::string Serial = "S=0042-5117";
    std::string Ready = "OK, Write Ready";
    std::string Free = "FREE=16777216";
    std::string Accepted = "OK, Write Started";
    std::string Closing = "OK, Write Complete";
    std::string Listing = "hum1.wav,123\nclash1.wav,45";
    bool ClosingOnLastByte = false;

    // The reply to a command (named by its text up to any '=': "V?", "WR",
    // "ERASE"; "" for the closing reply, counted from the drain of the
    // file's tail) arrives this many ms late: whole, or with Trickle its
    // bytes spread evenly over the time.
    std::map<std::string, int> Delay;
    bool Trickle = false;
    // Bytes the board sends unasked: each at its ms after the action began.
    std::vector<std::pair<int, std::string>> Unasked;

    // Called with the count of file bytes received so far, after each one:
    // a test injects its fault at a chosen byte.
    std::function<void(std::int64_t Received)> OnDataByte;

    // What the board saw.
    std::vector<std::string> Commands;
    std::string Stored;       // the file bytes received
    bool ClosingSent = false;

    struct TResult {
        std::string Out;      // the console output, every byte; lines end in "\n"
        int ExitCode = -1;
        // Out holds this whole console line.
        bool HasLine(const std::string& Line) const;
    };

    // Runs an action of a fresh application (as hiltpush -s) over this board.
    TResult Run(const std::function<void(THiltPush&)>& Action);
    // Writes Bytes to a temporary file named Name and runs the upload of it
    // over this board, on port COM7.
    TResult Upload(const std::string& Name, const std::string& Bytes);

private:
    void TakeBytes(const std::string& Bytes);
    void Command(const std::string& Line);
    void Send(const std::string& Line, const std::string& Key);
    void At(std::uint64_t Time, const std::string& Bytes);

    std::string FLine;
    std::int64_t FExpected = 0;
    bool FReceiving = false;
};

} // namespace hp::test
