// The link-time seams of a replay: the program's serial objects are built
// over the replaying driver, its clock is the replay's virtual one, and its
// device map holds the entries the trace recorded.
#include "replay_seams.h"

#include "runtime/clock.h"
#include "runtime/device_map.h"

#include <algorithm>

namespace hp {

namespace replay {

namespace {
std::uint64_t GNow = 1000000;
TReplay* GReplay = nullptr;
const TTraceRun* GRun = nullptr;
} // namespace

std::uint64_t ClockNow()
{
    return GNow;
}

void ClockAtLeast(std::uint64_t Ms)
{
    GNow = std::max(GNow, Ms);
}

void PlayFrom(TReplay& Replay, const TTraceRun& Run)
{
    GReplay = &Replay;
    GRun = &Run;
}

} // namespace replay

std::unique_ptr<TSerialBackend> CreateSerialBackend()
{
    return std::make_unique<TCommBackend<replay::TReplayComm>>(*replay::GReplay);
}

namespace rt {

std::uint64_t MonotonicMilliseconds()
{
    return replay::GNow;
}

void SleepMilliseconds(std::uint32_t Ms)
{
    replay::GNow += Ms;
}

struct TDeviceMap::TImpl {};

TDeviceMap::TDeviceMap() = default;
TDeviceMap::~TDeviceMap() = default;

bool TDeviceMap::Exists() const
{
    return !replay::GRun->DeviceMapMissing;
}

std::optional<std::string> TDeviceMap::Value(const std::string& Name) const
{
    for (const auto& [name, text] : replay::GRun->DeviceMap)
        if (name == Name)
            return text;
    return std::nullopt;
}

std::vector<TDeviceMap::TOtherPort> TDeviceMap::OtherPorts() const
{
    return {};
}

} // namespace rt

} // namespace hp
