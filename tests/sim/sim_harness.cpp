#include "sim_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace simtest {
namespace {

using SteadyClock = std::chrono::steady_clock;

int RemainingMs(SteadyClock::time_point deadline) {
    const auto left = std::chrono::duration_cast<Ms>(deadline - SteadyClock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    throw std::runtime_error(std::string("bad hex digit in the log: ") + c);
}

}  // namespace

TempDir::TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "saber-sim-test.XXXXXX").string();
    if (!::mkdtemp(templ.data())) throw SystemError("mkdtemp");
    FPath = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

SimProcess::SimProcess(const std::vector<std::string>& args) {
    static int counter = 0;
    FStderrPath = (std::filesystem::temp_directory_path() /
                   ("saber-sim-test-stderr." + std::to_string(::getpid()) + "." + std::to_string(++counter)))
                      .string();
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw SystemError("pipe");
    std::vector<std::string> argv = {SABER_SIM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    FPid = ::fork();
    if (FPid == 0) {
        ::dup2(out[1], 1);
        const int err = ::open(FStderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) ::dup2(err, 2);
        std::vector<char*> raw;
        for (auto& a : argv) raw.push_back(a.data());
        raw.push_back(nullptr);
        ::execv(raw[0], raw.data());
        ::_exit(127);
    }
    ::close(out[1]);
    if (FPid < 0) {
        ::close(out[0]);
        throw SystemError("fork");
    }
    FPidFd = static_cast<int>(::syscall(SYS_pidfd_open, FPid, 0));

    // The first line on standard output is the port.
    const auto deadline = SteadyClock::now() + Ms(20000);
    std::string line;
    while (line.find('\n') == std::string::npos) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, RemainingMs(deadline)) <= 0) break;
        char buffer[256];
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    if (line.find('\n') == std::string::npos) {
        // No destructor runs for a constructor that throws: tidy up here.
        if (!Stop()) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
        }
        const std::string message = "saber-sim did not announce its port; stderr: " + Stderr();
        if (FPidFd >= 0) ::close(FPidFd);
        ::unlink(FStderrPath.c_str());
        throw std::runtime_error(message);
    }
    FPort = line.substr(0, line.find('\n'));
}

SimProcess::~SimProcess() {
    if (!FStatus && FPid > 0) {
        if (!Stop()) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
        }
    }
    if (FPidFd >= 0) ::close(FPidFd);
    ::unlink(FStderrPath.c_str());
}

std::optional<int> SimProcess::WaitExit(Ms timeout) {
    if (FStatus) return FStatus;
    pollfd p{FPidFd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    int status = 0;
    if (::waitpid(FPid, &status, 0) != FPid) return std::nullopt;
    FStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return FStatus;
}

std::optional<int> SimProcess::Stop() {
    if (!FStatus) ::kill(FPid, SIGTERM);
    return WaitExit(Ms(10000));
}

std::string SimProcess::Stderr() const {
    return ReadFile(FStderrPath);
}

HostPort::HostPort(const std::string& path, bool purge) : hp::test::TTerminalEnd(hp::test::OpenRawPort(path, purge)) {}

void HostPort::Close(bool purge) {
    if (Fd() >= 0 && purge) ::tcflush(Fd(), TCIOFLUSH);
    hp::test::TTerminalEnd::Close();
}

std::vector<LogLine> ParseLog(const std::string& path) {
    std::vector<LogLine> lines;
    // A line still being written is left for the next look.
    std::string content = ReadFile(path);
    content.resize(content.rfind('\n') == std::string::npos ? 0 : content.rfind('\n') + 1);
    std::istringstream in(content);
    std::string raw;
    while (std::getline(in, raw)) {
        std::istringstream fields(raw);
        LogLine line;
        fields >> line.Seconds >> line.Kind;
        if (line.Kind == "RX" || line.Kind == "TX") {
            std::size_t count = 0;
            std::string hex;
            fields >> count >> hex;
            if (hex.size() != count * 2) throw std::runtime_error("log line with a wrong count: " + raw);
            for (std::size_t i = 0; i < hex.size(); i += 2)
                line.Bytes += static_cast<char>(HexValue(hex[i]) * 16 + HexValue(hex[i + 1]));
        } else if (line.Kind == "EV") {
            std::getline(fields >> std::ws, line.Text);
        } else {
            throw std::runtime_error("unknown log line: " + raw);
        }
        lines.push_back(line);
    }
    return lines;
}

std::string AllBytes(const std::vector<LogLine>& log, const std::string& kind) {
    std::string bytes;
    for (const auto& line : log)
        if (line.Kind == kind) bytes += line.Bytes;
    return bytes;
}

bool WaitForLog(const std::string& path, const std::string& kind, const std::string& text, int count, Ms timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0) throw SystemError("inotify_init1");
    ::inotify_add_watch(watch, path.c_str(), IN_MODIFY);
    bool found = false;
    for (;;) {
        int seen = 0;
        for (const auto& line : ParseLog(path))
            if (line.Kind == kind && (kind == "EV" ? line.Text : line.Bytes).find(text) != std::string::npos) ++seen;
        if (seen >= count) {
            found = true;
            break;
        }
        pollfd p{watch, POLLIN, 0};
        if (::poll(&p, 1, RemainingMs(deadline)) <= 0) break;
        char buffer[4096];
        while (::read(watch, buffer, sizeof buffer) > 0) {
        }
    }
    ::close(watch);
    return found;
}

}  // namespace simtest
