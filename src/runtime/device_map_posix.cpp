#include "runtime/device_map.h"

#include "runtime/exceptions.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hp::rt {

namespace {

constexpr std::string_view SysfsProbePrefix = "\\Device\\USBSER";

[[noreturn]] void RaiseInvalidType(const std::string& Name)
{
    RaiseRegistryError("Invalid registry data type: \"" + Name + "\"");
}

[[noreturn]] void RaiseNoData(const std::string& Name)
{
    RaiseRegistryError("Failed to get data for value \"" + Name + "\"");
}

// "\Device\USBSER000" -> "Device/USBSER000": every backslash separates
// folders, and the leading one is dropped so that the path stays inside the
// map's folder.
std::string RelativePathOf(const std::string& Name)
{
    std::string path = Name;
    for (char& c : path)
        if (c == '\\')
            c = '/';
    std::size_t first = 0;
    while (first < path.size() && path[first] == '/')
        ++first;
    return path.substr(first);
}

// The counter of a probe name "\Device\USBSER<digits>", or -1.
long ProbeCounter(const std::string& Name)
{
    if (Name.size() <= SysfsProbePrefix.size() || Name.compare(0, SysfsProbePrefix.size(), SysfsProbePrefix) != 0)
        return -1;
    long counter = 0;
    for (std::size_t i = SysfsProbePrefix.size(); i < Name.size(); ++i) {
        const char c = Name[i];
        if (c < '0' || c > '9' || counter > 100000)
            return -1;
        counter = counter * 10 + (c - '0');
    }
    return counter;
}

} // namespace

struct TDeviceMap::TImpl {
    // The folder standing in for the map, or -1 for the kernel's list.
    int Folder = -1;
    bool Exists = false;
};

TDeviceMap::TDeviceMap()
    : FImpl(std::make_unique<TImpl>())
{
    const char* folder = std::getenv("HILTPUSH_SERIALCOMM");
    if (folder && *folder) {
        FImpl->Folder = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        FImpl->Exists = FImpl->Folder >= 0;
    } else {
        FImpl->Exists = true;
    }
}

TDeviceMap::~TDeviceMap()
{
    if (FImpl->Folder >= 0)
        ::close(FImpl->Folder);
}

bool TDeviceMap::Exists() const
{
    return FImpl->Exists;
}

std::optional<std::string> TDeviceMap::Value(const std::string& Name) const
{
    if (!FImpl->Exists)
        return std::nullopt;

    if (FImpl->Folder < 0) {
        const long counter = ProbeCounter(Name);
        if (counter < 0)
            return std::nullopt;
        const std::string node = "ttyACM" + std::to_string(counter);
        struct stat st {};
        if (::stat(("/sys/class/tty/" + node).c_str(), &st) != 0)
            return std::nullopt;
        return "/dev/" + node;
    }

    const std::string path = RelativePathOf(Name);
    if (path.empty())
        return std::nullopt;
    struct stat st {};
    if (::fstatat(FImpl->Folder, path.c_str(), &st, 0) != 0)
        return std::nullopt;
    // Anything but a plain file (a folder, a device, a pipe) stands for a
    // value that does not hold text; it is never opened.
    if (!S_ISREG(st.st_mode))
        RaiseInvalidType(Name);
    // Should the file be swapped for something else meanwhile, the open must
    // still neither block nor take a terminal.
    const int fd = ::openat(FImpl->Folder, path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        RaiseNoData(Name);
    }
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        RaiseNoData(Name);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        RaiseInvalidType(Name);
    }
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            RaiseNoData(Name);
        }
        break;
    }
    ::close(fd);
    return text;
}

std::vector<TDeviceMap::TOtherPort> TDeviceMap::OtherPorts() const
{
    return {};
}

} // namespace hp::rt
