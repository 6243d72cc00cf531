#include "tests/support/kernel_fixture.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "sim/kernel/irql.h"

void KernelTest::SetUp() {
    sim::kernel::boot(machine());
    pool_before_ = sim::kernel::pool_outstanding();
}

void KernelTest::TearDown() {
    EXPECT_TRUE(sim::kernel::wait_for_system_threads(10000)) << "stand-in system threads still running";
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    auto pool_after = sim::kernel::pool_outstanding();
    EXPECT_TRUE(pool_after == pool_before_) << "pool left allocated:\n" << sim::kernel::pool_leak_report();
    sim::kernel::clear_faults();
}

sim::kernel::bug_check KernelTest::expect_bug_check(ULONG code, const std::function<void()>& action) {
    try {
        action();
    } catch (const sim::kernel::bug_check& stop) {
        EXPECT_EQ(stop.code, code) << stop.what();
        return stop;
    }
    ADD_FAILURE() << "expected bug check " << std::hex << code;
    ULONG_PTR none[4] = {0, 0, 0, 0};
    return sim::kernel::bug_check(0, none, "");
}

bool KernelTest::logged(const std::string& text) {
    auto lines = log();
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

bool eventually(const std::function<bool()>& condition, int milliseconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}
