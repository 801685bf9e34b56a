// The finish prompt on a real terminal: hiltpush runs on a pseudo-terminal
// as its controlling terminal, the test types keys on the far end.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto HardLimit = std::chrono::seconds(10);

std::string HiltPushPath()
{
    const char* path = std::getenv("HP_HILTPUSH");
    return path ? path : "";
}

class TTerminalRun {
public:
    // Starts hiltpush with Args on a new pseudo-terminal; Typeahead is typed
    // before the program starts.
    TTerminalRun(const std::vector<std::string>& Args, const std::string& Typeahead = {})
    {
        termios cooked{};
        cfmakeraw(&cooked);
        cooked.c_iflag |= ICRNL | IXON;
        cooked.c_oflag |= OPOST | ONLCR;
        cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN | ECHOE | ECHOK;
        cooked.c_cc[VINTR] = 3;
        cooked.c_cc[VMIN] = 1;
        if (openpty(&FMaster, &FSlave, nullptr, &cooked, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        if (!Typeahead.empty())
            Type(Typeahead);
        FPid = fork();
        if (FPid == 0) {
            setsid();
            ioctl(FSlave, TIOCSCTTY, 0);
            dup2(FSlave, 0);
            dup2(FSlave, 1);
            dup2(FSlave, 2);
            close(FMaster);
            std::vector<char*> argv;
            std::string exe = HiltPushPath();
            argv.push_back(exe.data());
            std::vector<std::string> copy = Args;
            for (auto& a : copy)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
    }

    ~TTerminalRun()
    {
        if (FPid > 0 && !FReaped) {
            kill(FPid, SIGKILL);
            waitpid(FPid, nullptr, 0);
        }
        close(FMaster);
        close(FSlave);
    }

    void Type(const std::string& Keys) { ASSERT_EQ(write(FMaster, Keys.data(), Keys.size()), static_cast<ssize_t>(Keys.size())); }

    // Reads the program's output until it holds Text.
    bool WaitForOutput(const std::string& Text)
    {
        const auto deadline = Clock::now() + HardLimit;
        while (FOutput.find(Text) == std::string::npos) {
            const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            if (left <= 0)
                return false;
            pollfd p{FMaster, POLLIN, 0};
            if (poll(&p, 1, left) <= 0)
                continue;
            char buf[512];
            const ssize_t n = read(FMaster, buf, sizeof buf);
            if (n <= 0)
                return false;
            FOutput.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }

    termios Settings() const
    {
        termios t{};
        tcgetattr(FMaster, &t);
        return t;
    }

    // The program has switched the terminal to single-key input.
    bool WaitForKeyMode()
    {
        const auto deadline = Clock::now() + HardLimit;
        while (Clock::now() < deadline) {
            if ((Settings().c_lflag & ICANON) == 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

    // The exit status, or -1 when the program is still running after Ms.
    int WaitExit(int Ms)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(Ms);
        for (;;) {
            int status = 0;
            const pid_t r = waitpid(FPid, &status, WNOHANG);
            if (r == FPid) {
                FReaped = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (Clock::now() >= deadline)
                return -1;
            // Drain output so the program never blocks on a full terminal.
            pollfd p{FMaster, POLLIN, 0};
            if (poll(&p, 1, 5) > 0) {
                char buf[512];
                const ssize_t n = read(FMaster, buf, sizeof buf);
                if (n > 0)
                    FOutput.append(buf, static_cast<std::size_t>(n));
            }
        }
    }

    int PendingInput() const
    {
        int n = -1;
        ioctl(FSlave, FIONREAD, &n);
        return n;
    }

    const std::string& Output() const { return FOutput; }

    void Signal(int Sig) { kill(FPid, Sig); }

private:
    int FMaster = -1;
    int FSlave = -1;
    pid_t FPid = -1;
    bool FReaped = false;
    std::string FOutput;
};

void ExpectTerminalRestored(const termios& T)
{
    EXPECT_NE(T.c_lflag & ICANON, 0u) << "line editing not restored";
    EXPECT_NE(T.c_lflag & ECHO, 0u) << "echo not restored";
    EXPECT_NE(T.c_lflag & ISIG, 0u) << "signal keys not restored";
}

TEST(KeyWaitTest, ArrowKeyEndsTheWaitAsOneKeyAndTheTerminalIsRestored)
{
    ASSERT_FALSE(HiltPushPath().empty()) << "HP_HILTPUSH not set";
    TTerminalRun run({"-v"});
    ASSERT_TRUE(run.WaitForOutput("==PRESS ANY KEY TO FINISH==")) << run.Output();
    ASSERT_TRUE(run.WaitForKeyMode());
    EXPECT_EQ(run.Settings().c_lflag & ECHO, 0u);
    run.Type("\x1b[A");
    EXPECT_EQ(run.WaitExit(5000), 0) << run.Output();
    ExpectTerminalRestored(run.Settings());
    // The whole escape sequence was taken: nothing is left for the shell.
    EXPECT_EQ(run.PendingInput(), 0);
}

TEST(KeyWaitTest, KeysTypedBeforeThePromptDoNotEndTheWait)
{
    TTerminalRun run({"-v"}, "xyz");
    ASSERT_TRUE(run.WaitForOutput("==PRESS ANY KEY TO FINISH==")) << run.Output();
    ASSERT_TRUE(run.WaitForKeyMode());
    EXPECT_EQ(run.WaitExit(300), -1) << "the wait ended on a key typed before the prompt";
    run.Type("q");
    EXPECT_EQ(run.WaitExit(5000), 0);
    ExpectTerminalRestored(run.Settings());
}

TEST(KeyWaitTest, CtrlCEndsTheWaitLikeAnyKey)
{
    TTerminalRun run({"-h"});
    ASSERT_TRUE(run.WaitForOutput("==PRESS ANY KEY TO FINISH==")) << run.Output();
    ASSERT_TRUE(run.WaitForKeyMode());
    run.Type("\x03");
    EXPECT_EQ(run.WaitExit(5000), 0) << "Ctrl+C should end the wait, not kill the program";
    ExpectTerminalRestored(run.Settings());
}

// Ctrl+Space and Ctrl+@ send a NUL byte: one key, not the first half of a
// function key waiting for its second.
TEST(KeyWaitTest, NulKeyEndsTheWaitAtOnce)
{
    TTerminalRun run({"-v"});
    ASSERT_TRUE(run.WaitForOutput("==PRESS ANY KEY TO FINISH==")) << run.Output();
    ASSERT_TRUE(run.WaitForKeyMode());
    run.Type(std::string(1, '\0'));
    EXPECT_EQ(run.WaitExit(5000), 0) << "the wait went on after the NUL key";
    ExpectTerminalRestored(run.Settings());
    EXPECT_EQ(run.PendingInput(), 0);
}

TEST(KeyWaitTest, SilentRunNeverTouchesTheTerminal)
{
    TTerminalRun run({"-v", "-s"});
    EXPECT_EQ(run.WaitExit(5000), 0);
    EXPECT_NE(run.Output().find("Original filename: hiltpush.exe"), std::string::npos);
    ExpectTerminalRestored(run.Settings());
}

TEST(KeyWaitTest, TerminationSignalDuringTheWaitRestoresTheTerminal)
{
    TTerminalRun run({"-v"});
    ASSERT_TRUE(run.WaitForOutput("==PRESS ANY KEY TO FINISH==")) << run.Output();
    ASSERT_TRUE(run.WaitForKeyMode());
    // SIGTERM from outside (a closing session, a service manager).
    run.Signal(SIGTERM);
    EXPECT_EQ(run.WaitExit(5000), 128 + SIGTERM);
    ExpectTerminalRestored(run.Settings());
}

} // namespace
