#pragma once
// Both ends of a serial line as a test holds them, on real pseudo-terminals.
//
//   TTerminalEnd  a descriptor with bounded writes and reads that end on
//                 bytes or a hang-up, never on a guessed sleep
//   TPtyFarEnd    a fresh raw pseudo-terminal: the test plays the device on
//                 its master side, the program under test opens SlavePath()
//   OpenRawPort   a port path opened raw as a host program opens it, for
//                 tests that play the host against a simulated board
//
// Shared by the serial object's tests, the simulator's, the end-to-end tests
// and any rig that drives a real line: no test framework in here, every
// failure is a return value.
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace hp::test {

using Ms = std::chrono::milliseconds;

class TTerminalEnd {
public:
    // Takes ownership of Fd (made non-blocking and close-on-exec).
    explicit TTerminalEnd(int Fd = -1);
    virtual ~TTerminalEnd();
    TTerminalEnd(const TTerminalEnd&) = delete;
    TTerminalEnd& operator=(const TTerminalEnd&) = delete;

    int Fd() const { return FFd; }

    // Writes everything; false when the line failed (hung up) or did not take
    // the bytes within Timeout.
    bool Write(const std::string& Bytes, Ms Timeout = Ms(10000));
    // The next line without its LF, or nothing when no LF came in Timeout.
    std::optional<std::string> ReadLine(Ms Timeout = Ms(5000));
    // Exactly Count bytes, or nothing when they did not all come in time.
    std::optional<std::string> ReadExactly(std::size_t Count, Ms Timeout = Ms(5000));
    // Everything that arrives within Window (for checks that nothing comes).
    std::string ReadFor(Ms Window);
    // Everything that arrives until the line stays silent for Silence.
    std::string ReadAvailable(Ms Silence = Ms(0));
    // True once the line reports a hang-up (EIO, end of file or POLLHUP)
    // within Timeout.
    bool WaitHangUp(Ms Timeout);
    // Closes the descriptor (idempotent).
    void Close();

protected:
    void Adopt(int Fd);

private:
    bool Fill(std::chrono::steady_clock::time_point Deadline);

    int FFd = -1;
    std::string FPending;
    bool FHungUp = false;
};

class TPtyFarEnd : public TTerminalEnd {
public:
    // Throws std::runtime_error when no pseudo-terminal can be made.
    TPtyFarEnd();
    ~TPtyFarEnd() override;

    // The path the program under test opens.
    const std::string& SlavePath() const { return FSlavePath; }
    // A descriptor of the slave kept by the test, to look at the line
    // settings and the input queue the port sees. Keeping it open also
    // means the far end never sees a hang-up when the port is closed.
    int SlaveFd() const { return FSlave; }
    int MasterFd() const { return Fd(); }
    // Hangs up: closes the master side, as an unplugged device vanishes.
    void HangUp() { Close(); }

private:
    int FSlave = -1;
    std::string FSlavePath;
};

// Opens Path as hiltpush opens a port: raw, no controlling terminal, input
// and output purged unless Purge is false; returns the descriptor for a
// TTerminalEnd. Throws std::runtime_error when it cannot be opened.
int OpenRawPort(const std::string& Path, bool Purge = true);

// Milliseconds spent by a callable, and the CPU time the calling thread used.
struct TTimed {
    long long WallMs = 0;
    long long CpuMs = 0;
};

long long ThreadCpuMicroseconds();

template <typename F>
TTimed TimeIt(F&& Fn)
{
    const auto start = std::chrono::steady_clock::now();
    const long long cpu = ThreadCpuMicroseconds();
    Fn();
    TTimed t;
    t.WallMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    t.CpuMs = (ThreadCpuMicroseconds() - cpu) / 1000;
    return t;
}

// How late a loaded machine (two CPU hogs on two cores, a sanitizer build)
// may wake a waiting thread. Upper bounds on wall time are hang guards: the
// expected time plus this, never a band around the expected time.
constexpr long long LoadSlackMs = 5000;

} // namespace hp::test
