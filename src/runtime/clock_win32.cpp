#include "runtime/clock.h"

#include <windows.h>

namespace hp::rt {

std::uint64_t MonotonicMilliseconds()
{
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        return QueryPerformanceFrequency(&f) ? f.QuadPart : 0;
    }();
    LARGE_INTEGER counter;
    if (frequency == 0 || !QueryPerformanceCounter(&counter))
        return GetTickCount64();
    // Split to avoid overflowing counter * 1000 on long uptimes.
    const std::uint64_t q = static_cast<std::uint64_t>(counter.QuadPart);
    const std::uint64_t f = static_cast<std::uint64_t>(frequency);
    return (q / f) * 1000u + (q % f) * 1000u / f;
}

void SleepMilliseconds(std::uint32_t Ms)
{
    Sleep(Ms);
}

} // namespace hp::rt
