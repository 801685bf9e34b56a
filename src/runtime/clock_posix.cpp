#include "runtime/clock.h"

#include <cerrno>
#include <ctime>

namespace hp::rt {

std::uint64_t MonotonicMilliseconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

void SleepMilliseconds(std::uint32_t Ms)
{
    timespec ts{static_cast<time_t>(Ms / 1000), static_cast<long>(Ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

} // namespace hp::rt
