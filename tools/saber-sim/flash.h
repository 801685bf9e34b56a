// A folder that stands for the board's serial flash: one regular file per
// stored sound or config file, plus the byte budget the board reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hp::sim {

class TFlash {
public:
    struct Entry {
        std::string Name;
        std::int64_t Size = 0;
    };

    // `dir` empty: a fresh temporary folder that is removed again on
    // destruction. `freeAtStart` is the free space reported now; what the
    // folder already holds counts as used from then on.
    TFlash(const std::string& dir, std::int64_t freeAtStart);
    ~TFlash();
    TFlash(const TFlash&) = delete;
    TFlash& operator=(const TFlash&) = delete;

    const std::string& Dir() const { return FDir; }
    std::vector<Entry> List() const;   // sorted by name
    std::int64_t Free() const;         // never below 0

    // A name the board can store: not empty, not "." or "..", no '/' or NUL,
    // not the name of the partial upload, at most 255 bytes. Anything else
    // would leave the folder or clash with its bookkeeping.
    static bool ValidName(const std::string& name);

    // Upload in progress: bytes go to a hidden partial file that becomes
    // `name` only when complete, so the listing never shows half a file.
    // Begin and Append throw std::runtime_error when the file system fails.
    void BeginUpload(const std::string& name);
    void Append(const char* data, std::size_t size);
    void CommitUpload();
    void AbortUpload();   // no-op when nothing is in progress
    bool Uploading() const { return FPartialFd >= 0; }

    void EraseAll();

private:
    std::int64_t Used() const;

    std::string FDir;
    bool FOwnsDir = false;
    std::int64_t FCapacity = 0;
    int FPartialFd = -1;
    std::string FPartialTarget;
};

}  // namespace hp::sim
