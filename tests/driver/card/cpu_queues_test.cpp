// The placement of a card's completion queues on the processors.

#include <vector>

#include "driver/card/cpu_queues.h"
#include "driver/card/pipeline_device.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

class CpuQueuesTest : public KernelTest {
  protected:
    machine_config machine() const override { return four_of_eight_on_two_nodes(); }
    void TearDown() override {
        kpav_numa_exit();
        KernelTest::TearDown();
    }
};

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

TEST_F(CpuQueuesTest, CardQueuesArePlacedByNodeGroupsOrInRotation) {
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

TEST_F(CpuQueuesTest, AttachWithoutMemoryForTheTableFails) {
    pipeline_device card{};
    card.completion_queue_count = 1;
    card.completion_queues[0] = queue(0);
    fail_nth(fault_site::pool, 1, "mal4");
    EXPECT_EQ(cpu_wq_attach_card(&card), -12);
    EXPECT_EQ(card.cpu_queues, nullptr);
    cpu_wq_detach_card(&card);
}
