#include "fake_saber.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "app/hiltpush.h"

namespace hp::test {

namespace {
TFakeSaber* GBoard = nullptr;
} // namespace

// The serial objects of the program under test get the board's device.
std::shared_ptr<TFakeDevice> CurrentFakeDevice()
{
    if (!GBoard)
        throw std::logic_error("a serial port was opened with no TFakeSaber in place");
    return GBoard->Dev;
}

TFakeSaber::TFakeSaber()
{
    if (GBoard)
        throw std::logic_error("one TFakeSaber at a time");
    GBoard = this;
    Dev->OnWrite = [this](const std::string& Bytes) { TakeBytes(Bytes); };
    Dev->OnFlush = [this] {
        if (FReceiving && FExpected == 0 && !ClosingSent)
            Send(Closing);
    };
}

TFakeSaber::~TFakeSaber()
{
    GBoard = nullptr;
}

void TFakeSaber::Send(const std::string& Line)
{
    Dev->Chunks.push_back(Line + "\n");
    if (FReceiving && Line == Closing)
        ClosingSent = true;
}

void TFakeSaber::TakeBytes(const std::string& Bytes)
{
    for (const char c : Bytes) {
        if (FReceiving && FExpected > 0) {
            Stored += c;
            --FExpected;
            if (OnDataByte)
                OnDataByte(static_cast<std::int64_t>(Stored.size()));
            if (FExpected == 0 && ClosingOnLastByte)
                Send(Closing);
            continue;
        }
        if (c != '\n') {
            FLine += c;
            continue;
        }
        const std::string line = FLine;
        FLine.clear();
        Command(line);
    }
}

void TFakeSaber::Command(const std::string& Line)
{
    Commands.push_back(Line);
    if (Line == "V?")
        Send(Version);
    else if (Line == "S?")
        Send(Serial);
    else if (Line == "WR?")
        Send(Ready);
    else if (Line == "FREE?")
        Send(Free);
    else if (Line.rfind("WR=", 0) == 0) {
        FExpected = std::stoll(Line.substr(Line.rfind(',') + 1));
        FReceiving = true;
        Send(Accepted);
    }
}

bool TFakeSaber::TResult::HasLine(const std::string& Line) const
{
    return ("\n" + Out).find("\n" + Line + "\n") != std::string::npos;
}

TFakeSaber::TResult TFakeSaber::Upload(const std::string& Name, const std::string& Bytes)
{
    const auto dir = std::filesystem::temp_directory_path() /
                     ("hp_fake_saber_" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / Name).string();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
    }
    TResult result;
    {
        THiltPush app("hiltpush", {"-s", path});
        testing::internal::CaptureStdout();
        app.SendFile("COM7", path);
        result.Out = testing::internal::GetCapturedStdout();
        // Lines end in "\n" here on every platform: on Windows the capture
        // reads its file back as text, which turns each "\r\n" into "\n".
        result.ExitCode = app.ExitCode();
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return result;
}

} // namespace hp::test
