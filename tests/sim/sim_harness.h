// Drives saber-sim from a test: starts it, plays the host on its
// pseudo-terminal, and reads its wire log. Every wait has a deadline and
// ends on bytes or events, never on a guessed sleep.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "pty_far_end.h"

namespace simtest {

using hp::test::Ms;

// A fresh folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return FPath; }
    std::string operator/(const std::string& name) const { return FPath + "/" + name; }

private:
    std::string FPath;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);

// One saber-sim process. The constructor returns once the simulator printed
// its port (it is then serving); the destructor stops it if it still runs.
class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& args);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    const std::string& Port() const { return FPort; }
    // The exit status once the process ended within `timeout`, else nothing.
    std::optional<int> WaitExit(Ms timeout);
    // SIGTERM, then the exit status (nothing when it did not end in 10 s).
    std::optional<int> Stop();
    std::string Stderr() const;

private:
    int FPid = -1;
    int FPidFd = -1;
    std::optional<int> FStatus;
    std::string FPort;
    std::string FStderrPath;
};

// The host's side of the line: the pseudo-terminal's slave, raw, as hiltpush
// opens it (no controlling terminal, purged after the open).
class HostPort : public hp::test::TTerminalEnd {
public:
    explicit HostPort(const std::string& path, bool purge = true);
    // Purge like the serial object does before it closes, then close.
    void Close(bool purge = true);
};

struct LogLine {
    double Seconds = 0;
    std::string Kind;   // RX, TX or EV
    std::string Bytes;  // RX/TX: the decoded hex field
    std::string Text;   // EV: the rest of the line
};

std::vector<LogLine> ParseLog(const std::string& path);
std::string AllBytes(const std::vector<LogLine>& log, const std::string& kind);

// Waits (inotify on the file, bounded) until the log holds at least `count`
// lines of `kind` whose text (EV) or bytes (RX, TX) contain `text`.
bool WaitForLog(const std::string& path, const std::string& kind, const std::string& text, int count = 1,
                Ms timeout = Ms(5000));

}  // namespace simtest
