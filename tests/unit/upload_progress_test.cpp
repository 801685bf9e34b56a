// The upload's progress text: when it is due, and the time estimate's
// arithmetic and H:MM:SS form.
#include "app/saber/upload_progress.h"

#include <gtest/gtest.h>

namespace hp {
namespace {

TEST(UploadProgress, DueOnlyOneAboveMultiplesOf512)
{
    for (std::int64_t remaining : {0, 2, 511, 512, 1023, 4096, 4098})
        EXPECT_EQ(UploadProgressText(remaining, 10000, 1000), "") << remaining;
    EXPECT_EQ(UploadProgressText(513, 10000, 1000), "Remaining, Bytes: 513, \r");
    EXPECT_EQ(UploadProgressText(3585, 10000, 1000), "Remaining, Bytes: 3585, \r");
}

TEST(UploadProgress, EstimateOneAboveMultiplesOf4096)
{
    // 4095 of 8192 bytes sent in 2 s: about as long again.
    EXPECT_EQ(UploadProgressText(4097, 8192, 2000), "Remaining, Bytes: 4097, Time 0:00:02  \r");
    // The last byte to go: 1 byte left at the pace of 8191 bytes per 8.191 s.
    EXPECT_EQ(UploadProgressText(1, 8192, 8191), "Remaining, Bytes: 1, Time 0:00:00  \r");
}

TEST(UploadProgress, EstimateIsTruncatedWholeSecondsAsHoursMinutesSeconds)
{
    // Remaining equals sent, so the estimate is the elapsed time.
    EXPECT_EQ(TimeEstimateText(1000, 1000, 247000), "0:04:07");
    EXPECT_EQ(TimeEstimateText(1000, 1000, 247999), "0:04:07");
    EXPECT_EQ(TimeEstimateText(1000, 1000, 43230000), "12:00:30");
    EXPECT_EQ(TimeEstimateText(1000, 1000, 3600000), "1:00:00");
    EXPECT_EQ(TimeEstimateText(1000, 1000, 599000), "0:09:59");
    EXPECT_EQ(TimeEstimateText(1000, 1000, 600000), "0:10:00");
    EXPECT_EQ(TimeEstimateText(1000, 1000, 999), "0:00:00");
    // Three times as much left as sent.
    EXPECT_EQ(TimeEstimateText(3000, 1000, 20000), "0:01:00");
}

TEST(UploadProgress, SizesBeyond32BitsKeepTheirArithmetic)
{
    // 4 GiB + 1 left after 1 GiB in 100 s: four times as long again.
    const std::int64_t left = (std::int64_t{1} << 32) + 1;
    const std::int64_t sent = std::int64_t{1} << 30;
    EXPECT_EQ(UploadProgressText(left, left + sent, 100000),
              "Remaining, Bytes: 4294967297, Time 0:06:40  \r");
    // A day and more stays in hours.
    EXPECT_EQ(TimeEstimateText(left, sent, 30 * 3600 * 1000LL), "120:00:00");
}

} // namespace
} // namespace hp
