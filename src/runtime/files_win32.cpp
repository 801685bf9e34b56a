#include "runtime/files.h"

#include "runtime/exceptions.h"
#include "runtime/platform_error.h"
#include "runtime/wide_text_win32.h"

#include <memory>

#include <windows.h>

namespace hp::rt {

namespace {
HANDLE AsHandle(std::intptr_t H) { return reinterpret_cast<HANDLE>(H); }

[[noreturn]] void RaiseLastError()
{
    const DWORD err = GetLastError();
    RaiseInOutError(PlatformErrorText(static_cast<int>(err)), static_cast<int>(err));
}

bool StartsWith(std::wstring_view Text, std::wstring_view Prefix)
{
    return Text.substr(0, Prefix.size()) == Prefix;
}

// The path as the file system takes it without the 260-character limit: full
// and in the long form ("\\?\C:\...", "\\?\UNC\server\share\..."). A path
// already in that form or in the device namespace ("\\.\") is left alone.
std::wstring SystemPath(const std::string& Path)
{
    const std::wstring wide = Widen(Path);
    if (wide.empty() || StartsWith(wide, L"\\\\?\\") || StartsWith(wide, L"\\\\.\\"))
        return wide;
    const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return wide;
    std::wstring full(size, L'\0');
    const DWORD n = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (n == 0 || n >= size)
        return wide;
    full.resize(n);
    if (StartsWith(full, L"\\\\?\\") || StartsWith(full, L"\\\\.\\"))
        return full; // a device name such as NUL
    if (StartsWith(full, L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// The folder's long-form path with a separator at its end: what a listed
// name is appended to.
std::wstring FolderPrefix(const std::string& Folder)
{
    std::wstring folder = SystemPath(Folder);
    if (folder.empty() || folder.back() != L'\\')
        folder += L'\\';
    return folder;
}

enum class TEntryKind { Missing, File, Folder, BrokenLink };

TEntryKind KindOf(const std::wstring& Path)
{
    const DWORD attributes = GetFileAttributesW(Path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return TEntryKind::Missing;
    const auto byAttributes = [](DWORD A) {
        return (A & FILE_ATTRIBUTE_DIRECTORY) != 0 ? TEntryKind::Folder : TEntryKind::File;
    };
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return byAttributes(attributes);
    // A link's own attributes tell how it was made, not what it leads to.
    HANDLE target = CreateFileW(Path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (target == INVALID_HANDLE_VALUE)
        return TEntryKind::BrokenLink;
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL known = GetFileInformationByHandle(target, &info);
    CloseHandle(target);
    return known ? byAttributes(info.dwFileAttributes) : TEntryKind::BrokenLink;
}

} // namespace

bool FileExists(const std::string& Path)
{
    const TEntryKind kind = KindOf(SystemPath(Path));
    return kind == TEntryKind::File || kind == TEntryKind::BrokenLink;
}

bool FolderExists(const std::string& Path)
{
    return KindOf(SystemPath(Path)) == TEntryKind::Folder;
}

std::vector<std::string> FilesIn(const std::string& Folder)
{
    const auto fail = [](DWORD Error) {
        RaiseInOutError(PlatformErrorText(static_cast<int>(Error)), static_cast<int>(Error));
    };
    const std::wstring folder = FolderPrefix(Folder);
    std::vector<std::string> names;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND)
            fail(error);
        return names;
    }
    const std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)> closer(search, FindClose);
    do {
        const DWORD attributes = found.dwFileAttributes;
        // What Explorer keeps out of sight is no part of a font
        // (desktop.ini, Thumbs.db).
        if ((attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0)
            continue;
        const bool isFile = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
                                ? KindOf(folder + found.cFileName) != TEntryKind::Folder
                                : (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        if (isFile)
            names.push_back(Narrow(found.cFileName));
    } while (FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES)
        fail(error);
    return names;
}

std::optional<TFileIdentity> FileIdentity(const std::string& Path)
{
    // No access asked for: a file that others hold open is told apart too.
    HANDLE h = CreateFileW(SystemPath(Path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL known = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!known)
        return std::nullopt;
    return TFileIdentity{info.dwVolumeSerialNumber,
                         (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

std::string JoinPath(const std::string& Folder, const std::string& Name)
{
    if (!Folder.empty() && (Folder.back() == '\\' || Folder.back() == '/' || Folder.back() == ':'))
        return Folder + Name;
    return Folder + "\\" + Name;
}

std::string ListedPath(const std::string& Folder, const std::string& Name)
{
    // The folder is resolved as the user's parameter always was; the name
    // came from the file system and goes back to it as it came.
    return Narrow(FolderPrefix(Folder) + Widen(Name));
}

TByteFile::TByteFile(const std::string& Path)
{
    HANDLE h = CreateFileW(SystemPath(Path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        RaiseLastError();
    FHandle = reinterpret_cast<std::intptr_t>(h);
}

TByteFile::~TByteFile()
{
    CloseHandle(AsHandle(FHandle));
}

std::int64_t TByteFile::Size()
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(AsHandle(FHandle), &size))
        RaiseLastError();
    return size.QuadPart;
}

std::size_t TByteFile::Read(char* Buffer, std::size_t Count)
{
    DWORD done = 0;
    const DWORD chunk = Count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(Count);
    if (!ReadFile(AsHandle(FHandle), Buffer, chunk, &done, nullptr))
        RaiseLastError();
    return done;
}

} // namespace hp::rt
