#include "runtime/console.h"

#include "runtime/escaped_bytes.h"

#include <algorithm>
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

bool IsControl(unsigned char B)
{
    return (B < 0x20 && B != '\t') || B == 0x7F;
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
    WriteOutput(WithLineEnd(ShownBoardText(Bytes, true)), TTextOrigin::Board);
}

void WriteBoard(std::string_view Bytes)
{
    WriteOutput(ShownBoardText(Bytes, false), TTextOrigin::Board);
}

std::string ShownBoardText(std::string_view Bytes, bool EndsLine)
{
    const bool keepLastCR = EndsLine && !Bytes.empty() && Bytes.back() == '\r';
    const std::string_view body = keepLastCR ? Bytes.substr(0, Bytes.size() - 1) : Bytes;
    if (std::none_of(body.begin(), body.end(), IsControl))
        return std::string(Bytes);
    std::string shown = EscapedBytes(body, IsControl);
    if (keepLastCR)
        shown += '\r';
    return shown;
}

void TBoardEcho::Put(char Byte)
{
    if (Byte == '\n') {
        WriteBoardLine(FHeldCR ? "\r" : "");
        FHeldCR = false;
        return;
    }
    End();
    if (Byte == '\r')
        FHeldCR = true;
    else
        WriteBoard(std::string_view(&Byte, 1));
}

void TBoardEcho::End()
{
    if (FHeldCR)
        WriteBoard("\r");
    FHeldCR = false;
}

void WriteErrorLine(std::string_view Text)
{
    WriteErrorOutput(WithLineEnd(Text));
}

} // namespace hp::rt
