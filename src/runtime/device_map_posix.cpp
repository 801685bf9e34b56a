#include "runtime/device_map.h"

#include "runtime/exceptions.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string_view>

#include <dirent.h>
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

struct TDirCloser {
    void operator()(DIR* Dir) const { ::closedir(Dir); }
};
using TDirHandle = std::unique_ptr<DIR, TDirCloser>;

// The folder Path (relative to the folder Parent, or absolute) opened for
// listing; null when it is not there or cannot be read.
TDirHandle OpenFolder(int Parent, const char* Path)
{
    const int fd = ::openat(Parent, Path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    DIR* dir = ::fdopendir(fd);
    if (!dir)
        ::close(fd);
    return TDirHandle(dir);
}

std::vector<std::string> EntryNames(DIR* Dir)
{
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(Dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    return names;
}

// The device file an entry leads to, links followed; a link and its target
// are the same node.
struct TNode {
    dev_t Dev = 0;
    ino_t Ino = 0;
    bool operator==(const TNode&) const = default;
};

std::optional<TNode> CharDeviceAt(int Dir, const std::string& Name)
{
    struct stat st {};
    if (::fstatat(Dir, Name.c_str(), &st, 0) != 0 || !S_ISCHR(st.st_mode))
        return std::nullopt;
    return TNode{st.st_dev, st.st_ino};
}

// The N of "ttyUSB<N>", or nullopt for any other name.
std::optional<unsigned long> UsbSerialNumber(const std::string& Name)
{
    constexpr std::string_view prefix = "ttyUSB";
    if (Name.size() <= prefix.size() || Name.size() > prefix.size() + 9 || Name.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    unsigned long number = 0;
    for (std::size_t i = prefix.size(); i < Name.size(); ++i) {
        if (Name[i] < '0' || Name[i] > '9')
            return std::nullopt;
        number = number * 10 + static_cast<unsigned long>(Name[i] - '0');
    }
    return number;
}

} // namespace

struct TDeviceMap::TImpl {
    // The folder standing in for the map, or -1 for the kernel's list.
    int Folder = -1;
    // Its name as the user gave it, without a trailing '/'.
    std::string FolderPath;
    bool Exists = false;
};

TDeviceMap::TDeviceMap()
    : FImpl(std::make_unique<TImpl>())
{
    const char* folder = std::getenv("HILTPUSH_SERIALCOMM");
    if (folder && *folder) {
        FImpl->Folder = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        FImpl->Exists = FImpl->Folder >= 0;
        FImpl->FolderPath = folder;
        while (!FImpl->FolderPath.empty() && FImpl->FolderPath.back() == '/')
            FImpl->FolderPath.pop_back();
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
    if (!FImpl->Exists)
        return {};
    // A folder standing in for the map brings its own dev/, so that what it
    // describes is never mixed with the adapters of the machine it runs on.
    const bool standIn = FImpl->Folder >= 0;
    const std::string devPath = standIn ? FImpl->FolderPath + "/dev" : "/dev";
    const TDirHandle dev = OpenFolder(standIn ? FImpl->Folder : AT_FDCWD, standIn ? "dev" : "/dev");
    if (!dev)
        return {};
    const int devFd = ::dirfd(dev.get());

    struct TUsbPort {
        unsigned long Number;
        std::string Name;
        TNode Node;
    };
    std::vector<TUsbPort> usb;
    for (auto& name : EntryNames(dev.get())) {
        const auto number = UsbSerialNumber(name);
        if (!number)
            continue;
        if (const auto node = CharDeviceAt(devFd, name))
            usb.push_back({*number, std::move(name), *node});
    }
    if (usb.empty())
        return {};
    std::sort(usb.begin(), usb.end(), [](const TUsbPort& A, const TUsbPort& B) {
        return A.Number != B.Number ? A.Number < B.Number : A.Name < B.Name;
    });

    // udev names each adapter by maker, product and serial number here: a
    // name that stays when the adapter moves to another socket.
    std::vector<std::pair<std::string, TNode>> links;
    if (const TDirHandle byId = OpenFolder(devFd, "serial/by-id")) {
        for (auto& name : EntryNames(byId.get()))
            if (const auto node = CharDeviceAt(::dirfd(byId.get()), name))
                links.emplace_back(std::move(name), *node);
        std::sort(links.begin(), links.end(), [](const auto& A, const auto& B) { return A.first < B.first; });
    }

    std::vector<TOtherPort> ports;
    for (const auto& port : usb) {
        TOtherPort other{devPath + "/" + port.Name, {}};
        const auto link = std::find_if(links.begin(), links.end(), [&](const auto& L) { return L.second == port.Node; });
        if (link != links.end())
            other.Alias = devPath + "/serial/by-id/" + link->first;
        ports.push_back(std::move(other));
    }
    return ports;
}

} // namespace hp::rt
