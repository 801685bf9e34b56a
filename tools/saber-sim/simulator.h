// The event loop that joins the pseudo-terminal, the board and the clock.
#pragma once

#include <memory>
#include <string>

#include "board.h"
#include "flash.h"
#include "options.h"
#include "port_announcement.h"
#include "pseudo_terminal.h"
#include "wire_log.h"

namespace hp::sim {

class TSimulator {
public:
    // Sets everything up (flash, terminal, device map or Wine registration);
    // throws std::runtime_error when any of it fails. `stopFd` becomes
    // readable when the simulator is asked to stop (a signalfd).
    TSimulator(const SimOptions& options, int stopFd);
    ~TSimulator();

    const std::string& PortPath() const { return FPty.SlavePath(); }
    const std::string& FlashDir() const { return FFlash.Dir(); }

    // Serves until a stop signal, a hang-up, or the end of --exit-after-upload.
    void Run();

private:
    void Report(int level, const std::string& text);
    void HandlePortEvents();
    void HostLeft();
    void SetLineRate(std::int64_t rate);
    void ReadFromHost();
    void CollectOutput();
    void WriteToHost();
    void RefillTokens(Clock::time_point now);
    std::size_t RateAllowance() const;   // what --line-rate lets in now
    std::size_t ReadAllowance() const;   // that, and no further than a stall

    const SimOptions& FOptions;
    int FStopFd;
    TWireLog FLog;
    TFlash FFlash;
    TPseudoTerminal FPty;
    TBoard FBoard;
    std::unique_ptr<TDeviceMapEntry> FDeviceMap;
    std::unique_ptr<TWineRegistration> FWine;

    int FHostOpens = 0;
    std::string FOutQueue;
    std::size_t FOutDone = 0;
    bool FFinished = false;

    // --line-rate (or this session's under --chaos): a token bucket of bytes
    // that may be taken in.
    std::int64_t FRate = 0;
    double FTokens = 0;
    double FBucket = 0;   // capacity
    double FChunk = 0;    // least amount worth a wake-up
    Clock::time_point FRefilled{};
};

}  // namespace hp::sim
