// Which Windows error numbers say that a USB serial device was unplugged,
// and when a flush that the driver refuses has done its work anyway.
#include "serialport/removed_device.h"

#include <gtest/gtest.h>

namespace hp {
namespace {

TEST(RemovedDevice, TheNumbersAnUnpluggedDeviceGives)
{
    for (const int error : {2, 5, 22, 31, 1167, 1617}) {
        EXPECT_TRUE(MeansDeviceGone(error, false)) << error;
        EXPECT_TRUE(MeansDeviceGone(error, true)) << error;
    }
    EXPECT_TRUE(MeansDeviceGone(995, false)) << "aborted by the driver";
    EXPECT_FALSE(MeansDeviceGone(995, true)) << "aborted by the program itself";
    for (const int error : {0, 1, 6, 21, 50, 87, 121, 997})
        EXPECT_FALSE(MeansDeviceGone(error, false)) << error;
}

TEST(RemovedDevice, ARefusedFlushCountsOnlyWithAnEmptyOutputQueue)
{
    EXPECT_TRUE(RefusedFlushCountsAsDone(1, 0, 0));
    EXPECT_TRUE(RefusedFlushCountsAsDone(50, 0, 0));
    EXPECT_FALSE(RefusedFlushCountsAsDone(1, 0, 3)) << "bytes still queued";
    EXPECT_FALSE(RefusedFlushCountsAsDone(50, 1167, 0)) << "the queue cannot be read";
    EXPECT_FALSE(RefusedFlushCountsAsDone(31, 0, 0)) << "a real failure";
    EXPECT_FALSE(RefusedFlushCountsAsDone(1167, 0, 0));
}

} // namespace
} // namespace hp
