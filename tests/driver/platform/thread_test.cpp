// Driver threads and the processor-to-node table.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "driver/card/pipeline_device.h"
#include "driver/platform/params.h"
#include "driver/platform/thread.h"
#include "sim/kernel/thread_state.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

class ThreadTest : public KernelTest {
  protected:
    machine_config machine() const override { return four_of_eight_on_two_nodes(); }
    void TearDown() override {
        kpav_numa_exit();
        win_disable_all_affinity = 0;
        KernelTest::TearDown();
    }
};

TEST_F(ThreadTest, NumaTableMapsActiveProcessorsToTheirNodes) {
    ASSERT_EQ(kpav_numa_init(), 0);
    EXPECT_EQ(kpav_cpu_topology.node_count, 2u);
    EXPECT_EQ(kpav_cpu_topology.cpu_count, 8u);
    std::vector<ULONG> nodes(kpav_cpu_topology.node_of_cpu, kpav_cpu_topology.node_of_cpu + 8);
    // Processors that are not active are in no node's active set: node 0.
    EXPECT_EQ(nodes, (std::vector<ULONG>{0, 0, 1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(pool_outstanding("top4"), (pool_usage{1, 32}));
    kpav_numa_exit();
    EXPECT_EQ(pool_outstanding("top4"), (pool_usage{}));

    fail_nth(fault_site::pool, 1, "top4");
    EXPECT_EQ(kpav_numa_init(), -12);
    EXPECT_EQ(kpav_cpu_topology.node_of_cpu, nullptr);
    EXPECT_EQ(kpav_cpu_topology.cpu_count, 8u);
    EXPECT_EQ(kpav_node_of_cpu(3), 0);
}

TEST_F(ThreadTest, MissingProcessorRoutinesFallBackToOneGroup) {
    struct {
        const char* missing;
        ULONG cpu_count;
        std::vector<ULONG> nodes;
    } const cases[] = {
        {"KeQueryNodeActiveAffinity", 8, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"KeQueryMaximumProcessorCountEx", 4, {0, 0, 1, 1}},
        {"KeGetProcessorNumberFromIndex", 8, {0, 0, 1, 1, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.missing);
        machine_config m = four_of_eight_on_two_nodes();
        m.missing_routines = {c.missing};
        boot(m);
        ASSERT_EQ(kpav_numa_init(), 0);
        EXPECT_EQ(kpav_cpu_topology.cpu_count, c.cpu_count);
        std::vector<ULONG> nodes(kpav_cpu_topology.node_of_cpu, kpav_cpu_topology.node_of_cpu + c.cpu_count);
        EXPECT_EQ(nodes, c.nodes);
        kpav_numa_exit();
    }
}

TEST_F(ThreadTest, ProcessorAffinityAndNodeMasks) {
    ASSERT_EQ(kpav_numa_init(), 0);
    GROUP_AFFINITY affinity;
    USHORT node = 99;
    kpav_cpu_affinity(3, &affinity, &node);
    EXPECT_EQ(affinity.Group, 0);
    EXPECT_EQ(affinity.Mask, 0x8u);
    EXPECT_EQ(node, 1);

    struct {
        USHORT node;
        KAFFINITY in;
        KAFFINITY out;
    } const cases[] = {
        {1, 0x1, 0x4},  // the node's first processor is processor 2
        {1, 0x2, 0x8},
        {1, 0x3, 0xC},
        {1, 0x4, 0x0},  // the node has two active processors
        {0, 0x2, 0x2},
    };
    for (const auto& c : cases) {
        USHORT group = 7;
        KAFFINITY mask = c.in;
        kpav_node_mask(c.node, &group, &mask);
        EXPECT_EQ(mask, c.out) << "node " << c.node << " mask " << c.in;
        EXPECT_EQ(group, 0);
    }
}

namespace {

struct thread_seen {
    std::atomic<int> runs{0};
    ULONG processor = 0xFFFF;
    KIRQL irql = 0xFF;
    bool affinity_set = false;
    LONG live_bound = -1;
};

void observe(void* argument) {
    auto* seen = (thread_seen*)argument;
    seen->processor = KeGetCurrentProcessorNumberEx(nullptr);
    seen->irql = KeGetCurrentIrql();
    seen->affinity_set = current_thread().affinity_set;
    seen->live_bound = kpav_live_bound_threads;
    seen->runs++;
}

}  // namespace

TEST_F(ThreadTest, BoundThreadsRunOnTheirProcessorAndAreCounted) {
    ASSERT_EQ(kpav_numa_init(), 0);
    for (ULONG cpu = 0; cpu < 4; cpu++) {
        thread_seen seen;
        ASSERT_EQ(kpav_create_bound_thread(observe, &seen, cpu, "pav-wq/%d", cpu), 0);
        ASSERT_TRUE(wait_for_system_threads(10000));
        EXPECT_EQ(seen.runs.load(), 1);
        EXPECT_EQ(seen.processor, cpu);
        EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
        EXPECT_EQ(seen.live_bound, 1);
    }
    EXPECT_EQ(kpav_live_bound_threads, 0);
}

TEST_F(ThreadTest, UnboundThreadsPreferTheirCardsNode) {
    ASSERT_EQ(kpav_numa_init(), 0);
    pipeline_device on_node_1{};
    on_node_1.numa_node = 1;
    pipeline_device unknown_node{};
    unknown_node.numa_node = PAV_NO_NUMA_NODE;
    struct {
        const char* what;
        pipeline_device* card;
        LONG disable_affinity;
        bool bound_to_node_1;
    } const cases[] = {
        {"card on node 1", &on_node_1, 0, true},
        {"affinity disabled", &on_node_1, 1, false},
        {"card without a node", &unknown_node, 0, false},
        {"no card: no preference, still a thread", nullptr, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (int round = 0; round < 4; round++) {  // threads start on every processor in turn
            win_disable_all_affinity = c.disable_affinity;
            thread_seen seen;
            ASSERT_EQ(kpav_create_thread(observe, &seen, c.card), 0);
            ASSERT_TRUE(wait_for_system_threads(10000));
            EXPECT_EQ(seen.runs.load(), 1);
            EXPECT_EQ(seen.affinity_set, c.bound_to_node_1);
            if (c.bound_to_node_1) {
                EXPECT_TRUE(seen.processor == 2 || seen.processor == 3) << seen.processor;
            }
            EXPECT_EQ(seen.live_bound, 0);  // only bound threads are counted
        }
    }
}

TEST_F(ThreadTest, ARefusedThreadIsReportedToItsCaller) {
    ASSERT_EQ(kpav_numa_init(), 0);
    struct {
        const char* what;
        std::function<void()> plan;
        ULONG bound;
        ULONG cpu;
        int result;
        const char* message;
    } const cases[] = {
        {"processor not active", [] {}, 1, 4, -22, nullptr},
        {"no context", [] { fail_nth(fault_site::pool, 1, "thr4"); }, 1, 1, -12,
         "paverr Corvane driver: 06165 Failed to allocate thread context structure.\n"},
        {"no system thread", [] { fail_nth(fault_site::system_thread, 1); }, 0, 0, -12,
         "paverr Corvane driver: 06166 Failed to create new thread.\n"},
        {"no bound system thread", [] { fail_nth(fault_site::system_thread, 1); }, 1, 2, -12,
         "paverr Corvane driver: 06166 Failed to create new thread.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        clear_debug_lines();
        c.plan();
        thread_seen seen;
        EXPECT_EQ(kpav_create_thread_on_cpu(observe, &seen, KPAV_NO_NUMA_NODE, c.bound, c.cpu), c.result);
        clear_faults();
        EXPECT_EQ(live_system_threads(), 0u);
        EXPECT_EQ(pool_outstanding("thr4"), (pool_usage{}));
        EXPECT_EQ(log(), c.message != nullptr ? std::vector<std::string>{c.message} : std::vector<std::string>{});
    }
}
