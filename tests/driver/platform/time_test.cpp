// Coarse time: tick count x increment, and whole microseconds per tick.

#include "driver/platform/time.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

class TimeTest : public KernelTest {
  protected:
    machine_config machine() const override {
        machine_config c;
        c.clock_rate = 0;  // frozen: time moves only when the test moves it
        return c;
    }
};

TEST_F(TimeTest, MicrosecondsPerTickAreWholeAndRounded) {
    struct {
        ULONG increment;
        ULONG usecs;
    } const cases[] = {
        {156250, 15625},   // 64 ticks a second
        {100144, 10101},   // 99 ticks a second: 1000000 / 99, not 10014.4
        {100000, 10000},
        {10, 1},
        {20000000, 2000000},  // a tick longer than a second
        {0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kpav_usecs_per_tick(c.increment), c.usecs) << c.increment;
    }
}

TEST_F(TimeTest, UsecsFollowTheTickCount) {
    EXPECT_EQ(kpav_get_usecs(), 0u);
    advance_clock(3 * time_increment + time_increment / 2);  // three and a half ticks
    EXPECT_EQ(kpav_get_usecs(), 3u * time_increment / 10);   // one tick of resolution
    EXPECT_EQ(kpav_ticks_to_usecs(3), 46875u);
    EXPECT_EQ(kpav_ticks_to_usecs(0), 0u);
    EXPECT_EQ(kpav_ticks_to_usecs(1000000), 15625000000u);
}
