// Native far end for the Win32 serial tests under Wine.
//
//     serial_wine_harness <Scenario> <serial_wine_test.exe>
//
// Creates a pseudo-terminal, links a free COM<n> of $WINEPREFIX to it, runs the
// Windows test program for the one scenario under wine with HP_TEST_PORT=COM<n>
// and plays the device for it. Steps are synchronised on bytes: the serial
// line itself, the "@word" lines the program prints, and lines the harness
// writes to its standard input. Exit status 0 when both sides passed.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

// The whole scenario, Wine's start included, must end within this.
constexpr auto ScenarioLimit = 90s;

struct THarnessError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& What)
{
    throw THarnessError(What);
}

int MsLeft(TClock::time_point Deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

class TRun {
public:
    TRun(std::string Scenario, std::string Exe) : FScenario(std::move(Scenario)), FExe(std::move(Exe)) {}
    ~TRun()
    {
        if (FChild > 0) {
            kill(FChild, SIGKILL);
            waitpid(FChild, nullptr, 0);
        }
        if (!FLink.empty())
            unlink(FLink.c_str());
        for (int fd : {FMaster, FSlave, FToChild, FFromChild})
            if (fd >= 0)
                close(fd);
    }

    int Run()
    {
        FDeadline = TClock::now() + ScenarioLimit;
        OpenTerminal();
        LinkComPort();
        Launch();
        Play();
        return Finish();
    }

private:
    void OpenTerminal()
    {
        termios raw{};
        cfmakeraw(&raw);
        char name[256] = {};
        if (openpty(&FMaster, &FSlave, name, &raw, nullptr) != 0)
            Fail(std::string("openpty: ") + std::strerror(errno));
        FSlavePath = name;
        fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
        fcntl(FMaster, F_SETFD, FD_CLOEXEC);
        fcntl(FSlave, F_SETFD, FD_CLOEXEC);
    }

    void LinkComPort()
    {
        const char* prefix = std::getenv("WINEPREFIX");
        if (!prefix || !*prefix)
            Fail("WINEPREFIX is not set (run through the wine fixture)");
        // Parallel runs share the prefix: take the first COM number whose
        // link does not exist yet.
        for (int n = 10 + getpid() % 100; n < 255; ++n) {
            const std::string link = std::string(prefix) + "/dosdevices/com" + std::to_string(n);
            if (symlink(FSlavePath.c_str(), link.c_str()) == 0) {
                FLink = link;
                FPort = "COM" + std::to_string(n);
                return;
            }
            if (errno != EEXIST)
                Fail("cannot link " + link + ": " + std::strerror(errno));
        }
        Fail("no free COM number in the prefix");
    }

    void Launch()
    {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            Fail("pipe");
        FChild = fork();
        if (FChild < 0)
            Fail("fork");
        if (FChild == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(out[1], 2);
            setenv("HP_TEST_PORT", FPort.c_str(), 1);
            const std::string filter = "--gtest_filter=WineSerial." + FScenario;
            execlp("wine", "wine", FExe.c_str(), filter.c_str(), static_cast<char*>(nullptr));
            std::perror("exec wine");
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        FToChild = in[1];
        FFromChild = out[0];
        std::cout << "harness: " << FScenario << " on " << FPort << " -> " << FSlavePath << std::endl;
    }

    // Reads the program's output up to the line "@Word", echoing everything.
    void Await(const std::string& Word)
    {
        for (;;) {
            if (TakeLine(Word))
                return;
            if (!ReadOutput(FDeadline))
                Fail("the test program ended before it reached @" + Word);
        }
    }

    // Echoes the complete lines of output gathered so far; true once the line
    // "@Word" was among them.
    bool TakeLine(const std::string& Word)
    {
        for (;;) {
            const std::size_t eol = FOutput.find('\n');
            if (eol == std::string::npos)
                return false;
            std::string line = FOutput.substr(0, eol);
            FOutput.erase(0, eol + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            std::cout << "  | " << line << std::endl;
            if (line == "[  PASSED  ] 1 test.")
                FPassed = true;
            if (!Word.empty() && line == "@" + Word)
                return true;
        }
    }

    // One read of the program's output, waiting until Until; false at its end.
    bool ReadOutput(TClock::time_point Until)
    {
        pollfd p{FFromChild, POLLIN, 0};
        const int r = poll(&p, 1, MsLeft(Until));
        if (r == 0) {
            if (Until >= FDeadline)
                Fail("time limit reached");
            return true;
        }
        char buffer[4096];
        const ssize_t n = read(FFromChild, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        FOutput.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    void Tell(const std::string& Line)
    {
        const std::string text = Line + "\n";
        if (write(FToChild, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            Fail("cannot talk to the test program");
    }

    void Send(const std::string& Bytes)
    {
        std::size_t done = 0;
        while (done < Bytes.size()) {
            const ssize_t n = write(FMaster, Bytes.data() + done, Bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                Fail(std::string("write to the port: ") + std::strerror(errno));
            pollfd p{FMaster, POLLOUT, 0};
            if (poll(&p, 1, MsLeft(FDeadline)) == 0)
                Fail("the port does not take bytes");
        }
    }

    std::string Receive(std::size_t Count)
    {
        std::string got;
        char buffer[4096];
        while (got.size() < Count) {
            // Follow the program's output meanwhile: a program that failed
            // early must end the wait, not the time limit.
            pollfd p[2] = {{FMaster, POLLIN, 0}, {FFromChild, POLLIN, 0}};
            if (poll(p, FChildOutputOpen ? 2 : 1, MsLeft(FDeadline)) == 0)
                Fail("the port sent " + std::to_string(got.size()) + " of " + std::to_string(Count) + " bytes");
            if (FChildOutputOpen && (p[1].revents & (POLLIN | POLLHUP))) {
                FChildOutputOpen = ReadOutput(FDeadline);
                TakeLine("");
                if (!FChildOutputOpen)
                    Fail("the test program ended while the port had sent " + std::to_string(got.size()) + " of "
                         + std::to_string(Count) + " bytes");
            }
            if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = read(FMaster, buffer, std::min(sizeof buffer, Count - got.size()));
            if (n > 0)
                got.append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                Fail("the port's side of the terminal went away");
        }
        return got;
    }

    void Expect(const std::string& Bytes)
    {
        const std::string got = Receive(Bytes.size());
        if (got != Bytes)
            Fail("the port sent other bytes than expected");
    }

    void HangUp()
    {
        close(FMaster);
        FMaster = -1;
    }

    void Play()
    {
        const std::map<std::string, std::function<void()>> scenarios = {
            {"OpenExclusiveAndClose", [&] {
                 Expect("ping\n");
                 Send("pong\n");
                 Expect("bye\n");
                 Tell("bye");
             }},
            {"EveryByteValuePassesUnchanged", [&] {
                 std::string all;
                 for (int i = 0; i < 256; ++i)
                     all.push_back(static_cast<char>(i));
                 Expect(all + all);
                 Send(all + all);
             }},
            {"LinesAndTimeOuts", [&] {
                 Await("lines");
                 Send("A\nB\n");
                 Await("ok");
                 Send("OK\r\n");
                 Await("partial");
                 Send("ABCD");
                 Await("rest");
                 Send("EF\n");
                 Await("bursts");
                 // The gaps shape the line in time; they leave a loaded
                 // machine more than a second inside the silence limit.
                 bool first = true;
                 for (const char* burst : {"he", "ll", "o ", "wor", "ld\n"}) {
                     if (!first)
                         std::this_thread::sleep_for(400ms);
                     first = false;
                     Send(burst);
                 }
             }},
            {"AWriteThatCannotGoOutIsAbortedSafely", [] {}},
            {"HangUpDuringALineRead", [&] {
                 Await("send");
                 Send("AB");
                 Await("taken");
                 HangUp();
             }},
            {"HangUpDuringAByteRead", [&] {
                 Await("waiting");
                 HangUp();
             }},
            {"HangUpBetweenWrites", [&] {
                 Await("sent");
                 Expect("first\n");
                 HangUp();
                 Tell("closed");
             }},
            {"HangUpWhileTheReaderIsLate", [&] {
                 Await("suspended");
                 HangUp();
                 Tell("closed");
             }},
        };
        const auto it = scenarios.find(FScenario);
        if (it == scenarios.end())
            Fail("unknown scenario " + FScenario);
        it->second();
    }

    int Finish()
    {
        while (ReadOutput(FDeadline)) {
        }
        TakeLine("");
        if (!FOutput.empty())
            std::cout << "  | " << FOutput << std::endl;
        // Its output ended; wait for the process itself, bounded.
        const int exited = static_cast<int>(syscall(SYS_pidfd_open, FChild, 0));
        if (exited >= 0) {
            pollfd p{exited, POLLIN, 0};
            const int r = poll(&p, 1, MsLeft(FDeadline));
            close(exited);
            if (r == 0)
                Fail("the test program did not end");
        }
        int status = 0;
        waitpid(FChild, &status, 0);
        FChild = -1;
        // A filter that matched nothing also exits with 0: require the one
        // scenario to have run and passed.
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !FPassed) {
            std::cout << "harness: the test program failed (status " << status << ")" << std::endl;
            return 1;
        }
        return 0;
    }

    std::string FScenario, FExe;
    TClock::time_point FDeadline{};
    int FMaster = -1, FSlave = -1, FToChild = -1, FFromChild = -1;
    std::string FSlavePath, FLink, FPort, FOutput;
    pid_t FChild = -1;
    bool FChildOutputOpen = true;
    bool FPassed = false;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: serial_wine_harness <Scenario> <serial_wine_test.exe>\n";
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    try {
        TRun run(argv[1], argv[2]);
        return run.Run();
    } catch (const std::exception& e) {
        std::cout << "harness: " << e.what() << std::endl;
        return 1;
    }
}
