#include "runtime/append_file.h"

#include "runtime/platform_error.h"
#include "runtime/wide_text_win32.h"

#include <windows.h>

namespace hp::rt {

namespace {
HANDLE AsHandle(std::intptr_t H)
{
    return reinterpret_cast<HANDLE>(H);
}
} // namespace

TAppendFile::~TAppendFile()
{
    Close();
}

void TAppendFile::Close()
{
    if (IsOpen())
        CloseHandle(AsHandle(FHandle));
    FHandle = -1;
}

bool TAppendFile::Open(const std::string& Path, std::string& Reason)
{
    Close();
    // Others may read the file meanwhile (a user watching it grow).
    HANDLE h = CreateFileW(Widen(Path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        Reason = PlatformErrorText(static_cast<int>(GetLastError()));
        return false;
    }
    FHandle = reinterpret_cast<std::intptr_t>(h);
    return true;
}

bool TAppendFile::Write(std::string_view Text, std::string& Reason)
{
    while (IsOpen() && !Text.empty()) {
        DWORD done = 0;
        const DWORD chunk = Text.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(Text.size());
        if (!WriteFile(AsHandle(FHandle), Text.data(), chunk, &done, nullptr)) {
            Reason = PlatformErrorText(static_cast<int>(GetLastError()));
            return false;
        }
        if (done == 0) {
            // A write that takes nothing and says nothing cannot go on either.
            Reason = PlatformErrorText(ERROR_DISK_FULL);
            return false;
        }
        Text.remove_prefix(done);
    }
    return true;
}

} // namespace hp::rt
