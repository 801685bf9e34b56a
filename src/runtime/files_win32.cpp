#include "runtime/files.h"

#include "runtime/ansi_text_win32.h"
#include "runtime/exceptions.h"
#include "runtime/platform_error.h"

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
} // namespace

bool FileExists(const std::string& Path)
{
    const DWORD attributes = GetFileAttributesA(Path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool FolderExists(const std::string& Path)
{
    const DWORD attributes = GetFileAttributesA(Path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::vector<std::string> FilesIn(const std::string& Folder)
{
    const auto fail = [&Folder](DWORD Error) {
        RaiseInOutError(Folder + ": " + PlatformErrorText(static_cast<int>(Error)), static_cast<int>(Error));
    };
    std::vector<std::string> names;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(Widen(JoinPath(Folder, "*")).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND)
            fail(error);
        return names;
    }
    const std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)> closer(search, FindClose);
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            names.push_back(Narrow(found.cFileName));
    } while (FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES)
        fail(error);
    return names;
}

std::string JoinPath(const std::string& Folder, const std::string& Name)
{
    if (!Folder.empty() && (Folder.back() == '\\' || Folder.back() == '/' || Folder.back() == ':'))
        return Folder + Name;
    return Folder + "\\" + Name;
}

TByteFile::TByteFile(const std::string& Path)
{
    HANDLE h = CreateFileA(Path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
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
