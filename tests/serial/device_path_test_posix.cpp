// On POSIX a port name is the device path itself.
#include "serialport/serial_backend.h"

#include <gtest/gtest.h>

namespace hp {
namespace {

TEST(DevicePath, IsThePortNameUnchanged)
{
    const auto backend = CreateSerialBackend();
    EXPECT_EQ(backend->DevicePath("/dev/ttyACM0", -1), "/dev/ttyACM0");
    EXPECT_EQ(backend->DevicePath("COM5", 4), "COM5");
    EXPECT_EQ(backend->DevicePath("/dev/ttyS0", 0), "/dev/ttyS0");
}

} // namespace
} // namespace hp
