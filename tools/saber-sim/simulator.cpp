#include "simulator.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "text_escape.h"

namespace hp::sim {
namespace {

// Bytes read from the host in one go when no line rate holds them back.
constexpr std::size_t ReadBlock = 65536;

}  // namespace

TSimulator::TSimulator(const SimOptions& options, int stopFd)
    : FOptions(options),
      FStopFd(stopFd),
      FLog(options.LogFile),
      FFlash(options.FlashDir, options.Free),
      FPty(options.TtyPath),
      FBoard(options, FFlash, [this](int level, const std::string& text) { Report(level, text); }) {
    if (!options.DeviceMapDir.empty()) {
        FDeviceMap = std::make_unique<TDeviceMapEntry>(options.DeviceMapDir, options.Index,
                                                       options.Value.value_or(FPty.SlavePath()));
        Report(1, "device map entry " + FDeviceMap->Path());
    } else if (!options.WinePrefix.empty()) {
        const std::string com = "COM" + std::to_string(options.ComNumber);
        FWine = std::make_unique<TWineRegistration>(options.WinePrefix, options.ComNumber, options.Index,
                                                    options.Value.value_or(com), FPty.SlavePath());
        Report(1, com + " and " + DeviceValueName(options.Index) + " registered in " + options.WinePrefix);
    }
    SetLineRate(options.LineRate);
    FLog.Event("start " + FPty.SlavePath());
    if (FPty.IsDevice()) {
        // A device does not tell when the host opens it: the host is
        // taken to be there all along.
        FHostOpens = 1;
        FBoard.OnOpen(Clock::now());
        SetLineRate(FBoard.LineRate());
    }
}

void TSimulator::SetLineRate(std::int64_t rate) {
    FRate = rate;
    if (rate <= 0) return;
    // Wake up about every 10 ms at most; never let more than 20 ms worth
    // of bytes in at once.
    FChunk = std::max(1.0, std::floor(static_cast<double>(rate) / 100));
    FBucket = std::max(1.0, std::floor(static_cast<double>(rate) / 50));
    FTokens = FBucket;
    FRefilled = Clock::now();
}

TSimulator::~TSimulator() {
    FLog.Event("stop");
}

void TSimulator::Report(int level, const std::string& text) {
    FLog.Event(text);
    if (level <= FOptions.Verbosity) std::fprintf(stderr, "saber-sim: %s\n", text.c_str());
}

void TSimulator::HandlePortEvents() {
    for (const auto event : FPty.TakePortEvents()) {
        switch (event) {
        case TPseudoTerminal::PortEvent::Open:
            if (++FHostOpens == 1) {
                Report(1, "port opened");
                FBoard.OnOpen(Clock::now());
                SetLineRate(FBoard.LineRate());
            }
            break;
        case TPseudoTerminal::PortEvent::Close:
            if (FHostOpens == 0 || --FHostOpens > 0) break;
            {
                // The host's closing purge must not pass for the purge that
                // follows its next open.
                const int stale = FPty.DiscardPendingStatus();
                if (stale) Report(2, "stale purge dropped (" + std::to_string(stale) + ")");
            }
            FPty.Reset();
            HostLeft();
            break;
        case TPseudoTerminal::PortEvent::Lost:
            Report(0, "warning: some opens or closes of the port were missed");
            break;
        }
    }
}

void TSimulator::HostLeft() {
    FHostOpens = 0;
    FOutQueue.clear();
    FOutDone = 0;
    FBoard.OnClose();
    Report(1, "port closed");
    if (FOptions.ExitAfterUpload && FBoard.StoredUploads() > 0) {
        Report(0, "upload stored and port closed: exiting");
        FFinished = true;
    }
}

void TSimulator::RefillTokens(Clock::time_point now) {
    if (FRate <= 0) return;
    const double seconds = std::chrono::duration<double>(now - FRefilled).count();
    FRefilled = now;
    FTokens = std::min(FBucket, FTokens + seconds * static_cast<double>(FRate));
}

std::size_t TSimulator::RateAllowance() const {
    if (FRate <= 0) return ReadBlock;
    if (FTokens < FChunk) return 0;
    return static_cast<std::size_t>(FTokens);
}

std::size_t TSimulator::ReadAllowance() const {
    const std::size_t allowance = RateAllowance();
    const auto limit = FBoard.TakeLimit();
    return limit ? std::min(allowance, static_cast<std::size_t>(*limit)) : allowance;
}

void TSimulator::ReadFromHost() {
    const std::size_t allowance = ReadAllowance();
    // A purge status is fetched with a one-byte read even when no data may
    // be taken in yet; in packet mode the status comes before any data.
    const auto result = FPty.Read(allowance > 0 ? allowance : 1);
    switch (result.What) {
    case TPseudoTerminal::ReadResult::Nothing:
        break;
    case TPseudoTerminal::ReadResult::Status: {
        const bool input = result.Flags & TIOCPKT_FLUSHREAD;
        const bool output = result.Flags & TIOCPKT_FLUSHWRITE;
        if (input || output)
            Report(2, std::string("purge by the host:") + (input ? " its input" : "") + (output ? " its output" : ""));
        FBoard.OnHostPurge(input, output, Clock::now());
        break;
    }
    case TPseudoTerminal::ReadResult::Data:
        FLog.Received(result.Bytes);
        if (FRate > 0) FTokens -= static_cast<double>(result.Bytes.size());
        // A host's open is queued by the time its bytes can be read, but may
        // not have been taken yet (the host runs on the other processor,
        // say): its first command is no leftover.
        if (FHostOpens == 0) HandlePortEvents();
        if (FHostOpens == 0) {
            // Left over from a host that has gone: its purge does not always
            // catch bytes already on their way. They must not become the
            // start of the next host's first command.
            Report(2, "dropped " + std::to_string(result.Bytes.size()) + " bytes: nobody has the port open");
            break;
        }
        FBoard.OnBytes(result.Bytes.data(), result.Bytes.size(), Clock::now());
        break;
    case TPseudoTerminal::ReadResult::HungUp:
        if (FPty.IsDevice()) {
            // The gadget was unbound or removed: this device is gone for good.
            Report(0, "the device went away");
            FFinished = true;
            break;
        }
        // Someone hung the terminal up (it became a controlling terminal and
        // its session ended, say). Take a fresh hold of it.
        Report(0, "the terminal was hung up; reopening it");
        if (FHostOpens > 0) HostLeft();
        if (!FPty.RearmKeeper()) throw std::runtime_error("cannot reopen " + FPty.SlavePath());
        break;
    }
}

void TSimulator::CollectOutput() {
    std::string out = FBoard.TakeOutput();
    if (out.empty()) return;
    if (FHostOpens == 0) {
        // Nobody has the port open: the bytes go nowhere, as on a real line.
        Report(2, "dropped " + std::to_string(out.size()) + " bytes: the port is closed");
        return;
    }
    if (FOutDone > 0 && FOutDone * 2 > FOutQueue.size()) {
        FOutQueue.erase(0, FOutDone);
        FOutDone = 0;
    }
    FOutQueue += out;
}

void TSimulator::WriteToHost() {
    while (FOutDone < FOutQueue.size()) {
        const long n = FPty.Write(FOutQueue.data() + FOutDone, FOutQueue.size() - FOutDone);
        if (n <= 0) {
            if (n < 0) {
                Report(0, std::string("write to the port failed: ") + std::strerror(errno));
                FOutQueue.clear();
                FOutDone = 0;
            }
            return;
        }
        FLog.Sent(FOutQueue.substr(FOutDone, static_cast<std::size_t>(n)));
        FOutDone += static_cast<std::size_t>(n);
    }
    FOutQueue.clear();
    FOutDone = 0;
}

void TSimulator::Run() {
    while (!FFinished) {
        HandlePortEvents();
        const auto now = Clock::now();
        RefillTokens(now);
        FBoard.OnTimer(now);
        CollectOutput();
        WriteToHost();
        if (FBoard.HangUpRequested()) {
            FPty.HangUp();
            Report(1, "line closed");
            return;
        }
        if (FFinished) return;

        // Sleep until the host does something, the board's clock runs out,
        // the line rate lets more bytes in, or a stop signal comes.
        int timeout = -1;
        auto wakeAt = [&](Clock::time_point when) {
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
            const int wait = static_cast<int>(std::clamp<long long>(ms, 0, 60000));
            timeout = timeout < 0 ? wait : std::min(timeout, wait);
        };
        if (const auto due = FBoard.NextDeadline()) wakeAt(*due);
        const bool mayRead = ReadAllowance() > 0;
        if (RateAllowance() == 0) {
            const double missing = FChunk - FTokens;
            wakeAt(now + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double>(missing / static_cast<double>(FRate))));
        }

        pollfd fds[3] = {{FStopFd, POLLIN, 0}, {FPty.WatchFd(), POLLIN, 0}, {FPty.MasterFd(), POLLPRI, 0}};
        if (mayRead) fds[2].events |= POLLIN;
        if (FOutDone < FOutQueue.size()) fds[2].events |= POLLOUT;
        const int ready = ::poll(fds, 3, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error(std::string("poll failed: ") + std::strerror(errno));
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(FStopFd, &info, sizeof info) == sizeof info)
                Report(1, std::string("stopped by ") + ::strsignal(static_cast<int>(info.ssi_signo)));
            return;
        }
        // Opens before bytes: the open of the host that wrote them has
        // always happened by the time its bytes can be read.
        HandlePortEvents();
        if (fds[2].revents & (POLLIN | POLLPRI | POLLHUP | POLLERR)) ReadFromHost();
    }
}

}  // namespace hp::sim
