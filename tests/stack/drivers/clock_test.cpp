// The real clock: a short sleep is bounded both ways and tick differences survive the wrap.
#include "stack/drivers/clock.h"

#include <gtest/gtest.h>

#include <chrono>

TEST(Clock, DifferencesAreTakenModuloTheWrap) {
    uint32_t start = 4294967290u;
    uint32_t now = 10;
    EXPECT_EQ(uint32_t(now - start), 16u);
}

TEST(Clock, FiveMillisecondDelayIsBoundedBothWays) {
    auto before = std::chrono::steady_clock::now();
    uint32_t tickBefore = tickCount();
    delayMs(5);
    uint32_t ticks = uint32_t(tickCount() - tickBefore);
    auto took = std::chrono::duration_cast<std::chrono::microseconds>(
                    std::chrono::steady_clock::now() - before)
                    .count();
    EXPECT_GE(took, 5000);
    EXPECT_LT(took, 50000);
    EXPECT_GE(ticks, 4u); // whole-millisecond ticks may cut a part at each end
    EXPECT_LT(ticks, 50u);
}

TEST(Clock, ZeroDelayReturnsAtOnce) {
    auto before = std::chrono::steady_clock::now();
    delayMs(0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(50));
}
