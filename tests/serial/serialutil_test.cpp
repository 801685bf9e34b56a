#include "serialutil/serialutil.h"

#include <gtest/gtest.h>

#include "runtime/clock.h"

namespace hp {
namespace {

TEST(TickDelta, CountsForwardAcrossTheWrapAndBackwardsWithinAHalf)
{
    EXPECT_EQ(TickDelta(5, 5), 0u);
    EXPECT_EQ(TickDelta(100, 350), 250u);
    EXPECT_EQ(TickDelta(0xFFFFFFFFu - 255u, 256), 512u); // old 2^32-256, new 256
    EXPECT_EQ(TickDelta(0xFFFFFFFFu, 0), 1u);
    EXPECT_EQ(TickDelta(256, 128), 128u); // a step back
    EXPECT_EQ(TickDelta(0x90000000u, 0x80000000u), 0x10000000u);
    EXPECT_EQ(TickDelta(0, 0x7FFFFFFFu), 0x7FFFFFFFu);
}

TEST(GetTick, FollowsTheMonotonicClock)
{
    const std::uint32_t before = static_cast<std::uint32_t>(rt::MonotonicMilliseconds());
    const std::uint32_t tick = GetTick();
    const std::uint32_t after = static_cast<std::uint32_t>(rt::MonotonicMilliseconds());
    EXPECT_LE(TickDelta(before, tick), TickDelta(before, after));
    EXPECT_LE(TickDelta(tick, after), TickDelta(before, after));
}

TEST(PosCRLF, FindsTheFirstLineEndAndPairsOnlyCrLfOrLfCr)
{
    std::string end = "junk";
    EXPECT_EQ(PosCRLF("abc", end), -1);
    EXPECT_EQ(end, "");
    EXPECT_EQ(PosCRLF("", end), -1);
    EXPECT_EQ(PosCRLF("ab\r\ncd", end), 3);
    EXPECT_EQ(end, "\r\n");
    EXPECT_EQ(PosCRLF("ab\n\rcd", end), 3);
    EXPECT_EQ(end, "\n\r");
    EXPECT_EQ(PosCRLF("\rx", end), 1);
    EXPECT_EQ(end, "\r");
    EXPECT_EQ(PosCRLF("a\n\nb", end), 2);
    EXPECT_EQ(end, "\n");
    EXPECT_EQ(PosCRLF("a\r\rb", end), 2);
    EXPECT_EQ(end, "\r");
    EXPECT_EQ(PosCRLF("abc\r", end), 4); // a CR at the very end stands alone
    EXPECT_EQ(end, "\r");
}

} // namespace
} // namespace hp
