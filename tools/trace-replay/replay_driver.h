#pragma once
// A Windows comm driver that answers each call of the program from a trace,
// in order, on a virtual clock that moves as the trace's stamps did. A call
// the trace does not answer means that the program took another road than
// the recorded run: that is reported with both sides, and the replay ends.
#include "serialport/comm_backend.h"
#include "trace_reader.h"

#include <cstdint>
#include <string>
#include <vector>

namespace hp::replay {

// The virtual clock of the replay (replay_seams.cpp).
std::uint64_t ClockNow();
void ClockAtLeast(std::uint64_t Ms);

// Exit status of a replay whose program took another road.
constexpr int DivergedStatus = 3;

class TReplay {
public:
    // Plays Run from the clock's present time, which stands for the
    // trace's stamp 0.
    explicit TReplay(const TTraceRun& Run);

    // The next call of the trace: it must be Call with arguments that begin
    // with Args ("*" matches any); Asked is how the program's call is shown
    // when it is not. The clock moves to the call's stamp.
    const TTraceCall& Next(const std::string& Asked, const std::string& Call,
                           const std::vector<std::string>& Args = {});

    // The upload's byte loop, a one-byte write and a status query, within a
    // "writes N" line: true when the call was answered from it.
    bool WriteInRun();
    bool StatusInRun();

    // At the end of the run: the trace must be done too.
    void Finish();

    [[noreturn]] void Diverge(const std::string& Asked, const std::string& Held);

private:
    const TTraceRun& FRun;
    std::size_t FNext = 0;
    std::uint64_t FBase;
    std::uint64_t FLastStamp = 0;
    int FRunLeft = 0;        // one-byte writes of the current "writes" line still to come
    int FRunLength = 0;
    bool FRunWrote = false;  // the run's last write still waits for its status query
};

// The driver the comm backend runs over in a replay.
class TReplayComm {
public:
    explicit TReplayComm(TReplay& R) : R(R) {}

    int Open(const std::string& Path);
    void Setup(int RecvQueueSize);
    bool IsOpen() const { return FOpen; }
    std::uint64_t Handle() const { return FOpen ? 1 : ~std::uint64_t{0}; }
    void Close();
    int GetLineSettings(TSerialLineSettings&);
    int SetLineSettings(const TSerialLineSettings&);
    int SetRTS(bool Value);
    int SetDTR(bool Value);
    int ModemStatus(std::uint32_t& Word);
    int Purge(unsigned Flags);
    int SetReadTimeouts(int Within);
    int FlushBuffers();
    TCommStatus Status();
    TCommEvent ArmWait();
    bool AwaitWait(int Timeout);
    TCommEvent EndWait();
    TCommTransfer Transfer(void* Buffer, int Length, int DeadlockTimeout, bool Writing);

private:
    int Error(const std::string& Asked, const std::string& Call, const std::vector<std::string>& Args = {});

    TReplay& R;
    bool FOpen = false;
};

} // namespace hp::replay
