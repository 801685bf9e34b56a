#include "app/trace_option.h"

namespace hp {

bool IsTraceOptionForm(const std::string& P)
{
    return P == "--trace" || P.rfind("--trace=", 0) == 0;
}

std::optional<std::string> TraceOption(const TApplicationBase& App)
{
    bool longOpt = false;
    const int at = App.FindOptionIndex("trace", longOpt);
    if (at == -1 || !longOpt)
        return std::nullopt;
    return App.GetOptionAtIndex(at, true);
}

} // namespace hp
