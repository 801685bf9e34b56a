#pragma once
// Millisecond ticks and the line-end search used by the serial object.
#include <cstdint>
#include <string>

namespace hp {

// Current millisecond tick: the low 32 bits of a monotonic millisecond count,
// so it wraps around at 2^32 and never jumps with the wall clock.
std::uint32_t GetTick();

// Milliseconds from TickOld to TickNew in 32-bit arithmetic. A tick that
// wrapped around (old in the upper half of the range, new in the lower half)
// gives the forward distance; a tick that stepped backwards within one half
// gives the size of that step.
std::uint32_t TickDelta(std::uint32_t TickOld, std::uint32_t TickNew);

// The first line end in Value: the position (counting from 1) of the first CR
// or LF, with Terminator set to the line end found there: CR LF or LF CR when
// the next byte completes such a pair, else the single byte. Without any CR
// or LF the result is -1 and Terminator is empty.
int PosCRLF(const std::string& Value, std::string& Terminator);

} // namespace hp
