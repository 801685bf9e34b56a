#include "app/saber/flash_name.h"

#include <algorithm>

namespace hp {

namespace {

bool IsPathSeparator(char C)
{
    return C == '\\' || C == '/' || C == ':';
}

} // namespace

std::string DirectoryPart(const std::string& Path)
{
    for (std::size_t i = Path.size(); i > 0; --i)
        if (IsPathSeparator(Path[i - 1]))
            return Path.substr(0, i);
    return {};
}

std::string FlashNameOf(const std::string& Path)
{
    return Path.substr(DirectoryPart(Path).size());
}

// The write command is one line: a control byte in the name would end it
// early and turn the rest of the name into further board commands.
bool IsSafeFlashName(const std::string& Name)
{
    return std::none_of(Name.begin(), Name.end(), [](char C) {
        const auto b = static_cast<unsigned char>(C);
        return b < 0x20 || b == 0x7F;
    });
}

} // namespace hp
