#include "runtime/trace.h"

#include "runtime/append_file.h"
#include "runtime/clock.h"
#include "runtime/console.h"
#include "runtime/escaped_bytes.h"

#include <cstdint>

namespace hp::rt {

namespace {

struct TTrace {
    bool On = false;
    std::uint64_t Origin = 0;
    TAppendFile File;
    std::string Path;
};

TTrace& Trace()
{
    static TTrace trace;
    return trace;
}

} // namespace

void StartTrace(const std::string& File, const std::string& Refusal)
{
    TTrace& trace = Trace();
    trace.On = true;
    trace.Origin = MonotonicMilliseconds();
    trace.Path = File;
    std::string reason = Refusal;
    if (!File.empty() && (!reason.empty() || !trace.File.Open(File, reason)))
        WriteErrorLine("hiltpush: the trace cannot be written to " + File + ": " + reason +
                       "; it goes to standard error");
}

bool TraceOn()
{
    return Trace().On;
}

namespace {

std::string Escaped(std::string_view Text, std::string_view AlsoEscaped)
{
    return EscapedBytes(Text, [AlsoEscaped](unsigned char B) {
        return B < 0x20 || B > 0x7E || AlsoEscaped.find(static_cast<char>(B)) != std::string_view::npos;
    });
}

void WriteTraceLine(std::string_view Text)
{
    TTrace& trace = Trace();
    if (!trace.On)
        return;
    const std::string line = "hiltpush: trace " + std::to_string(MonotonicMilliseconds() - trace.Origin) + " " +
                             std::string(Text) + std::string(LineEnd());
    if (trace.File.IsOpen()) {
        std::string reason;
        if (trace.File.Write(line, reason))
            return;
        // A trace that silently ends early would be sent and believed whole:
        // say it once, and go on where it can still be read.
        trace.File.Close();
        WriteErrorLine("hiltpush: the trace could not be written to " + trace.Path + ": " + reason +
                       "; the rest of it goes to standard error");
    }
    WriteErrorOutput(line);
}

} // namespace

void TraceLine(std::string_view Text)
{
    if (TraceOn())
        WriteTraceLine(EscapeTraceText(Text));
}

void TraceRecord(std::string_view Line)
{
    if (TraceOn())
        WriteTraceLine(Escaped(Line, {}));
}

std::string EscapeTraceText(std::string_view Text)
{
    return Escaped(Text, "\\");
}

std::string TraceQuoted(std::string_view Bytes)
{
    return '"' + Escaped(Bytes, "\\\"") + '"';
}

} // namespace hp::rt
