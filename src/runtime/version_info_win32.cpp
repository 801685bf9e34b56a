#include "runtime/version_info.h"

#include "runtime/process.h"
#include "runtime/wide_text_win32.h"

#include <cstdio>
#include <windows.h>

namespace hp::rt {

namespace {
// The keys that the resource is asked for; any missing one reads as "".
const char* const VersionKeys[] = {
    "ProductName", "FileVersion", "CompanyName", "FileDescription", "InternalName",
    "OriginalFilename", "LegalCopyright", "LegalTrademarks", "ProductVersion", "Comments",
};
} // namespace

TVersionInfo::TVersionInfo()
{
    const std::wstring exe = Widen(ExeName());
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    if (size == 0)
        return;
    std::string block(size, '\0');
    if (!GetFileVersionInfoW(exe.c_str(), 0, size, block.data()))
        return;
    struct Translation {
        WORD Language;
        WORD CodePage;
    };
    Translation* translations = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translations), &length)
        || length < sizeof(Translation))
        return;
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "\\StringFileInfo\\%04x%04x\\",
                  translations[0].Language, translations[0].CodePage);
    for (const char* key : VersionKeys) {
        wchar_t* value = nullptr;
        UINT chars = 0;
        const std::wstring path = Widen(std::string(prefix) + key);
        if (VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &chars)
            && value != nullptr)
            FEntries.emplace_back(key, Narrow(value));
    }
}

} // namespace hp::rt
