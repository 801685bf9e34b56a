// The link-time seams: this test program's serial objects are built over the
// fake device of the board in place, instead of the platform's backend, and
// its clock is a virtual one that moves only when the program waits. Every
// time-out then lasts exactly its length and costs no real time.
#include "fake_backend.h"

namespace hp {

namespace test {
std::shared_ptr<TFakeDevice> CurrentFakeDevice();
}

std::unique_ptr<TSerialBackend> CreateSerialBackend()
{
    return std::make_unique<test::TFakeBackend>(test::CurrentFakeDevice());
}

namespace rt {
namespace {
std::uint64_t GNow = 1000000;
}

std::uint64_t MonotonicMilliseconds()
{
    return GNow;
}

void SleepMilliseconds(std::uint32_t Ms)
{
    GNow += Ms;
}
} // namespace rt

} // namespace hp
