// DPCs: per-processor queues drained at DISPATCH_LEVEL by a DPC thread of that processor.

#include <atomic>
#include <thread>
#include <vector>

#include "sim/kernel/control.h"
#include "sim/kernel/io_control.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/thread_state.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

namespace {

struct dpc_run {
    std::atomic<int> runs{0};
    std::atomic<ULONG> processor{0xFFFF};
    std::atomic<KIRQL> irql{0};
    std::atomic<bool> on_dpc_thread{false};
    PVOID argument1 = nullptr;
};

void record_dpc(PKDPC, PVOID context, PVOID argument1, PVOID) {
    auto* r = (dpc_run*)context;
    r->processor = KeGetCurrentProcessorNumberEx(nullptr);
    r->irql = KeGetCurrentIrql();
    r->on_dpc_thread = current_thread().kind == thread_kind::dpc;
    r->argument1 = argument1;
    r->runs++;
}

}  // namespace

class DpcTest : public KernelTest {
  protected:
    machine_config machine() const override {
        machine_config c;
        c.max_processors = 8;
        c.active_processors = 4;
        return c;
    }
    void TearDown() override {
        KeFlushQueuedDpcs();
        EXPECT_EQ(queued_dpcs(), 0u);
        KernelTest::TearDown();
    }
};

TEST_F(DpcTest, RunsOnItsTargetProcessorAtDispatchLevel) {
    struct {
        const char* what;
        int target;  // -1: no target (the queuing processor)
        ULONG queued_from;
        ULONG runs_on;
    } const cases[] = {
        {"targeted", 2, 0, 2},
        {"targeted elsewhere", 3, 1, 3},
        {"the queuing processor", -1, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        dpc_run run;
        KDPC dpc;
        KeInitializeDpc(&dpc, record_dpc, &run);
        if (c.target >= 0) {
            PROCESSOR_NUMBER n{};
            n.Number = (UCHAR)c.target;
            ASSERT_EQ(KeSetTargetProcessorDpcEx(&dpc, &n), STATUS_SUCCESS);
        }
        set_current_processor(c.queued_from);
        int marker = 7;
        EXPECT_TRUE(KeInsertQueueDpc(&dpc, &marker, nullptr));
        KeFlushQueuedDpcs();
        EXPECT_EQ(run.runs.load(), 1);
        EXPECT_EQ(run.processor.load(), c.runs_on);
        EXPECT_EQ(run.irql.load(), DISPATCH_LEVEL);
        EXPECT_TRUE(run.on_dpc_thread.load());
        EXPECT_EQ(run.argument1, &marker);
    }
    set_current_processor(0);
}

TEST_F(DpcTest, QueuedOnceUntilItRunsAndCanBeTakenBack) {
    // Hold processor 1's DPC thread in a first DPC so that the second stays queued.
    static std::atomic<bool> release;
    static std::atomic<bool> holding;
    release = false;
    holding = false;
    auto hold = [](PKDPC, PVOID, PVOID, PVOID) {
        holding = true;
        while (!release) {
            std::this_thread::yield();
        }
    };
    PROCESSOR_NUMBER one{};
    one.Number = 1;
    KDPC blocker;
    KeInitializeDpc(&blocker, hold, nullptr);
    KeSetTargetProcessorDpcEx(&blocker, &one);
    dpc_run run;
    KDPC dpc;
    KeInitializeDpc(&dpc, record_dpc, &run);
    KeSetTargetProcessorDpcEx(&dpc, &one);

    ASSERT_TRUE(KeInsertQueueDpc(&blocker, nullptr, nullptr));
    while (!holding) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));  // already queued
    EXPECT_EQ(queued_dpcs(), 2u);                            // the running one and the queued one
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    release = true;
    KeFlushQueuedDpcs();
    EXPECT_EQ(run.runs.load(), 0);

    // Once it has run it can be queued again.
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    KeFlushQueuedDpcs();
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    KeFlushQueuedDpcs();
    EXPECT_EQ(run.runs.load(), 2);
}

// A DPC routine must return at DISPATCH_LEVEL, where it was called; the machine stops when it
// does not (on the DPC thread, so the whole program ends).
TEST_F(DpcTest, ARoutineReturningAtAnotherIrqlStopsTheMachine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct case_row {
        const char* what;
        PKDEFERRED_ROUTINE routine;
        const char* report;
    } const cases[] = {
        {"raised",
         [](PKDPC, PVOID, PVOID, PVOID) {
             KIRQL old;
             KeRaiseIrql(HIGH_LEVEL, &old);
         },
         "DPC routine .* returned at IRQL 15.*STOP: 0x0000000A"},
        {"lowered", [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); },
         "DPC routine .* returned at IRQL 0.*STOP: 0x0000000A"},
    };
    for (const case_row& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_DEATH(
            {
                KDPC dpc;
                KeInitializeDpc(&dpc, c.routine, nullptr);
                KeInsertQueueDpc(&dpc, nullptr, nullptr);
                KeFlushQueuedDpcs();
            },
            c.report);
    }
}

TEST_F(DpcTest, TargetMustBeAProcessorOfTheMachine) {
    KDPC dpc;
    KeInitializeDpc(&dpc, record_dpc, nullptr);
    PROCESSOR_NUMBER beyond{};
    beyond.Number = 8;
    EXPECT_EQ(KeSetTargetProcessorDpcEx(&dpc, &beyond), STATUS_INVALID_PARAMETER);
    KeSetTargetProcessorDpc(&dpc, 5);  // possible, not active: still a processor of the machine
    EXPECT_EQ(dpc.Number, 6);
}

TEST_F(DpcTest, FlushIsAPassiveLevelWait) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    expect_bug_check(IRQL_NOT_LESS_OR_EQUAL, [] { KeFlushQueuedDpcs(); });
}
