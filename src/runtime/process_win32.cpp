#include "runtime/process.h"

#include "runtime/cmdline.h"

#include <windows.h>

namespace hp::rt {

std::string ExeName()
{
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::vector<std::string> ProcessParams(int, char**)
{
    // The C runtime's own splitting treats backslashes before quotes
    // specially; the program's rule does not, so split the raw line here.
    std::vector<std::string> all = SplitCommandLine(GetCommandLineA());
    if (!all.empty())
        all.erase(all.begin());
    return all;
}

} // namespace hp::rt
