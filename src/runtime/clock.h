#pragma once
// Time as the serial object and the upload need it: a monotonic millisecond
// count (never jumps with the wall clock, so midnight or a clock change
// cannot spoil an elapsed time) and a sleep.
#include <cstdint>

namespace hp::rt {

// Milliseconds since an arbitrary fixed origin; monotonic.
std::uint64_t MonotonicMilliseconds();

// Blocks the calling thread for the given milliseconds.
void SleepMilliseconds(std::uint32_t Ms);

} // namespace hp::rt
