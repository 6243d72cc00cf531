// The kernel's debug print capture: every line for the tests, or the newest few for a machine
// that runs for long, and every line echoed to the log either way.

#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "sim/kernel/control.h"
#include "sim/kernel/kernel.h"
#include "tests/support/kernel_fixture.h"

namespace {

using DebugCaptureTest = KernelTest;

std::string echoed(FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        text.append(buffer, n);
    }
    return text;
}

TEST_F(DebugCaptureTest, ALimitKeepsTheNewestLinesAndTheEchoGetsEveryOne) {
    FILE* log = std::tmpfile();
    ASSERT_NE(log, nullptr);
    sim::kernel::set_debug_echo(log);
    DbgPrint("before %d\n", 0);
    sim::kernel::set_debug_capture_limit(3);
    EXPECT_EQ(sim::kernel::debug_texts(), std::vector<std::string>{"before 0\n"});
    for (int i = 1; i <= 1000; i++) {
        DbgPrint("line %d\n", i);
    }
    EXPECT_EQ(sim::kernel::debug_texts(), (std::vector<std::string>{"line 998\n", "line 999\n", "line 1000\n"}));
    sim::kernel::set_debug_capture_limit(1);
    EXPECT_EQ(sim::kernel::debug_texts(), std::vector<std::string>{"line 1000\n"}) << "a lower limit drops the oldest";
    sim::kernel::set_debug_capture_limit(0);
    DbgPrint("unkept\n");
    EXPECT_TRUE(sim::kernel::debug_texts().empty());
    sim::kernel::set_debug_capture_limit(std::numeric_limits<size_t>::max());
    sim::kernel::set_debug_echo(nullptr);

    std::string text = echoed(log);
    std::fclose(log);
    EXPECT_NE(text.find("before 0\nline 1\nline 2\n"), std::string::npos);
    EXPECT_NE(text.find("line 1000\nunkept\n"), std::string::npos);

    // Boot lifts the limit: the tests after it read every line again.
    sim::kernel::set_debug_capture_limit(1);
    sim::kernel::boot();
    DbgPrint("a\n");
    DbgPrint("b\n");
    EXPECT_EQ(sim::kernel::debug_texts(), (std::vector<std::string>{"a\n", "b\n"}));
}

}  // namespace
