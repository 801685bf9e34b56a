#include "e2e_support.h"
#include "pty_far_end.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace hp::e2e {

namespace {

TE2EConfig GConfig;

// A descriptor that becomes readable when the process ends, so that an exit
// can be waited for together with pipes and a deadline.
int PidFdOpen(pid_t Pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, Pid, 0));
}

using TClock = std::chrono::steady_clock;

double MsSince(TClock::time_point Start)
{
    return std::chrono::duration<double, std::milli>(TClock::now() - Start).count();
}

int MsLeft(TClock::time_point Deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

std::string EnvOr(const char* Name, const std::string& Fallback)
{
    const char* value = std::getenv(Name);
    return value && *value ? std::string(value) : Fallback;
}

void SetNonBlocking(int Fd)
{
    ::fcntl(Fd, F_SETFL, ::fcntl(Fd, F_GETFL) | O_NONBLOCK);
}

// Reads what is available now; false at end of file.
bool ReadAvailable(int Fd, std::string& Into)
{
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(Fd, buf, sizeof buf);
        if (n > 0) {
            Into.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

// A child process started with fork/exec: its own process group, stdin from
// /dev/null, stdout and stderr to the given descriptors.
pid_t Spawn(const std::vector<std::string>& Argv, const std::map<std::string, std::string>& ExtraEnv,
            const std::string& Cwd, int OutFd, int ErrFd)
{
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        if (ExtraEnv.find(name) == ExtraEnv.end())
            envStrings.push_back(entry);
    }
    for (const auto& [name, value] : ExtraEnv)
        envStrings.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings(Argv);
    std::vector<char*> argv;
    for (auto& s : argStrings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        ::setpgid(0, 0);
        // As a shell starts it: a signal this program ignores must not be
        // ignored by the child too.
        ::signal(SIGPIPE, SIG_DFL);
        const int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(OutFd, STDOUT_FILENO);
        ::dup2(ErrFd, STDERR_FILENO);
        if (!Cwd.empty() && ::chdir(Cwd.c_str()) != 0)
            ::_exit(126);
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    return pid;
}

struct TPipe {
    int Read = -1;
    int Write = -1;
    TPipe()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            Read = fds[0];
            Write = fds[1];
        }
    }
    ~TPipe()
    {
        CloseRead();
        CloseWrite();
    }
    void CloseRead()
    {
        if (Read >= 0)
            ::close(Read);
        Read = -1;
    }
    void CloseWrite()
    {
        if (Write >= 0)
            ::close(Write);
        Write = -1;
    }
};

// Waits for the process to end within TimeoutMs; kills its group when the time
// is up. Returns the wait status and fills Usage.
int WaitWithLimit(pid_t Pid, int TimeoutMs, bool& Killed, rusage& Usage)
{
    Killed = false;
    const int pidFd = PidFdOpen(Pid);
    if (pidFd >= 0) {
        pollfd p{pidFd, POLLIN, 0};
        int n;
        do
            n = ::poll(&p, 1, TimeoutMs);
        while (n < 0 && errno == EINTR);
        ::close(pidFd);
        if (n == 0) {
            ::kill(-Pid, SIGKILL);
            ::kill(Pid, SIGKILL);
            Killed = true;
        }
    }
    int status = 0;
    while (::wait4(Pid, &status, 0, &Usage) < 0 && errno == EINTR) {
    }
    return status;
}

std::string ShellQuote(const std::vector<std::string>& Argv)
{
    std::string s;
    for (const auto& a : Argv)
        s += (s.empty() ? "" : " ") + ("'" + a + "'");
    return s;
}

// The registry's text for a value: UTF-16LE of the 8-bit text (each byte
// taken as its own code point), terminating NUL included, as a .reg hex list.
std::string RegHexString(const std::string& Text)
{
    std::string out = "hex(1):";
    char buf[8];
    bool first = true;
    auto add = [&](unsigned char b) {
        std::snprintf(buf, sizeof buf, "%s%02x", first ? "" : ",", b);
        out += buf;
        first = false;
    };
    for (unsigned char c : Text) {
        add(c);
        add(0);
    }
    add(0);
    add(0);
    return out;
}

std::string ToUtf16Le(const std::string& Ascii)
{
    std::string out = "\xff\xfe";
    for (char c : Ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

std::string ProbeName(int Index)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "USBSER%03d", Index);
    return buf;
}

// "\Device\VCP0" -> "/Device/VCP0", as the stand-in folder holds values.
std::string RelativeMapPath(std::string Name)
{
    std::replace(Name.begin(), Name.end(), '\\', '/');
    return Name;
}

std::vector<std::string> SplitLines(const std::string& Out, bool DropCr)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < Out.size()) {
        const std::size_t lf = Out.find('\n', start);
        if (lf == std::string::npos) {
            lines.push_back(Out.substr(start));
            break;
        }
        std::string line = Out.substr(start, lf - start);
        if (DropCr && !line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = lf + 1;
    }
    return lines;
}

} // namespace

