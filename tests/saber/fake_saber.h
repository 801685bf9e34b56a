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
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fake_backend.h"

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
    bool ClosingOnLastByte = false;

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

    // Writes Bytes to a temporary file named Name and runs the upload of it
    // over this board, on port COM7.
    TResult Upload(const std::string& Name, const std::string& Bytes);

private:
    void TakeBytes(const std::string& Bytes);
    void Command(const std::string& Line);
    void Send(const std::string& Line);

    std::string FLine;
    std::int64_t FExpected = 0;
    bool FReceiving = false;
};

} // namespace hp::test
