// Driver threads, the processor-to-node table and the placement of completion queues.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "driver/controller/pipeline_device.h"
#include "driver/platform/cpu_wq.h"
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
        ASSERT_EQ(kpav_create_bound_thread(observe, &seen, nullptr, cpu, "pav-wq/%d", cpu), 0);
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
        EXPECT_EQ(kpav_create_thread_on_cpu(observe, &seen, nullptr, c.bound, c.cpu), c.result);
        clear_faults();
        EXPECT_EQ(live_system_threads(), 0u);
        EXPECT_EQ(pool_outstanding("thr4"), (pool_usage{}));
        EXPECT_EQ(log(), c.message != nullptr ? std::vector<std::string>{c.message} : std::vector<std::string>{});
    }
}

// ---------------------------------------------------------------------------------------------
// Completion queues per processor

namespace {

alignas(16) char queue_storage[PAV_MAX_COMPLETION_QUEUES][16];

completion_queue* queue(ULONG i) {
    return (completion_queue*)queue_storage[i];
}

struct mapping_case {
    const char* what;
    machine_config machine;
    ULONG queues;                // the card's completion queues
    ULONG in_use;                // queues in use after the mapping
    std::vector<ULONG> per_cpu;  // queue index of each processor
};

machine_config nodes_of(ULONG cpus, ULONG active, std::vector<USHORT> node_of, USHORT node_count) {
    machine_config c;
    c.max_processors = cpus;
    c.active_processors = active;
    c.node_of_processor = std::move(node_of);
    c.node_count = node_count;
    return c;
}

}  // namespace

TEST_F(ThreadTest, CardQueuesArePlacedByNodeGroupsOrInRotation) {
    const mapping_case cases[] = {
        {"10 queues, 2 nodes, 16 processors: 4 queues per node, in turn",
         nodes_of(16, 16, {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1}, 2), 10, 10,
         {2, 3, 4, 5, 2, 3, 4, 5, 6, 7, 8, 9, 6, 7, 8, 9}},
        {"nodes interleaved",
         nodes_of(8, 8, {0, 1, 0, 1, 0, 1, 0, 1}, 2), 6, 6, {2, 4, 3, 5, 2, 4, 3, 5}},
        {"3 queues, 4 nodes: one group of 4 nodes shares the one queue",
         nodes_of(8, 8, {0, 0, 1, 1, 2, 2, 3, 3}, 4), 3, 3, {2, 2, 2, 2, 2, 2, 2, 2}},
        {"4 queues, 4 nodes: two groups of 2 nodes",
         nodes_of(8, 8, {0, 0, 1, 1, 2, 2, 3, 3}, 4), 4, 4, {2, 2, 2, 2, 3, 3, 3, 3}},
        {"5 queues, 2 nodes: floor(3 / 2) = 1 queue per node",
         nodes_of(8, 8, {0, 0, 0, 0, 1, 1, 1, 1}, 2), 5, 4, {2, 2, 2, 2, 3, 3, 3, 3}},
        {"more queues than active processors: rotation over the online ones",
         nodes_of(8, 4, {}, 1), 8, 6, {2, 3, 4, 5, 6, 6, 6, 6}},
        {"as many queues as active processors", nodes_of(8, 4, {}, 1), 6, 6, {2, 3, 4, 5, 2, 2, 2, 2}},
        {"two queues: all on queue 0", nodes_of(4, 4, {}, 1), 2, 1, {0, 0, 0, 0}},
        {"one queue", nodes_of(4, 4, {}, 1), 1, 1, {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        boot(c.machine);
        ASSERT_EQ(kpav_numa_init(), 0);
        pipeline_device card{};
        card.completion_queue_count = c.queues;
        for (ULONG i = 0; i < c.queues; i++) {
            card.completion_queues[i] = queue(i);
        }
        ASSERT_EQ(cpu_wq_attach_card(&card), 0);
        EXPECT_EQ(card.completion_queues_in_use, c.in_use);
        EXPECT_EQ(card.special_queues[0], queue(0));
        EXPECT_EQ(card.special_queues[1], c.queues > 2 ? queue(1) : queue(0));
        std::vector<ULONG> per_cpu;
        for (ULONG cpu = 0; cpu < c.machine.max_processors; cpu++) {
            per_cpu.push_back((ULONG)(((char*)card.cpu_queues[cpu] - queue_storage[0]) / 16));
        }
        EXPECT_EQ(per_cpu, c.per_cpu);
        cpu_wq_detach_card(&card);
        kpav_numa_exit();
    }
}

TEST_F(ThreadTest, AttachWithoutMemoryForTheTableFails) {
    pipeline_device card{};
    card.completion_queue_count = 1;
    card.completion_queues[0] = queue(0);
    fail_nth(fault_site::pool, 1, "mal4");
    EXPECT_EQ(cpu_wq_attach_card(&card), -12);
    EXPECT_EQ(card.cpu_queues, nullptr);
    cpu_wq_detach_card(&card);
}
