#include "runtime/version_info.h"

namespace hp::rt {

std::string TVersionInfo::Value(std::string_view Key) const
{
    for (const auto& [key, value] : FEntries)
        if (key == Key)
            return value;
    return {};
}

} // namespace hp::rt