// ---------------------------------------------------------------------------

void InitE2E(int& argc, char** argv)
{
    GConfig.Hiltpush = EnvOr("HP_E2E_HILTPUSH", "");
    GConfig.SaberSim = EnvOr("HP_E2E_SABER_SIM", "");
    GConfig.Wine = EnvOr("HP_E2E_WINE", "0") == "1";
    int out = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--hiltpush" && i + 1 < argc)
            GConfig.Hiltpush = argv[++i];
        else if (a == "--saber-sim" && i + 1 < argc)
            GConfig.SaberSim = argv[++i];
        else if (a == "--wine")
            GConfig.Wine = true;
        else
            argv[out++] = argv[i];
    }
    argc = out;
    argv[argc] = nullptr;
    for (const auto& [what, path] : {std::pair<const char*, std::string>{"hiltpush", GConfig.Hiltpush},
                                     {"saber-sim", GConfig.SaberSim}}) {
        if (path.empty() || ::access(path.c_str(), X_OK) != 0) {
            std::fprintf(stderr, "e2e: the %s binary \"%s\" is missing (use --%s PATH)\n", what, path.c_str(),
                         std::string(what) == "hiltpush" ? "hiltpush" : "saber-sim");
            std::exit(2);
        }
    }
    GConfig.Hiltpush = fs::absolute(GConfig.Hiltpush).string();
    GConfig.SaberSim = fs::absolute(GConfig.SaberSim).string();
    if (GConfig.Wine && EnvOr("WINEPREFIX", "").empty()) {
        std::fprintf(stderr, "e2e: --wine needs WINEPREFIX (the Wine rig's environment)\n");
        std::exit(2);
    }
}

const TE2EConfig& Config() { return GConfig; }

