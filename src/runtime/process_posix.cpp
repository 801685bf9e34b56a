#include "runtime/process.h"

#include <climits>
#include <unistd.h>

namespace hp::rt {

std::string ExeName()
{
    std::string path(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0)
        return {};
    path.resize(static_cast<std::size_t>(n));
    return path;
}

std::vector<std::string> ProcessParams(int argc, char** argv)
{
    std::vector<std::string> params;
    for (int i = 1; i < argc; ++i)
        params.emplace_back(argv[i]);
    return params;
}

std::string PlatformName()
{
    return "linux";
}

} // namespace hp::rt
