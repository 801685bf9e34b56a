#pragma once
// A pseudo-terminal whose master side the test plays as the far end of a
// serial line: the object under test opens the slave path as its port.
#include <chrono>
#include <string>

namespace hp::test {

class TPtyFarEnd {
public:
    TPtyFarEnd();
    ~TPtyFarEnd();
    TPtyFarEnd(const TPtyFarEnd&) = delete;
    TPtyFarEnd& operator=(const TPtyFarEnd&) = delete;

    // The path the port opens.
    const std::string& SlavePath() const { return FSlavePath; }
    // A descriptor of the slave kept by the test, to look at the line
    // settings and the input queue the port sees.
    int SlaveFd() const { return FSlave; }
    int MasterFd() const { return FMaster; }

    // Sends bytes to the port.
    void Write(const std::string& Bytes);
    // Reads exactly Count bytes from the port, failing the test after Limit.
    std::string ReadExactly(std::size_t Count, std::chrono::milliseconds Limit = std::chrono::seconds(5));
    // Everything the port wrote that arrives within Limit of silence.
    std::string ReadAvailable(std::chrono::milliseconds Limit = std::chrono::milliseconds(0));
    // Hangs up: closes the master side, as an unplugged device would vanish.
    void HangUp();

private:
    int FMaster = -1;
    int FSlave = -1;
    std::string FSlavePath;
};

// Milliseconds spent by a callable, and the CPU time the calling thread used.
struct TTimed {
    long long WallMs = 0;
    long long CpuMs = 0;
};

template <typename F>
TTimed TimeIt(F&& Fn);

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

} // namespace hp::test
