// Ctrl+C at the closing key prompt, typed into a real terminal (a tmux
// pane): it ends the wait like any key, the program ends normally, and the
// terminal's settings are the same afterwards as before.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using hp::e2e::Config;
using hp::e2e::TRunResult;
using hp::e2e::TWorld;

namespace {

using TClock = std::chrono::steady_clock;

class TTmux {
public:
    explicit TTmux(const std::string& Dir) : FSocket(Dir + "/tmux.sock"), FDir(Dir) {}
    ~TTmux() { Tmux({"kill-server"}); }
    TTmux(const TTmux&) = delete;
    TTmux& operator=(const TTmux&) = delete;

    TRunResult Tmux(std::vector<std::string> Args, int TimeLimitMs = 10000) const
    {
        Args.insert(Args.begin(), {"tmux", "-f", "/dev/null", "-S", FSocket});
        return hp::e2e::RunProcess(Args, {{"TMUX", ""}}, FDir, TimeLimitMs);
    }

private:
    std::string FSocket;
    std::string FDir;
};

std::string ShellQuote(const std::string& Text)
{
    std::string out = "'";
    for (const char c : Text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string Trimmed(std::string Text)
{
    while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r' || Text.back() == ' '))
        Text.pop_back();
    return Text;
}

} // namespace

TEST(FaultTerminal, CtrlCDuringKeyWaitEndsItAndRestoresTheTerminal)
{
    if (Config().Wine)
        GTEST_SKIP() << "the key wait of the Windows build reads Wine's console, not the terminal";
    TWorld W;
    const std::string dir = W.Dir();
    const std::string fifo = dir + "/pane.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    TTmux tmux(dir);

    // The pane's shell waits for "go" so that nothing the program prints is
    // missed, records the terminal's settings around the program, and says
    // "done" at the end.
    const std::string tmuxCmd = "tmux -f /dev/null -S " + ShellQuote(dir + "/tmux.sock");
    const std::string script = tmuxCmd + " wait-for go; stty -g > before.txt; " + ShellQuote(Config().Hiltpush)
                               + " -h; echo $? > status.txt; stty -g > after.txt; " + tmuxCmd
                               + " wait-for -S done; exec sleep 60";
    ASSERT_EQ(tmux.Tmux({"new-session", "-d", "-s", "t", "-x", "100", "-y", "40", "-c", dir, "sh -c "
                                                                                            + ShellQuote(script)})
                  .ExitStatus,
              0);
    const std::string tty = Trimmed(tmux.Tmux({"display-message", "-p", "-t", "t", "#{pane_tty}"}).Out);
    ASSERT_FALSE(tty.empty());
    ASSERT_EQ(tmux.Tmux({"pipe-pane", "-t", "t", "-o", "cat >> " + ShellQuote(fifo)}).ExitStatus, 0);
    const int pane = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(pane, 0);
    ASSERT_EQ(tmux.Tmux({"wait-for", "-S", "go"}).ExitStatus, 0);

    // The prompt, as the pane shows it.
    std::string seen;
    const auto deadline = TClock::now() + std::chrono::seconds(20);
    while (seen.find("==PRESS ANY KEY TO FINISH==") == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
        ASSERT_GT(left, 0) << "no key prompt within 20 s; the pane showed:\n" << seen;
        pollfd p{pane, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char buf[4096];
        const ssize_t n = ::read(pane, buf, sizeof buf);
        if (n > 0)
            seen.append(buf, static_cast<std::size_t>(n));
    }
    ::close(pane);

    // The prompt is printed just before the terminal is switched to single
    // keys; a Ctrl+C typed before the switch would still be a signal. The
    // switch sends no event, so its settings are watched (bounded).
    const int ttyFd = ::open(tty.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(ttyFd, 0) << tty;
    bool keyMode = false;
    const auto switchDeadline = TClock::now() + std::chrono::seconds(10);
    while (!keyMode && TClock::now() < switchDeadline) {
        termios t{};
        ASSERT_EQ(::tcgetattr(ttyFd, &t), 0);
        keyMode = (t.c_lflag & (ICANON | ISIG)) == 0;
        if (!keyMode)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(keyMode) << "the key wait never switched the terminal to single keys";

    const auto pressed = TClock::now();
    ASSERT_EQ(tmux.Tmux({"send-keys", "-t", "t", "C-c"}).ExitStatus, 0);
    const TRunResult done = tmux.Tmux({"wait-for", "done"}, 20000);
    const double endedMs = std::chrono::duration<double, std::milli>(TClock::now() - pressed).count();
    ASSERT_FALSE(done.TimedOut) << "the key wait did not end after Ctrl+C";

    termios after{};
    ASSERT_EQ(::tcgetattr(ttyFd, &after), 0);
    ::close(ttyFd);
    EXPECT_NE(after.c_lflag & ICANON, 0u);
    EXPECT_NE(after.c_lflag & ISIG, 0u);
    EXPECT_NE(after.c_lflag & ECHO, 0u);

    // Status 0: the Ctrl+C was taken as the key, not as a signal (130).
    EXPECT_EQ(Trimmed(hp::e2e::ReadWholeFile(dir + "/status.txt").value_or("?")), "0");
    const auto before = hp::e2e::ReadWholeFile(dir + "/before.txt");
    ASSERT_TRUE(before.has_value());
    EXPECT_EQ(hp::e2e::ReadWholeFile(dir + "/after.txt"), before) << "the terminal's settings changed";
    EXPECT_LT(endedMs, 5000) << "hang guard";
}
