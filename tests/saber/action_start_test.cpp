// How the actions start, over a scripted board: the port they open and the
// file they send.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/hiltpush.h"
#include "app/upload_list.h"
#include "fake_saber.h"
#include "runtime/platform_error.h"

namespace hp::test {
namespace {

// A port that verified but cannot be opened again by the action (another
// program took it in between, it was unplugged): every action says why on
// standard error, as the verification does.
TEST(ActionStart, EveryActionSaysWhyItsPortCouldNotBeOpened)
{
    const std::vector<std::pair<std::string, std::function<void(THiltPush&)>>> actions = {
        {"erase", [](THiltPush& App) { App.DoErase("COM7"); }},
        {"info", [](THiltPush& App) { App.SaberInfo("COM7"); }},
        {"list", [](THiltPush& App) { App.ListFiles("COM7"); }},
        {"transmit", [](THiltPush& App) { App.Transmit("COM7", "V?"); }},
        {"verify", [](THiltPush& App) { App.VerifyPort("COM7"); }},
    };
    constexpr int Busy = 16;
    // The fake device names the path it opened "<name>#<COM number>".
    const std::string reason = "hiltpush: COM7#6: " + rt::PlatformErrorText(Busy);
    const auto check = [&](const std::string& Action, const std::string& Err) {
        EXPECT_EQ(Err.rfind(reason + "\n", 0), 0u) << Action << ":\n" << Err;
    };
    for (const auto& [name, action] : actions) {
        TFakeSaber board;
        board.Dev->OpenError = Busy;
        testing::internal::CaptureStderr();
        board.Run(action);
        check(name, testing::internal::GetCapturedStderr());
    }
    TFakeSaber board;
    board.Dev->OpenError = Busy;
    testing::internal::CaptureStderr();
    const auto r = board.Upload("song.wav", "RIFF");
    check("upload", testing::internal::GetCapturedStderr());
    EXPECT_TRUE(r.HasLine("Saber Not Ready to Write File, aborting.")) << r.Out;
    EXPECT_EQ(r.ExitCode, 2);
}

// The upload sends the file its run's check found, at that path, whatever
// the name as given would find now.
TEST(ActionStart, TheUploadSendsTheFileTheCheckFound)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / "hp_action_start_found";
    fs::create_directories(dir);
    std::ofstream(dir / "found.wav", std::ios::binary) << "found";
    std::ofstream(dir / "other.wav", std::ios::binary) << "another file";
    TUploadFile file = ResolveUploadFile((dir / "found.wav").string(), "");
    file.Given = (dir / "other.wav").string();
    TFakeSaber board;
    const auto r = board.Run([&](THiltPush& App) { App.SendFile("COM7", file); });
    fs::remove_all(dir);
    EXPECT_EQ(r.ExitCode, 0) << r.Out;
    EXPECT_EQ(board.Stored, "found");
    EXPECT_EQ(board.Commands.back(), "WR=found.wav,5");
}

} // namespace
} // namespace hp::test
