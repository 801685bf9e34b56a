#include "fake_saber.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "app/hiltpush.h"
#include "app/upload_list.h"
#include "runtime/clock.h"

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
            Send(Closing, "");
    };
}

TFakeSaber::~TFakeSaber()
{
    GBoard = nullptr;
}

void TFakeSaber::At(std::uint64_t Time, const std::string& Bytes)
{
    auto& later = Dev->Later;
    const auto after = std::find_if(later.begin(), later.end(), [&](const auto& c) { return c.first > Time; });
    later.insert(after, {Time, Bytes});
}

void TFakeSaber::Send(const std::string& Line, const std::string& Key)
{
    const std::string bytes = Line + "\n";
    const std::uint64_t now = rt::MonotonicMilliseconds();
    const auto delay = static_cast<std::uint64_t>(Delay.count(Key) ? Delay.at(Key) : 0);
    if (!Trickle || delay == 0)
        At(now + delay, bytes);
    for (std::size_t i = 0; Trickle && delay > 0 && i < bytes.size(); ++i)
        At(now + delay * (i + 1) / bytes.size(), bytes.substr(i, 1));
    if (FReceiving && Key.empty())
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
                Send(Closing, "");
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
    const std::string key = Line.substr(0, Line.find('='));
    if (Line == "V?")
        Send(Version, key);
    else if (Line == "S?")
        Send(Serial, key);
    else if (Line == "WR?")
        Send(Ready, key);
    else if (Line == "FREE?")
        Send(Free, key);
    else if (Line == "LIST?")
        Send(Listing, key);
    else if (Line == "ERASE=ALL")
        Send("OK, Erasing Serial Flash\n...Serial Flash Erased\nOK, Erase Complete", key);
    else if (key == "WR") {
        FExpected = std::stoll(Line.substr(Line.rfind(',') + 1));
        FReceiving = true;
        Send(Accepted, key);
    }
}

bool TFakeSaber::TResult::HasLine(const std::string& Line) const
{
    return ("\n" + Out).find("\n" + Line + "\n") != std::string::npos;
}

TFakeSaber::TResult TFakeSaber::Run(const std::function<void(THiltPush&)>& Action)
{
    const std::uint64_t begun = rt::MonotonicMilliseconds();
    for (const auto& [ms, bytes] : Unasked)
        At(begun + static_cast<std::uint64_t>(ms), bytes);
    TResult result;
    THiltPush app("hiltpush", {"-s"});
    testing::internal::CaptureStdout();
    Action(app);
    result.Out = testing::internal::GetCapturedStdout();
    // Lines end in "\n" here on every platform: on Windows the capture
    // reads its file back as text, which turns each "\r\n" into "\n".
    result.ExitCode = app.ExitCode();
    return result;
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
    const TResult result =
        Run([&](THiltPush& App) { App.SendFile("COM7", ResolveUploadFile(path, App.ExeName())); });
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return result;
}

} // namespace hp::test
