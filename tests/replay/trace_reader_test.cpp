// The trace as the recorder writes it and the replay reads it back: every
// answer of the driver, the upload's byte loop folded into lines of 4096,
// comes back the same, call for call.
#include "replay_driver.h"
#include "serialport/comm_recorder.h"
#include "trace_reader.h"

#include <sstream>

#include <gtest/gtest.h>

namespace hp::replay {

namespace {
std::uint64_t GNow = 0;
std::string GTrace;

void Sink(std::string_view Line)
{
    GTrace += "hiltpush: trace " + std::to_string(GNow) + " " + std::string(Line) + "\r\n";
}

// A driver whose answers are told by the test, one call after another.
struct TTold {
    int Error = 0;
    TCommStatus Status{};
    std::string Read;
};
struct TToldComm {
    TTold* T;
    int Open(const std::string&) { return T->Error; }
    void Setup(int) {}
    bool IsOpen() const { return true; }
    std::uint64_t Handle() const { return 1; }
    void Close() {}
    int GetLineSettings(TSerialLineSettings&) { return T->Error; }
    int SetLineSettings(const TSerialLineSettings&) { return T->Error; }
    int SetRTS(bool) { return T->Error; }
    int SetDTR(bool) { return T->Error; }
    int ModemStatus(std::uint32_t& W) { return W = 0x30, T->Error; }
    int Purge(unsigned) { return T->Error; }
    int SetReadTimeouts(int) { return T->Error; }
    int FlushBuffers() { return T->Error; }
    TCommStatus Status() { return T->Status; }
    TCommEvent ArmWait() { return {T->Error == 0, 0x4, T->Error}; }
    bool AwaitWait(int) { return T->Error == 0; }
    TCommEvent EndWait() { return {false, 0x1, T->Error, 5}; }
    TCommTransfer Transfer(void* B, int L, int, bool W)
    {
        if (W)
            return {T->Error ? 0 : L, T->Error, false};
        T->Read.copy(static_cast<char*>(B), static_cast<std::size_t>(L));
        return {static_cast<int>(std::min<std::size_t>(T->Read.size(), static_cast<std::size_t>(L))), T->Error, true};
    }
};
} // namespace

std::uint64_t ClockNow() { return GNow; }
void ClockAtLeast(std::uint64_t Ms) { GNow = std::max(GNow, Ms); }

namespace {

// The calls of a run, made on any driver: what each answered, as text.
template <class TDriver>
std::string Play(TDriver& D, TTold& T)
{
    std::ostringstream said;
    const auto write = [&](const char* Bytes, int Length) {
        const TCommTransfer t = D.Transfer(const_cast<char*>(Bytes), Length, 30000, true);
        return "w" + std::to_string(t.Count) + "/" + std::to_string(t.Error) + " ";
    };
    const auto status = [&] {
        const TCommStatus s = D.Status();
        return "s" + std::to_string(s.Error) + "/" + std::to_string(s.LineErrors) + "/" + std::to_string(s.InQueue) +
               "/" + std::to_string(s.OutQueue) + " ";
    };
    said << D.Open("\\\\.\\COM3 \"x\"") << " ";
    std::uint32_t word = 0;
    said << D.ModemStatus(word) << "/" << word << " ";
    T.Status = {0, 0, 2, 0};
    said << status();
    TCommEvent e = D.ArmWait();
    said << e.Pending << D.AwaitWait(450);
    e = D.EndWait();
    said << "e" << e.Mask << "/" << e.Error << "/" << e.EndError << " ";
    T.Read = std::string("OK\n\\x41\"\x1b", 8);
    char buffer[16] = {};
    const TCommTransfer r = D.Transfer(buffer, 16, 450, false);
    said << "r" << r.Count << "/" << r.Aborted << "/" << std::string(buffer, static_cast<std::size_t>(r.Count)) << " ";
    // The byte loop: 5000 bytes, a framing error after the 4100th; only
    // answers other than those of a byte that went are told.
    T.Status = {};
    for (int i = 0; i < 5000; ++i) {
        GNow += i % 50 == 0;
        T.Status.LineErrors = i == 4099 ? ceFrame : 0;
        std::string pair = write("\xA5", 1);
        pair += status();
        if (pair != "w1/0 s0/0/0/0 ")
            said << i << ":" << pair;
    }
    said << write("V?\n", 3);
    T.Error = 31;
    said << write("x", 1) << status();
    return said.str();
}

TEST(TraceReplay, TheRecordedAnswersComeBackCallForCall)
{
    TTold told;
    GTrace = "hiltpush: trace 0 hiltpush 0.1.0.19 on windows with \"-s\" \"a b.wav\" \"\\x5C\"\r\n";
    std::string recorded;
    {
        TCommRecorder<TToldComm> recorder(&Sink, &told);
        recorded = Play(recorder, told);
    }
    GTrace += "hiltpush: trace 9 exit status 2\r\nhiltpush: trace 0 hiltpush 0.1.0.19 on windows with\r\n";
    std::istringstream in(GTrace);
    const TTraceRun run = ReadTrace(in);
    EXPECT_EQ(run.Params, (std::vector<std::string>{"-s", "a b.wav", "\\"}));
    EXPECT_EQ(run.ExitStatus, 2);
    // 4100 pairs went as they should, then the framing error is a line of
    // its own, and the rest again in one.
    std::string writes;
    for (const TTraceCall& c : run.Calls)
        if (c.Call == "writes" || c.Call == "write")
            writes += c.Call + " " + c.Args.at(0) + ", ";
    EXPECT_EQ(writes, "writes 4096, writes 3, write 1, writes 900, write 3, write 1, ");

    GNow = 0;
    TReplay replay(run);
    TReplayComm replayed(replay);
    told = {};
    EXPECT_EQ(Play(replayed, told), recorded);
    replay.Finish();
    EXPECT_GT(GNow, 90u) << "the clock follows the stamps";

    std::istringstream second(GTrace);
    EXPECT_TRUE(ReadTrace(second, 2).Params.empty());
    std::istringstream third(GTrace);
    EXPECT_THROW(ReadTrace(third, 3), ETraceError);
    EXPECT_THROW(Unquote("\"\\x4\""), ETraceError);
}

} // namespace
} // namespace hp::replay
