// How long the program waits for the board, and how it sets the line up.
// This program runs on a virtual clock (fake_backend_seam.cpp), so every
// wait is met from both sides exactly: what comes well inside it is taken,
// what comes well after it is not.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <tuple>

#include "app/hiltpush.h"
#include "app/saber/saber_channel.h"
#include "fake_saber.h"
#include "runtime/clock.h"
#include "runtime/console.h"

namespace hp::test {
namespace {

using TResult = TFakeSaber::TResult;
using TStimulus = std::function<void(TFakeSaber&, int Ms)>;

// An action, and a line its run shows when all went well.
struct TAction {
    std::function<TResult(TFakeSaber&)> Act;
    std::string Done;
};

TAction On(std::function<void(THiltPush&)> Action, std::string Done)
{
    return {[Action](TFakeSaber& B) { return B.Run(Action); }, std::move(Done)};
}

constexpr std::int64_t UploadSize = 1000; // small enough that every time estimate reads 0:00:00
const TAction Verify = On([](THiltPush& A) { rt::WriteLine(A.VerifyPort("COM7") ? "verified" : "refused"); },
                          "verified");
const TAction Upload{[](TFakeSaber& B) { return B.Upload("song.wav", std::string(UploadSize, 'u')); },
                     "OK, Write Complete"};
const TAction Info = On([](THiltPush& A) { A.SaberInfo("COM7"); }, "S=0042-5117");
const TAction List = On([](THiltPush& A) { A.ListFiles("COM7"); }, "clash1.wav,45");
const TAction Erase = On([](THiltPush& A) { A.DoErase("COM7"); }, "OK, Erase Complete");

// The reply to Key comes late, whole or byte by byte over the time.
TStimulus Late(const std::string& Key, bool Trickle = false)
{
    return [=](TFakeSaber& B, int Ms) {
        B.Delay[Key] = Ms;
        B.Trickle = Trickle;
    };
}

// After the Nth data byte the device takes no byte (Drain false) or lets no
// byte leave (Drain true) for the time.
TStimulus HeldAfter(std::int64_t N, bool Drain)
{
    return [=](TFakeSaber& B, int Ms) {
        B.OnDataByte = [&B, N, Drain, Ms](std::int64_t Received) {
            if (Received == N)
                (Drain ? B.Dev->OutDrainedAt : B.Dev->WritesHeldUntil) = rt::MonotonicMilliseconds() + Ms;
        };
    };
}

// Lines the board sends unasked, Every ms apart from 5 ms on and the last
// at 5 + Ms; it answers V? 30 ms after it was asked.
TStimulus Unasked(int Every)
{
    return [=](TFakeSaber& B, int Ms) {
        for (int t = 5; t < 5 + Ms + Every; t += Every)
            B.Unasked.push_back({std::min(t, 5 + Ms), "23.5\n"});
        B.Delay["V?"] = 30;
    };
}

struct TCase {
    std::string What;
    const TAction& Action;
    int Limit; // the board's contract, not the program's constant
    TStimulus Stimulus;
};

TEST(TimeOuts, EachWaitTakesWhatComesWellInsideItAndNothingWellAfter)
{
    const std::vector<TCase> cases{
        {"drain, between lines", Verify, 50, Unasked(1000000)},
        {"drain, in all", Verify, 1000, Unasked(20)},
        {"verification V?", Verify, 1500, Late("V?")},
        {"verification S?", Verify, 1500, Late("S?")},
        {"verification WR?", Verify, 1500, Late("WR?")},
        {"verification V?, in all", Verify, 5000, Late("V?", true)},
        {"verification S?, in all", Verify, 5000, Late("S?", true)},
        {"verification WR?, in all", Verify, 5000, Late("WR?", true)},
        {"upload V?", Upload, 500, Late("V?")},
        {"upload S?", Upload, 500, Late("S?")},
        {"upload WR?", Upload, 500, Late("WR?")},
        {"upload FREE?", Upload, 500, Late("FREE?")},
        {"upload WR=", Upload, 2500, Late("WR")},
        {"upload closing reply", Upload, 500, Late("")},
        {"upload write", Upload, 30000, HeldAfter(100, false)},
        {"upload drain of the tail", Upload, 30000, HeldAfter(UploadSize, true)},
        {"info V?", Info, 500, Late("V?")},
        {"info S?", Info, 500, Late("S?")},
        {"list V?", List, 500, Late("V?")},
        {"list LIST?", List, 500, Late("LIST?")},
        {"erase V?", Erase, 500, Late("V?")},
        {"erase S?", Erase, 500, Late("S?")},
        {"erase WR?", Erase, 500, Late("WR?")},
        {"erase ERASE=ALL", Erase, 500, Late("ERASE")},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What + ", " + std::to_string(c.Limit) + " ms");
        const auto outcome = [&](int Ms) {
            TFakeSaber board;
            c.Stimulus(board, Ms);
            const TResult r = c.Action.Act(board);
            return std::make_tuple(r.Out, r.ExitCode, board.Commands, board.Stored);
        };
        const auto prompt = outcome(0);
        ASSERT_TRUE(TResult{std::get<0>(prompt)}.HasLine(c.Action.Done)) << std::get<0>(prompt);
        EXPECT_EQ(outcome(c.Limit * 6 / 10), prompt) << "what came at 60% of the time was missed";
        EXPECT_NE(outcome(c.Limit * 3 / 2), prompt) << "what came at 150% of the time was still waited for";
    }
}

// What a device said before it was asked is no answer: a line cut short, or
// bytes that came with an empty line.
TEST(Verification, WhatTheBoardSaidBeforeTheQuestionsIsForgotten)
{
    for (const std::string early : {"\x01" "boot", "\n\x01" "ld"}) {
        TFakeSaber board;
        board.Unasked = {{5, early}};
        EXPECT_EQ(Verify.Act(board).Out, "verified\n") << early;
        EXPECT_EQ(board.Commands, (std::vector<std::string>{"V?", "S?", "WR?"}));
    }
}

// From the open on: 115200 baud, 8 data bits, no parity, one stop bit, no
// flow control, DTR and RTS raised, nothing left over from before; both
// lines dropped at the close.
TEST(Channel, OpensTheLineAsTheBoardNeedsItAndLetsItGo)
{
    TFakeSaber board;
    auto& dev = *board.Dev;
    dev.Chunks.push_back("V=0.1\n");
    {
        TSaberChannel channel(" COM7:");
        EXPECT_EQ(dev.OpenedPath, "COM7#6");
        EXPECT_EQ(dev.RecvQueueSize, 4096);
        const TSerialLineSettings& s = dev.Settings;
        EXPECT_EQ(std::make_tuple(s.BaudRate, int{s.ByteSize}, int{s.Parity}, int{s.StopBits}, s.Flags),
                  std::make_tuple(115200u, 8, 0, 0, dcb_Binary | dcb_DtrControlEnable | dcb_RtsControlEnable));
        EXPECT_EQ(std::make_tuple(dev.DTR, dev.RTS), std::make_tuple(true, true));
        channel.Command("V?");
        EXPECT_EQ(channel.Reply(500), board.Version);
    }
    EXPECT_EQ(std::make_tuple(dev.Open, dev.DTR, dev.RTS), std::make_tuple(false, false, false));
}

// The estimate is the time left at the pace so far: checked against the
// truth of a board that takes a byte every 20 ms.
TEST(UploadProgress, TheTimeEstimateFollowsThePace)
{
    TFakeSaber board;
    board.Dev->WriteCostMs = 20;
    const TResult r = board.Upload("paced.wav", std::string(3 * 4096 + 1, 'p'));
    ASSERT_EQ(r.ExitCode, 0) << r.Out;
    const std::regex estimate("Remaining, Bytes: (\\d+), Time (\\d+):(\\d\\d):(\\d\\d)");
    int seen = 0;
    for (std::sregex_iterator m(r.Out.begin(), r.Out.end(), estimate), end; m != end; ++m, ++seen) {
        const double truth = std::stod((*m)[1]) * 20 / 1000;
        const double shown = std::stod((*m)[2]) * 3600 + std::stod((*m)[3]) * 60 + std::stod((*m)[4]);
        EXPECT_NEAR(shown, truth, 1 + truth / 10) << m->str();
    }
    EXPECT_EQ(seen, 3) << r.Out;
}

} // namespace
} // namespace hp::test
