#include "runtime/process.h"

#include "runtime/cmdline.h"
#include "runtime/wide_text_win32.h"

#include <windows.h>

namespace hp::rt {

std::string ExeName()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return {};
        if (n < path.size()) {
            path.resize(n);
            return Narrow(path);
        }
        path.resize(path.size() * 2);
    }
}

std::vector<std::string> ProcessParams(int, char**)
{
    // The C runtime's own splitting treats backslashes before quotes
    // specially; the program's rule does not, so split the raw line here.
    // Only the UTF-16 line holds the names as Explorer passed them: the ANSI
    // one has a look-alike for what the code page lacks, and a fullwidth
    // quote or hyphen would turn into a real one there.
    std::vector<std::string> all = SplitCommandLine(Narrow(GetCommandLineW()));
    if (!all.empty())
        all.erase(all.begin());
    return all;
}

std::string PlatformName()
{
    return "windows";
}

} // namespace hp::rt
