// Deferred work through a framework work item of the driver's first device.

#include <atomic>
#include <string>

#include "driver/platform/work.h"
#include "sim/kernel/thread_state.h"
#include "tests/driver/platform/framework_driver.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

namespace {

struct job {
    tavrin_work work;
    std::atomic<int> runs{0};
    KIRQL irql = 0xFF;
    bool on_worker = false;
};

void run_job(tavrin_work* work) {
    job* j = CONTAINING_RECORD(work, job, work);
    j->irql = KeGetCurrentIrql();
    j->on_worker = current_thread().kind == thread_kind::worker;
    j->runs++;
}

const char* const no_device = "paverr Corvane driver: 06167 Failed to enumerate device object during tavrin_schedule_work.\n";
const char* const no_work_item = "paverr Corvane driver: 06168 Failed to create work item in tavrin_schedule_work.\n";

}  // namespace

class WorkTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        objects_before_ = objects::outstanding_objects();
        framework_objects_before_ = sim::kmdf::live_objects();
    }
    void TearDown() override {
        EXPECT_TRUE(wait_for_work_items(10000));
        driver_.unload();
        EXPECT_EQ(sim::kmdf::live_objects(), framework_objects_before_);
        EXPECT_EQ(objects::outstanding_objects(), objects_before_);
        EXPECT_EQ(allocated_io_work_items(), 0u);
        KernelTest::TearDown();
    }

    framework_driver driver_;
    ULONG objects_before_ = 0;
    ULONG framework_objects_before_ = 0;
};

TEST_F(WorkTest, RunsAtPassiveLevelAndLeavesNothingBehind) {
    driver_.load(2);
    ULONG framework_objects = sim::kmdf::live_objects();
    ULONG objects = objects::outstanding_objects();
    job j;
    j.work.function = run_job;
    EXPECT_EQ(tavrin_schedule_work(&j.work), 0);
    // The newest device object comes first in the driver's list.
    EXPECT_EQ(j.work.device, driver_.devices()[1]);
    ASSERT_TRUE(wait_for_work_items(10000));
    EXPECT_EQ(j.runs.load(), 1);
    EXPECT_EQ(j.irql, PASSIVE_LEVEL);
    EXPECT_TRUE(j.on_worker);
    // The work item deleted itself and the device reference was dropped.
    EXPECT_EQ(sim::kmdf::live_objects(), framework_objects);
    EXPECT_EQ(objects::outstanding_objects(), objects);
    EXPECT_TRUE(log().empty());

    // Again, and from APC_LEVEL (the processor-change path holds a fast mutex).
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(tavrin_schedule_work(&j.work), 0);
    KeLowerIrql(old);
    ASSERT_TRUE(wait_for_work_items(10000));
    EXPECT_EQ(j.runs.load(), 2);
}

TEST_F(WorkTest, FailuresAreLoggedAndReported) {
    job j;
    j.work.function = run_job;
    struct {
        const char* what;
        int devices;  // -1: no framework driver at all
        bool refuse_work_item;
        int result;
        const char* message;
    } const cases[] = {
        {"no driver", -1, false, -19, no_device},
        {"a driver without devices", 0, false, -19, no_device},
        {"no work item", 1, true, -12, no_work_item},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        clear_debug_lines();
        if (c.devices >= 0) {
            driver_.load(c.devices);
        }
        ULONG objects = objects::outstanding_objects();
        if (c.refuse_work_item) {
            fail_nth(fault_site::work_item, 1);
        }
        EXPECT_EQ(tavrin_schedule_work(&j.work), c.result);
        EXPECT_EQ(log(), std::vector<std::string>{c.message});
        EXPECT_EQ(objects::outstanding_objects(), objects);  // no device reference kept
        clear_faults();
        driver_.unload();
    }
    ASSERT_TRUE(wait_for_work_items(10000));
    EXPECT_EQ(j.runs.load(), 0);
}
