// A freshly booted machine for each test, and the checks every test ends with: no stand-in
// thread left running, no pool left allocated, the test's thread back at PASSIVE_LEVEL.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/kernel/control.h"

// 8 possible processors, 4 active, on 2 nodes: 0, 1 and 4, 5 on node 0; 2, 3 and 6, 7 on node 1.
inline sim::kernel::machine_config four_of_eight_on_two_nodes() {
    sim::kernel::machine_config c;
    c.max_processors = 8;
    c.active_processors = 4;
    c.node_count = 2;
    c.node_of_processor = {0, 0, 1, 1, 0, 0, 1, 1};
    return c;
}

// Waits (real time, bounded) until the condition holds; false when it never did.
bool eventually(const std::function<bool()>& condition, int milliseconds = 10000);

class KernelTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The machine of the test; override to change processors, nodes or the clock.
    virtual sim::kernel::machine_config machine() const { return {}; }

    // Runs `action`, which must stop the machine with bug check `code`; returns the stop.
    static sim::kernel::bug_check expect_bug_check(ULONG code, const std::function<void()>& action);

    // Debug-print texts captured since the test began (or the last clear).
    static std::vector<std::string> log() { return sim::kernel::debug_texts(); }
    static bool logged(const std::string& text);

  private:
    std::map<std::string, sim::kernel::pool_usage> pool_before_;
};
