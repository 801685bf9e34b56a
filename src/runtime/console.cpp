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
    WriteOutput(WithLineEnd(Text), TTextOrigin::Program);
}

void Write(std::string_view Text)
{
    WriteOutput(Text, TTextOrigin::Program);
}

void WriteBoardLine(std::string_view Bytes)
{
    WriteOutput(WithLineEnd(Bytes), TTextOrigin::Board);
}

void WriteBoard(std::string_view Bytes)
{
    WriteOutput(Bytes, TTextOrigin::Board);
}

void WriteErrorLine(std::string_view Text)
{
    WriteErrorOutput(WithLineEnd(Text));
}

} // namespace hp::rt
