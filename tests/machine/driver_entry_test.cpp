// Driver entry: a load that fails at any allocation names the step that failed, leaves nothing
// behind (every step before it undone) and lets the driver load again.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#include "driver/shell/shell.h"
#include "sim/kernel/control.h"
#include "sim/kernel/io_control.h"
#include "sim/kmdf/control.h"
#include "sim/machine/machine.h"

namespace {

constexpr const char* failed_line_start = "paverr Corvane driver: ";

// The steps that the log names as failed, in the order of the lines.
std::vector<std::string> failed_steps() {
    std::vector<std::string> steps;
    for (const std::string& line : sim::kernel::debug_texts()) {
        size_t end = line.rfind(" failed (-12)\n");
        if (line.rfind(failed_line_start, 0) == 0 && end != std::string::npos &&
            end + std::string(" failed (-12)\n").size() == line.size()) {
            steps.push_back(line.substr(std::string(failed_line_start).size(), end - std::string(failed_line_start).size()));
        }
    }
    return steps;
}

}  // namespace

TEST(DriverEntryTest, AFailedStepIsNamedAndEverythingBeforeItUndone) {
    uint64_t allocations = 0;
    {
        sim::machine::Machine m;
        uint64_t start = sim::kernel::attempts(sim::kernel::fault_site::pool);
        ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
        allocations = sim::kernel::attempts(sim::kernel::fault_site::pool) - start;
    }
    ASSERT_GT(allocations, 0u);
    // Every step that can fail for want of memory, named once: the core's own steps name
    // themselves, the entry step that ran them does not say it again.
    const std::set<std::string> failing_steps = {"driver registration", "format and metadata blocks", "bio layer",
                                                 "driver globals"};
    std::set<std::string> seen;
    for (uint64_t n = 1; n <= allocations; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        sim::machine::Machine m;
        sim::kernel::clear_debug_lines();
        sim::kernel::fail_nth(sim::kernel::fault_site::pool, n);
        NTSTATUS status = m.load_drivers();
        sim::kernel::clear_faults();
        if (NT_SUCCESS(status)) {
            continue;  // a failure the load goes on without (kinfo, page chunks, topology)
        }
        EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(sim::kernel::pool_leak_report(), "");
        EXPECT_EQ(sim::kernel::live_system_threads(), 0u);
        // One line names the failed step.
        std::vector<std::string> named = failed_steps();
        ASSERT_EQ(named.size(), 1u);
        EXPECT_EQ(failing_steps.count(named[0]), 1u) << named[0];
        seen.insert(named[0]);

        // Nothing of the failed load is in the way of the next one.
        PDRIVER_OBJECT strovane = nullptr;
        ASSERT_EQ(sim::kernel::load_driver("strovane", DriverEntry, &strovane), STATUS_SUCCESS);
        sim::kmdf::unload(strovane);
        EXPECT_EQ(sim::kernel::pool_leak_report(), "");
    }
    EXPECT_EQ(seen, failing_steps);
}
