#pragma once
// The file access the upload needs: existence tests, the files of a folder
// and a file of bytes read in blocks.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hp::rt {

// True when Path names an existing regular file (a link counts by its
// target; a directory does not count), or a link whose target is missing:
// such a file is there, but cannot be read.
bool FileExists(const std::string& Path);

// True when Path names an existing folder (a link counts by its target).
bool FolderExists(const std::string& Path);

// The names of the files directly inside Folder that FileExists accepts, in
// no particular order; sub-folders and every other kind of entry are left
// out, and on Windows so are files marked hidden or system (desktop.ini,
// Thumbs.db). A folder that cannot be read raises EInOutError with the
// platform's error text.
std::vector<std::string> FilesIn(const std::string& Folder);

// Folder and Name joined by the platform's path separator; none is added
// when Folder already ends with one.
std::string JoinPath(const std::string& Folder, const std::string& Name);

// The path at which a Name that FilesIn(Folder) returned is the entry it
// listed. On Windows: the folder's full long-form path ("\\?\C:\...",
// "\\?\UNC\server\...") and the name unchanged, so that no path rule
// trims a trailing '.' or ' ' or takes "con.wav" for a device. Elsewhere:
// JoinPath.
std::string ListedPath(const std::string& Folder, const std::string& Name);

// What tells one file from another however a path spells it (relative or
// full, through a link, in another case): the device and inode on Linux, the
// volume serial number and file index on Windows.
struct TFileIdentity {
    std::uint64_t Volume = 0;
    std::uint64_t Index = 0;
    bool operator==(const TFileIdentity&) const = default;
};

// The identity of what Path names (a link by its target), or nullopt when
// nothing is there to be told apart.
std::optional<TFileIdentity> FileIdentity(const std::string& Path);

// A file opened for reading as bytes. Every failure raises EInOutError
// with the platform's error text; the file is closed by the destructor.
class TByteFile {
public:
    explicit TByteFile(const std::string& Path);
    ~TByteFile();
    TByteFile(const TByteFile&) = delete;
    TByteFile& operator=(const TByteFile&) = delete;

    // Size in bytes as the file system reports it now.
    std::int64_t Size();

    // Reads up to Count bytes; returns how many were read, 0 only at the end.
    std::size_t Read(char* Buffer, std::size_t Count);

private:
    std::intptr_t FHandle;
};

} // namespace hp::rt
