#pragma once
// Splitting of a Windows command line into parameters. Kept free of any
// platform call so that it is tested on every build.
#include <string>
#include <string_view>
#include <vector>

namespace hp::rt {

// A parameter ends at a blank or control character outside double quotes; a
// single double quote starts or ends a quoted stretch and is dropped; two
// adjacent double quotes are both dropped without starting or ending one.
// Backslashes are ordinary characters. The first entry is the program name.
std::vector<std::string> SplitCommandLine(std::string_view CmdLine);

} // namespace hp::rt
