#include "runtime/console.h"

#include <string>

namespace hp::rt {

namespace {

// One write per line keeps lines whole when output is shared.
std::string WithLineEnd(std::string_view Text)
{
    std::string line;
    line.reserve(Text.size() + 2);
    line.append(Text);
    line.append(LineEnd());
    return line;
}

} // namespace

void WriteLine(std::string_view Text)
{
    WriteRawOutput(WithLineEnd(Text));
}

void WriteErrorLine(std::string_view Text)
{
    WriteRawError(WithLineEnd(Text));
}

void Write(std::string_view Text)
{
    WriteRawOutput(Text);
}

} // namespace hp::rt
