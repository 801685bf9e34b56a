#include "runtime/version_info.h"

namespace hp::rt {

namespace {
const std::pair<const char*, const char*> VersionTable[] = {
#include "version_table.inc"
};
} // namespace

// Linux executables carry no version resource: the table is compiled in.
TVersionInfo::TVersionInfo()
{
    for (const auto& [key, value] : VersionTable)
        FEntries.emplace_back(key, value);
}

} // namespace hp::rt
