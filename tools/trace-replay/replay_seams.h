#pragma once
// What the replay puts in place of the platform: the driver, the clock and
// the device map (replay_seams.cpp).
#include "replay_driver.h"

namespace hp::replay {

// From now on the program's serial objects play Replay, and its device map
// holds the entries of Run.
void PlayFrom(TReplay& Replay, const TTraceRun& Run);

} // namespace hp::replay
