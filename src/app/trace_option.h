#pragma once
// The trace option: "--trace" (to standard error) or "--trace=FILE". The
// long form only: "-trace" stays an unknown option, ignored like any other.
#include "app/application_base.h"

#include <optional>
#include <string>

namespace hp {

// True for "--trace" and "--trace=FILE".
bool IsTraceOptionForm(const std::string& P);

// Where the trace goes: empty for standard error, or the file; nullopt when
// no trace was asked for.
std::optional<std::string> TraceOption(const TApplicationBase& App);

} // namespace hp
