#include "runtime/console.h"

#include <string>

namespace hp::rt {

void WriteLine(std::string_view Text)
{
    // One write per line keeps lines whole when output is shared.
    std::string line;
    line.reserve(Text.size() + 2);
    line.append(Text);
    line.append(LineEnd());
    WriteRawOutput(line);
}

void Write(std::string_view Text)
{
    WriteRawOutput(Text);
}

} // namespace hp::rt
