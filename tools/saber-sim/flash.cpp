#include "flash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace hp::sim {
namespace {

constexpr const char* PartialName = ".saber-sim-partial";

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

TFlash::TFlash(const std::string& dir, std::int64_t freeAtStart) {
    if (dir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/saber-sim-flash.XXXXXX";
        if (!::mkdtemp(templ.data())) throw SystemError("cannot create a flash folder in " + templ);
        FDir = templ;
        FOwnsDir = true;
    } else {
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (!std::filesystem::is_directory(dir)) throw std::runtime_error("flash folder " + dir + " is not a folder");
        FDir = dir;
    }
    // A partial file left by an earlier run that was killed is no upload.
    ::unlink((FDir + "/" + PartialName).c_str());
    FCapacity = freeAtStart + Used();
}

TFlash::~TFlash() {
    AbortUpload();
    if (FOwnsDir) {
        std::error_code ec;
        std::filesystem::remove_all(FDir, ec);
    }
}

std::vector<TFlash::Entry> TFlash::List() const {
    std::vector<Entry> entries;
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(FDir, ec)) {
        const std::string name = item.path().filename().string();
        std::error_code fec;
        if (name == PartialName || !item.is_regular_file(fec)) continue;
        const auto size = item.file_size(fec);
        if (fec) continue;  // vanished while listing
        entries.push_back({name, static_cast<std::int64_t>(size)});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.Name < b.Name; });
    return entries;
}

std::int64_t TFlash::Used() const {
    std::int64_t used = 0;
    for (const auto& e : List()) used += e.Size;
    return used;
}

std::int64_t TFlash::Free() const {
    return std::max<std::int64_t>(0, FCapacity - Used());
}

bool TFlash::ValidName(const std::string& name) {
    return !name.empty() && name.size() <= 255 && name != "." && name != ".." && name != PartialName &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

void TFlash::BeginUpload(const std::string& name) {
    AbortUpload();
    const std::string path = FDir + "/" + PartialName;
    FPartialFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (FPartialFd < 0) throw SystemError("cannot create " + path);
    FPartialTarget = name;
}

void TFlash::Append(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(FPartialFd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw SystemError("cannot write to the flash folder");
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void TFlash::CommitUpload() {
    if (FPartialFd < 0) return;
    const int rc = ::close(FPartialFd);
    FPartialFd = -1;
    const std::string partial = FDir + "/" + PartialName;
    if (rc != 0 || ::rename(partial.c_str(), (FDir + "/" + FPartialTarget).c_str()) != 0) {
        const auto error = SystemError("cannot store " + FPartialTarget);
        ::unlink(partial.c_str());
        throw error;
    }
}

void TFlash::AbortUpload() {
    if (FPartialFd < 0) return;
    ::close(FPartialFd);
    FPartialFd = -1;
    ::unlink((FDir + "/" + PartialName).c_str());
}

void TFlash::EraseAll() {
    AbortUpload();
    for (const auto& e : List()) ::unlink((FDir + "/" + e.Name).c_str());
}

}  // namespace hp::sim
