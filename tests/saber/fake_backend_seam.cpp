// The link-time seam: this test program's serial objects are built over the
// fake device of the board in place, instead of the platform's backend. Its
// clock is a virtual one (virtual_clock.cpp).
#include "fake_backend.h"

namespace hp {

namespace test {
std::shared_ptr<TFakeDevice> CurrentFakeDevice();
}

std::unique_ptr<TSerialBackend> CreateSerialBackend()
{
    return std::make_unique<test::TFakeBackend>(test::CurrentFakeDevice());
}

} // namespace hp
