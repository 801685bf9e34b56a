#pragma once
// The version strings that the running executable carries.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hp::rt {

class TVersionInfo {
public:
    // Reads the running executable's version information.
    TVersionInfo();
    // The value of Key; the empty text when the key is missing.
    std::string Value(std::string_view Key) const;

private:
    std::vector<std::pair<std::string, std::string>> FEntries;
};

} // namespace hp::rt
