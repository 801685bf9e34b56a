#pragma once
// The trace a user can send when a board or its driver misbehaves: one line
// per event, "hiltpush: trace " and the milliseconds since the trace began,
// to standard error or added to the end of a file. Off unless started; then
// nothing is written and nothing is formatted.
#include <string>
#include <string_view>

namespace hp::rt {

// Starts the trace: to standard error when File is empty, otherwise added
// to File. A file that cannot be opened, or one that must not be written
// (Refusal says why), is said on standard error, and the trace goes there
// instead; so does the rest of a trace whose file fails a write.
void StartTrace(const std::string& File, const std::string& Refusal = {});

bool TraceOn();

// One event, its text escaped (EscapeTraceText).
void TraceLine(std::string_view Text);

// Text with every byte outside 0x20 to 0x7E, and the backslash, written as
// \xHH: no board's bytes can drive the terminal that shows the trace, and a
// board that sent the four characters "\x41" is told from one that sent 'A'.
std::string EscapeTraceText(std::string_view Text);

// Bytes as one field of a trace line that a program reads back: in double
// quotes, with every byte outside 0x20 to 0x7E, the backslash and the
// double quote written as \xHH.
std::string TraceQuoted(std::string_view Bytes);

// A line built of plain words and TraceQuoted fields, written as it stands
// (a byte that could drive the terminal is still escaped).
void TraceRecord(std::string_view Line);

} // namespace hp::rt