std::optional<std::string> ReadWholeFile(const std::string& Path)
{
    std::ifstream in(Path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string PatternBytes(std::size_t Size)
{
    std::string out(Size, '\0');
    for (std::size_t i = 0; i < Size; ++i)
        out[i] = static_cast<char>(static_cast<unsigned char>((i * 167u + (i >> 8) * 13u) & 0xFF));
    return out;
}

// ---------------------------------------------------------------------------

std::vector<std::string> TRunResult::Lines() const
{
    return SplitLines(Out, Config().Wine);
}

const TOutLine* TRunResult::FindLine(const std::string& Text) const
{
    for (const auto& l : Timed)
        if (l.Text == Text)
            return &l;
    return nullptr;
}

// ---------------------------------------------------------------------------

TSaberSim::TSaberSim(const std::vector<std::string>& Args, const std::string& WorkDir, const std::string& Name)
{
    FFlashDir = WorkDir + "/" + Name + "-flash";
    FLogPath = WorkDir + "/" + Name + "-wire.log";
    FErrPath = WorkDir + "/" + Name + "-stderr.txt";
    fs::create_directories(FFlashDir);
    std::vector<std::string> argv{Config().SaberSim, "--flash", FFlashDir, "--log", FLogPath};
    argv.insert(argv.end(), Args.begin(), Args.end());

    TPipe out;
    const int errFd = ::open(FErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FPid = Spawn(argv, {}, WorkDir, out.Write, errFd);
    ::close(errFd);
    out.CloseWrite();
    if (FPid < 0) {
        ADD_FAILURE() << "cannot start " << ShellQuote(argv);
        return;
    }
    FOut = out.Read;
    out.Read = -1;
    // A real board answers within its time however busy the host is; the
    // simulator stands in for it, so it runs ahead of the test load (best
    // effort: only a privileged test run may raise it).
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(FPid), -10);

    // The first line of its output is the pseudo-terminal's path, printed once
    // the port serves and the device map holds it.
    std::string got;
    const auto deadline = TClock::now() + std::chrono::seconds(20);
    SetNonBlocking(FOut);
    while (got.find('\n') == std::string::npos) {
        pollfd p{FOut, POLLIN, 0};
        const int n = ::poll(&p, 1, MsLeft(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ADD_FAILURE() << "saber-sim did not report its port within 20 s: " << ShellQuote(argv) << "\n"
                          << Diagnostics();
            return;
        }
        if (!ReadAvailable(FOut, got)) {
            if (got.find('\n') == std::string::npos) {
                ADD_FAILURE() << "saber-sim ended before reporting its port: " << ShellQuote(argv) << "\n"
                              << Diagnostics();
                return;
            }
        }
    }
    FPtyPath = got.substr(0, got.find('\n'));
    if (!FPtyPath.empty() && FPtyPath.back() == '\r')
        FPtyPath.pop_back();
}

TSaberSim::~TSaberSim()
{
    Stop();
}

namespace {
int CountEvents(const std::string& Log, const std::string& Event);
} // namespace

// The simulator notices a host's close some time after the host has gone:
// a test that stopped it at once would lose the close from its log. Waits
// (bounded, on changes of the log) until every open has its close.
void TSaberSim::AwaitHostGone() const
{
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0)
        return;
    ::inotify_add_watch(watch, FLogPath.c_str(), IN_MODIFY);
    const auto deadline = TClock::now() + std::chrono::seconds(5);
    // A simulator that hung up the line itself has no host left to wait for.
    while (Closes() < Opens() && CountEvents(WireLog(), "line closed") == 0) {
        pollfd p{watch, POLLIN, 0};
        if (::poll(&p, 1, MsLeft(deadline)) <= 0)
            break;
        char buffer[4096];
        while (::read(watch, buffer, sizeof buffer) > 0) {
        }
    }
    ::close(watch);
}

void TSaberSim::Stop()
{
    if (FPid > 0) {
        AwaitHostGone();
        ::kill(FPid, SIGTERM);
        bool killed = false;
        rusage usage{};
        const int status = WaitWithLimit(FPid, 10000, killed, usage);
        if (killed)
            ADD_FAILURE() << "saber-sim did not stop within 10 s of SIGTERM";
        else if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0) &&
                 !(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM))
            ADD_FAILURE() << "saber-sim ended badly (wait status " << status << "):\n" << Diagnostics();
        FPid = -1;
    }
    if (FOut >= 0) {
        ::close(FOut);
        FOut = -1;
    }
}

std::optional<std::string> TSaberSim::FlashFile(const std::string& Name) const
{
    return ReadWholeFile(FFlashDir + "/" + Name);
}

std::vector<std::string> TSaberSim::FlashNames() const
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(FFlashDir, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string TSaberSim::WireLog() const
{
    return ReadWholeFile(FLogPath).value_or("");
}

namespace {

// Log lines: "<seconds> RX|TX <count> <hex> "<text>"" and "<seconds> EV <words>".
struct TLogLine {
    std::string Kind;
    std::string Rest;
};

std::vector<TLogLine> ParseLog(const std::string& Log)
{
    std::vector<TLogLine> out;
    std::istringstream in(Log);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t s1 = line.find(' ');
        if (s1 == std::string::npos)
            continue;
        const std::size_t s2 = line.find(' ', s1 + 1);
        if (s2 == std::string::npos)
            continue;
        out.push_back({line.substr(s1 + 1, s2 - s1 - 1), line.substr(s2 + 1)});
    }
    return out;
}

std::string BytesOf(const std::string& Log, const std::string& Kind)
{
    std::string bytes;
    for (const auto& l : ParseLog(Log)) {
        if (l.Kind != Kind)
            continue;
        std::istringstream fields(l.Rest);
        std::size_t count = 0;
        std::string hex;
        fields >> count >> hex;
        if (hex.size() != 2 * count) {
            ADD_FAILURE() << "malformed wire log line: " << l.Kind << " " << l.Rest;
            continue;
        }
        for (std::size_t i = 0; i < count; ++i)
            bytes += static_cast<char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    }
    return bytes;
}

int CountEvents(const std::string& Log, const std::string& Event)
{
    int n = 0;
    for (const auto& l : ParseLog(Log))
        n += l.Kind == "EV" && l.Rest == Event;
    return n;
}

} // namespace

std::string TSaberSim::Received() const { return BytesOf(WireLog(), "RX"); }
std::string TSaberSim::Sent() const { return BytesOf(WireLog(), "TX"); }
int TSaberSim::Opens() const { return CountEvents(WireLog(), "port opened"); }
int TSaberSim::Closes() const { return CountEvents(WireLog(), "port closed"); }

