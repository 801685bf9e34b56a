#include "app/port_option.h"

namespace hp {

namespace {

bool StartsWith(const std::string& Text, const char* Prefix)
{
    return Text.rfind(Prefix, 0) == 0;
}

} // namespace

bool IsPortOptionForm(const std::string& P)
{
    return P == "-p" || P == "-port" || P == "--p" || P == "--port" || StartsWith(P, "--p=") ||
           StartsWith(P, "--port=");
}

std::optional<std::string> MistypedPortOption(const std::vector<std::string>& Params)
{
    // A short option's value never begins with '-' (the grammar then leaves
    // the value empty), so every parameter looked at here is an option in
    // its own right, never the value of -t or -p.
    for (const std::string& p : Params) {
        const bool portLike = StartsWith(p, "-p") || StartsWith(p, "-P") || StartsWith(p, "--p") ||
                              StartsWith(p, "--P");
        if (portLike && !IsPortOptionForm(p))
            return p;
    }
    return std::nullopt;
}

} // namespace hp
