// A freshly booted machine for each test, and the checks every test ends with: no stand-in
// thread left running, no pool left allocated, the test's thread back at PASSIVE_LEVEL.
//
// Blocking tests wait with a bound: `eventually` for a condition, `bounded_thread` for a thread
// that must finish. A test that still runs after deadline_seconds() (a deadlock on the test's
// own thread) ends the test program with a message naming it, before the test runner's
// time-out.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
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

// Polls `condition` every millisecond for up to `real_milliseconds`; true once it holds.
bool eventually(const std::function<bool()>& condition, unsigned real_milliseconds = 10000);

// A thread whose end a test waits for with a bound. A thread that does not end in time is a
// deadlock that cannot be undone: the test program stops with a message naming it.
class bounded_thread {
  public:
    bounded_thread(const char* what, std::function<void()> body);
    ~bounded_thread();  // joins, within the bound
    bounded_thread(const bounded_thread&) = delete;
    bounded_thread& operator=(const bounded_thread&) = delete;
    // Waits up to `real_milliseconds` for the thread to end; true when it has (and is joined).
    bool finished_within(unsigned real_milliseconds);
    // Joins within 10 s, or stops the test program.
    void join();

  private:
    std::string what_;
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
    std::thread thread_;
};

class KernelTest : public ::testing::Test {
  public:
    ~KernelTest() override;

  protected:
    void SetUp() override;
    void TearDown() override;

    // The machine of the test; override to change processors, nodes or the clock.
    virtual sim::kernel::machine_config machine() const { return {}; }
    // How long the test may run (real time) before it counts as a deadlock: longer than the
    // slowest test under the thread sanitizer on two processors, shorter than the runner's limit.
    virtual unsigned deadline_seconds() const { return 250; }

    // Runs `action`, which must stop the machine with bug check `code`; returns the stop.
    static sim::kernel::bug_check expect_bug_check(ULONG code, const std::function<void()>& action);

    // Debug-print texts captured since the test began (or the last clear).
    static std::vector<std::string> log() { return sim::kernel::debug_texts(); }
    static bool logged(const std::string& text);

  private:
    void start_watchdog();
    void stop_watchdog();

    std::map<std::string, sim::kernel::pool_usage> pool_before_;
    std::mutex watchdog_mutex_;
    std::condition_variable watchdog_wake_;
    bool test_over_ = false;
    std::thread watchdog_;
};
