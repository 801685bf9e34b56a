#include "port_announcement.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace hp::sim {
namespace {

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

bool MakeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) == 0) return true;
    if (errno == EEXIST && std::filesystem::is_directory(path)) return false;
    throw SystemError("cannot create " + path);
}

void WriteWhole(const std::string& path, const std::string& bytes) {
    const std::string aside = path + ".new";
    const int fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw SystemError("cannot create " + aside);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const auto error = SystemError("cannot write " + aside);
            ::close(fd);
            ::unlink(aside.c_str());
            throw error;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 || ::rename(aside.c_str(), path.c_str()) != 0) {
        const auto error = SystemError("cannot write " + path);
        ::unlink(aside.c_str());
        throw error;
    }
}

// A .reg file in UTF-16 with a byte order mark: the one form in which Wine's
// "reg import" takes a string value holding CR or LF. `data` is the value
// line's right-hand side, already in .reg syntax.
std::string RegFile(int index, const std::string& data) {
    std::string name;
    for (const char c : DeviceValueName(index)) name += c == '\\' ? std::string("\\\\") : std::string(1, c);
    const std::string text = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n\"" +
                             name + "\"=" + data + "\r\n";
    std::string utf16 = "\xFF\xFE";
    for (const char c : text) {
        utf16 += c;
        utf16 += '\0';
    }
    return utf16;
}

// hex(1): a REG_SZ value given as its UTF-16LE bytes with the closing NUL.
// The value's 8-bit bytes map to the code points of the same number.
std::string HexStringValue(const std::string& text) {
    std::string out = "hex(1):";
    char byte[8];
    for (const char c : text) {
        std::snprintf(byte, sizeof byte, "%02x,00,", static_cast<unsigned char>(c));
        out += byte;
    }
    return out + "00,00";
}

// Runs "wine reg import FILE" in the prefix. Its standard streams go to
// /dev/null: Wine's background processes inherit them and would otherwise
// hold our caller's pipes open long after we are gone.
void ImportRegFile(const std::string& prefix, const std::string& regText) {
    char path[] = "/tmp/saber-sim-XXXXXX.reg";
    const int fd = ::mkstemps(path, 4);
    if (fd < 0) throw SystemError("cannot create a registry file");
    ::close(fd);
    try {
        WriteWhole(path, regText);
    } catch (...) {
        ::unlink(path);
        throw;
    }
    // Wine reads Unix paths through its Z: drive.
    std::string winPath = std::string("Z:") + path;
    for (char& c : winPath)
        if (c == '/') c = '\\';

    // Wine's import fails now and then on a loaded machine, without a word;
    // the same import a moment later goes through.
    const auto importOnce = [&winPath, &prefix](int& status) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            const int null = ::open("/dev/null", O_RDWR);
            for (int target = 0; target <= 2; ++target) ::dup2(null, target);
            ::setenv("WINEPREFIX", prefix.c_str(), 1);
            ::setenv("WINEDEBUG", "-all", 0);
            ::execlp("wine", "wine", "reg", "import", winPath.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (pid < 0) return false;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return true;
    };
    int status = 0;
    bool started = true;
    for (int attempt = 0; attempt < 3 && started; ++attempt) {
        started = importOnce(status);
        if (started && WIFEXITED(status) && WEXITSTATUS(status) == 0) break;
    }
    ::unlink(path);
    if (!started) throw SystemError("cannot start wine");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("\"wine reg import\" failed in " + prefix + " (status " +
                                 std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")");
}

}  // namespace

std::string DeviceValueName(int index) {
    char name[32];
    std::snprintf(name, sizeof name, "\\Device\\USBSER%03d", index);
    return name;
}

TDeviceMapEntry::TDeviceMapEntry(const std::string& dir, int index, const std::string& text) {
    const std::string device = dir + "/Device";
    if (MakeFolder(dir)) FCreatedRoot = dir;
    if (MakeFolder(device)) FCreatedDevice = device;
    FPath = device + "/" + DeviceValueName(index).substr(8);  // ".../Device/USBSER<NNN>"
    try {
        WriteWhole(FPath, text);
    } catch (...) {
        if (!FCreatedDevice.empty()) ::rmdir(FCreatedDevice.c_str());
        if (!FCreatedRoot.empty()) ::rmdir(FCreatedRoot.c_str());
        throw;
    }
}

TDeviceMapEntry::~TDeviceMapEntry() {
    ::unlink(FPath.c_str());
    if (!FCreatedDevice.empty()) ::rmdir(FCreatedDevice.c_str());
    if (!FCreatedRoot.empty()) ::rmdir(FCreatedRoot.c_str());
}

TWineRegistration::TWineRegistration(const std::string& prefix, int com, int index, const std::string& text,
                                     const std::string& target)
    : FPrefix(prefix), FLink(prefix + "/dosdevices/com" + std::to_string(com)), FIndex(index) {
    if (!std::filesystem::is_directory(prefix + "/dosdevices"))
        throw std::runtime_error(prefix + " is not a Wine prefix (no dosdevices folder)");
    struct stat st{};
    if (::lstat(FLink.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) throw std::runtime_error(FLink + " exists and is not a link");
        ::unlink(FLink.c_str());
    }
    if (::symlink(target.c_str(), FLink.c_str()) != 0) throw SystemError("cannot create " + FLink);
    try {
        ImportRegFile(FPrefix, RegFile(FIndex, HexStringValue(text)));
    } catch (...) {
        ::unlink(FLink.c_str());
        throw;
    }
}

TWineRegistration::~TWineRegistration() {
    try {
        ImportRegFile(FPrefix, RegFile(FIndex, "-"));
    } catch (const std::exception&) {
        // The value dies with the wineserver anyway; the link must still go.
    }
    ::unlink(FLink.c_str());
}

}  // namespace hp::sim