std::string TSaberSim::Diagnostics() const
{
    return ReadWholeFile(FErrPath).value_or("");
}

// ---------------------------------------------------------------------------

struct TChattyDevice::TImpl {
    // The slave stays open in here, so the far end never sees a hang-up when
    // the program under test closes the port.
    test::TPtyFarEnd Far;
    std::atomic<bool> Stop{false};
    std::mutex Lock;
    std::string Received;
    std::thread Device;
};

TChattyDevice::TChattyDevice()
    : FImpl(std::make_unique<TImpl>())
{
    FPtyPath = FImpl->Far.SlavePath();
    FImpl->Device = std::thread([impl = FImpl.get()] {
        // A reading that orders below any version answer, and whose every
        // tail does too: whichever part of it a question meets, the version
        // check fails and nothing more is asked.
        const std::string reading = "23.5\n";
        std::string pending;
        const int fd = impl->Far.MasterFd();
        while (!impl->Stop.load()) {
            if (pending.empty())
                pending = reading;
            // The wait is bounded so that a stop request is seen.
            pollfd p{fd, POLLIN | POLLOUT, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            if (p.revents & POLLIN) {
                char buffer[256];
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n > 0) {
                    std::lock_guard<std::mutex> hold(impl->Lock);
                    impl->Received.append(buffer, static_cast<std::size_t>(n));
                }
            }
            if (p.revents & POLLOUT) {
                const ssize_t n = ::write(fd, pending.data(), pending.size());
                if (n > 0)
                    pending.erase(0, static_cast<std::size_t>(n));
            }
        }
    });
}

std::string TChattyDevice::Received() const
{
    std::lock_guard<std::mutex> hold(FImpl->Lock);
    return FImpl->Received;
}

TChattyDevice::~TChattyDevice()
{
    FImpl->Stop = true;
    if (FImpl->Device.joinable())
        FImpl->Device.join();
}

// ---------------------------------------------------------------------------

