#pragma once
// Console lines shared by the actions that query a saber before they act.
#include "runtime/console.h"

#include <string>

namespace hp {

// The two-line header written once the channel is open, before the first
// command goes out.
inline void WriteQueryHeader()
{
    rt::WriteLine("Querying Saber");
    rt::WriteLine("--------------");
}

// A reply is shown as received, a trailing CR included (its control bytes
// as text: rt::WriteBoardLine); an empty reply means the board said nothing
// and is left out.
inline void WriteReplyIfAny(const std::string& Reply)
{
    if (!Reply.empty())
        rt::WriteBoardLine(Reply);
}

} // namespace hp
