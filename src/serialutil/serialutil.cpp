#include "serialutil/serialutil.h"

#include "runtime/clock.h"

namespace hp {

std::uint32_t GetTick()
{
    return static_cast<std::uint32_t>(rt::MonotonicMilliseconds());
}

std::uint32_t TickDelta(std::uint32_t TickOld, std::uint32_t TickNew)
{
    if (TickOld == TickNew)
        return 0;
    if (TickNew < TickOld) {
        // Move both by half the range: a wrap-around then compares in order.
        TickOld += 0x80000000u;
        TickNew += 0x80000000u;
    }
    std::uint32_t result = TickNew - TickOld;
    if (TickNew < TickOld && result != 0)
        result = 0u - result;
    return result;
}

int PosCRLF(const std::string& Value, std::string& Terminator)
{
    Terminator.clear();
    const std::size_t i = Value.find_first_of("\r\n");
    if (i == std::string::npos)
        return -1;
    Terminator = Value.substr(i, 1);
    if (i + 1 < Value.size()) {
        const char next = Value[i + 1];
        if ((Value[i] == '\r' && next == '\n') || (Value[i] == '\n' && next == '\r'))
            Terminator.push_back(next);
    }
    return static_cast<int>(i) + 1;
}

} // namespace hp
