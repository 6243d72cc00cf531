#include "tests/support/kernel_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "sim/kernel/irql.h"

namespace {

[[noreturn]] void stop_program(const std::string& why) {
    std::fprintf(stderr, "\n*** %s: stopping the test program (a deadlock?)\n", why.c_str());
    std::fflush(nullptr);
    std::abort();
}

std::string current_test_name() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return info != nullptr ? std::string(info->test_suite_name()) + "." + info->name() : "a test";
}

}  // namespace

bool eventually(const std::function<bool()>& condition, unsigned real_milliseconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(real_milliseconds);
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bounded_thread::bounded_thread(const char* what, std::function<void()> body) : what_(what) {
    thread_ = std::thread([this, body = std::move(body)] {
        body();
        std::lock_guard<std::mutex> g(mutex_);
        done_ = true;
        ended_.notify_all();
    });
}

bounded_thread::~bounded_thread() {
    if (thread_.joinable()) {
        join();
    }
}

bool bounded_thread::finished_within(unsigned real_milliseconds) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!ended_.wait_for(lock, std::chrono::milliseconds(real_milliseconds), [this] { return done_; })) {
            return false;
        }
    }
    thread_.join();
    return true;
}

void bounded_thread::join() {
    if (!finished_within(10000)) {
        stop_program(current_test_name() + ": " + what_ + " did not end within 10 s");
    }
}

KernelTest::~KernelTest() {
    stop_watchdog();  // also when a test's own TearDown stopped before the fixture's
}

void KernelTest::SetUp() {
    start_watchdog();
    sim::kernel::boot(machine());
    pool_before_ = sim::kernel::pool_outstanding();
}

void KernelTest::TearDown() {
    EXPECT_TRUE(sim::kernel::wait_for_system_threads(10000)) << "stand-in system threads still running";
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    auto pool_after = sim::kernel::pool_outstanding();
    EXPECT_TRUE(pool_after == pool_before_) << "pool left allocated:\n" << sim::kernel::pool_leak_report();
    sim::kernel::clear_faults();
    stop_watchdog();
}

void KernelTest::start_watchdog() {
    unsigned seconds = deadline_seconds();
    std::string name = current_test_name();
    watchdog_ = std::thread([this, seconds, name] {
        std::unique_lock<std::mutex> lock(watchdog_mutex_);
        if (!watchdog_wake_.wait_for(lock, std::chrono::seconds(seconds), [this] { return test_over_; })) {
            stop_program(name + " still runs after " + std::to_string(seconds) + " s");
        }
    });
}

void KernelTest::stop_watchdog() {
    {
        std::lock_guard<std::mutex> g(watchdog_mutex_);
        test_over_ = true;
    }
    watchdog_wake_.notify_all();
    if (watchdog_.joinable()) {
        watchdog_.join();
    }
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