TWorld::TWorld()
{
    std::string tmpl = (fs::temp_directory_path() / "hp-e2e-XXXXXX").string();
    if (!::mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    FDir = tmpl;
    FMapDir = FDir + "/devicemap";
    if (Config().Wine)
        fs::create_directories(FDir + "/wine");
}

TWorld::~TWorld()
{
    for (auto& sim : FSims)
        sim->Stop();
    if (Config().Wine) {
        // Leave the shared key without this world's values.
        std::error_code ec;
        if ((!fs::is_empty(FDir + "/wine", ec) && !ec) || !FNamedValues.empty())
            ImportWineDeviceMap(true);
        const std::string prefix = EnvOr("WINEPREFIX", "");
        for (const int com : FComs) {
            std::error_code ec;
            fs::remove(prefix + "/dosdevices/com" + std::to_string(com), ec);
        }
    }
    if (EnvOr("HP_E2E_KEEP", "").empty()) {
        std::error_code ec;
        fs::remove_all(FDir, ec);
    }
}

TSaberSim& TWorld::StartSim(int Index, const std::vector<std::string>& Extra)
{
    const std::string name = "sim" + std::to_string(FSims.size());
    std::vector<std::string> args;
    if (!Config().Wine && Index >= 0) {
        args = {"--device-map", FMapDir, "--index", std::to_string(Index)};
    }
    args.insert(args.end(), Extra.begin(), Extra.end());
    FSims.push_back(std::make_unique<TSaberSim>(args, FDir, name));
    TSaberSim& sim = *FSims.back();
    if (Config().Wine) {
        FComOf[&sim] = LinkCom(sim.PtyPath());
        if (Index >= 0)
            SetMapValue(Index, PortNameOf(sim));
    }
    return sim;
}

int TWorld::LinkCom(const std::string& PtyPath)
{
    // The Windows build opens COMn through the prefix's dosdevices link.
    // Other tests share the prefix: take the first number from 10 up whose
    // link does not exist yet (creating a link is atomic).
    const std::string dosdevices = EnvOr("WINEPREFIX", "") + "/dosdevices/com";
    int com = 10;
    while (com < 256 && ::symlink(PtyPath.c_str(), (dosdevices + std::to_string(com)).c_str()) != 0) {
        if (errno != EEXIST) {
            ADD_FAILURE() << "cannot link " << dosdevices << com << ": " << std::strerror(errno);
            break;
        }
        ++com;
    }
    FComs.push_back(com);
    return com;
}

std::string TWorld::AddPort(int Index, const std::string& PtyPath)
{
    const std::string name = Config().Wine ? "COM" + std::to_string(LinkCom(PtyPath)) : PtyPath;
    SetMapValue(Index, name);
    return name;
}

std::string TWorld::PortNameOf(const TSaberSim& Sim) const
{
    if (!Config().Wine)
        return Sim.PtyPath();
    const auto it = FComOf.find(&Sim);
    return it == FComOf.end() ? std::string() : "COM" + std::to_string(it->second);
}

std::string TWorld::MissingPortName() const
{
    // Under Wine a COM number without a dosdevices link cannot be opened.
    return Config().Wine ? std::string("COM97") : FDir + "/no-such-tty";
}

void TWorld::SetMapValue(int Index, const std::string& Text)
{
    if (!Config().Wine) {
        WriteFile("devicemap/Device/" + ProbeName(Index), Text);
        return;
    }
    // Kept as files too; Run() turns them into one registry import.
    WriteFile("wine/" + ProbeName(Index), Text);
}

void TWorld::SetMapNonText(int Index)
{
    if (!Config().Wine) {
        fs::create_directories(FMapDir + "/Device/" + ProbeName(Index));
        return;
    }
    fs::create_directories(FDir + "/wine/" + ProbeName(Index));
}

void TWorld::SetMapValue(const std::string& Name, const std::string& Text)
{
    if (Config().Wine)
        FNamedValues[Name] = Text;
    else
        WriteFile("devicemap" + RelativeMapPath(Name), Text);
}

std::string TWorld::WriteFile(const std::string& RelPath, const std::string& Bytes) const
{
    const fs::path path = fs::path(FDir) / RelPath;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
    if (!out)
        ADD_FAILURE() << "cannot write " << path;
    return path.string();
}

TRunResult TWorld::Run(const std::vector<std::string>& Args, const TRunOptions& Options) const
{
    std::map<std::string, std::string> env = Options.Env;
    const std::string program = Options.Program.empty() ? Config().Hiltpush : Options.Program;
    std::vector<std::string> argv;
    if (Config().Wine) {
        ImportWineDeviceMap();
        argv = {"wine", program};
        env.emplace("WINEDEBUG", EnvOr("WINEDEBUG", "-all"));
    } else {
        argv = {program};
        env.emplace("HILTPUSH_SERIALCOMM", FMapDir);
    }
    argv.insert(argv.end(), Args.begin(), Args.end());
    const auto run = [&] {
        return RunProcess(argv, env, Options.Cwd.empty() ? FDir : Options.Cwd, Options.TimeLimitMs, Options.OnLine,
                          Options.CloseOutputAfter);
    };
    TRunResult r = run();
    // Like regedit, Wine now and then fails to start a program on a loaded
    // machine (status 1, not a byte written); hiltpush writes its header
    // before it touches anything, so such a run is started again.
    for (int attempt = 1; Config().Wine && attempt < 3 && r.Out.empty() && r.ExitStatus == 1 && !r.TimedOut;
         ++attempt) {
        std::cerr << "e2e: Wine did not start " << program << " (status 1, no output; standard error: " << r.Err
                  << "); starting it again" << std::endl;
        r = run();
    }
    return r;
}

void TWorld::ImportWineDeviceMap(bool Clear) const
{
    // The values of this world replace the probed values the key held
    // before. The key itself stays: it is volatile, and Wine cannot create a
    // lasting key below it again once it is gone.
    std::string reg = "Windows Registry Editor Version 5.00\r\n\r\n"
                      "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n";
    std::error_code ec;
    std::map<std::string, fs::path> entries;
    for (const auto& e : fs::directory_iterator(FDir + "/wine", ec))
        entries[e.path().filename().string()] = e.path();
    for (int i = 0; i <= 100; ++i) {
        const std::string probe = ProbeName(i);
        const std::string name = "\"\\\\Device\\\\" + probe + "\"=";
        const auto it = entries.find(probe);
        if (Clear || it == entries.end())
            reg += name + "-\r\n";
        else if (fs::is_directory(it->second))
            reg += name + "dword:00000001\r\n";
        else
            reg += name + RegHexString(ReadWholeFile(it->second.string()).value_or("")) + "\r\n";
    }
    for (const auto& [valueName, text] : FNamedValues) {
        std::string name = "\"";
        for (const char c : valueName)
            name += c == '\\' || c == '"' ? std::string{'\\', c} : std::string{c};
        name += "\"=";
        reg += name + (Clear ? "-" : RegHexString(text)) + "\r\n";
    }
    const std::string regFile = WriteFile("serialcomm.reg", ToUtf16Le(reg));
    // regedit fails now and then on a loaded machine, without a word; the
    // same import a moment later goes through.
    TRunResult r;
    for (int attempt = 0; attempt < 3 && r.ExitStatus != 0; ++attempt)
        r = RunProcess({"wine", "regedit", "/S", regFile}, {}, FDir, 60000);
    if (r.ExitStatus != 0)
        ADD_FAILURE() << "registry import failed three times, status " << r.ExitStatus << ": " << r.Out << r.Err;
}

TRunResult RunProcess(const std::vector<std::string>& Argv, const std::map<std::string, std::string>& Env,
                      const std::string& Cwd, int TimeLimitMs,
                      const std::function<void(const std::string&)>& OnLine,
                      const std::string& CloseOutputAfter)
{
    TRunResult result;
    TPipe out, err;
    const auto start = TClock::now();
    const pid_t pid = Spawn(Argv, Env, Cwd, out.Write, err.Write);
    out.CloseWrite();
    err.CloseWrite();
    if (pid < 0) {
        ADD_FAILURE() << "cannot start " << ShellQuote(Argv);
        return result;
    }
    SetNonBlocking(out.Read);
    SetNonBlocking(err.Read);
    const int pidFd = PidFdOpen(pid);
    const auto deadline = start + std::chrono::milliseconds(TimeLimitMs);
    bool outOpen = true, errOpen = true, exited = false;
    std::size_t scanned = 0;
    auto collectLines = [&] {
        for (;;) {
            const std::size_t lf = result.Out.find('\n', scanned);
            if (lf == std::string::npos)
                break;
            std::string text = result.Out.substr(scanned, lf - scanned);
            if (Config().Wine && !text.empty() && text.back() == '\r')
                text.pop_back();
            result.Timed.push_back({std::move(text), MsSince(start)});
            scanned = lf + 1;
            if (OnLine)
                OnLine(result.Timed.back().Text);
            if (!CloseOutputAfter.empty() && outOpen && result.Timed.back().Text.rfind(CloseOutputAfter, 0) == 0) {
                out.CloseRead();
                outOpen = false;
                return;
            }
        }
    };
    // Background processes (Wine's services) may inherit the pipes and keep
    // them open past the program's exit: the exit itself ends the capture.
    while (!exited) {
        pollfd p[3];
        nfds_t n = 0;
        int outIdx = -1, errIdx = -1, pidIdx = -1;
        if (outOpen) {
            outIdx = static_cast<int>(n);
            p[n++] = {out.Read, POLLIN, 0};
        }
        if (errOpen) {
            errIdx = static_cast<int>(n);
            p[n++] = {err.Read, POLLIN, 0};
        }
        if (pidFd >= 0) {
            pidIdx = static_cast<int>(n);
            p[n++] = {pidFd, POLLIN, 0};
        }
        if (n == 0)
            break; // no pidfd and both pipes closed: the exit is near
        const int r = ::poll(p, n, MsLeft(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            result.TimedOut = true;
            break;
        }
        if (outIdx >= 0 && p[outIdx].revents) {
            outOpen = ReadAvailable(out.Read, result.Out) && outOpen;
            if (result.Chunks.empty() || result.Chunks.back().End != result.Out.size())
                result.Chunks.push_back({MsSince(start), result.Out.size()});
            collectLines();
        }
        if (errIdx >= 0 && p[errIdx].revents)
            errOpen = ReadAvailable(err.Read, result.Err);
        if (pidIdx >= 0 && p[pidIdx].revents)
            exited = true;
    }
    bool killed = false;
    rusage usage{};
    const int status = WaitWithLimit(pid, result.TimedOut ? 0 : 10000, killed, usage);
    result.WallMs = MsSince(start);
    if (pidFd >= 0)
        ::close(pidFd);
    if (outOpen)
        ReadAvailable(out.Read, result.Out);
    if (errOpen)
        ReadAvailable(err.Read, result.Err);
    collectLines();
    result.TimedOut = result.TimedOut || killed;
    result.ExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.CpuMs = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
    if (result.TimedOut)
        ADD_FAILURE() << ShellQuote(Argv) << " exceeded its time limit of " << TimeLimitMs
                      << " ms; output so far:\n" << result.Out;
    return result;
}

} // namespace hp::e2e
