#include "driver/card/cpu_queues.h"

#include "driver/card/pipeline_device.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/memory.h"

int cpu_wq_attach_card(pipeline_device* card) {
    PAGED_CODE();
    ULONG cpus = kpav_max_cpus();
    if (card->cpu_queues == nullptr) {
        card->cpu_queues = (completion_queue**)kpav_zalloc(cpus * sizeof(completion_queue*), KPAV_TAG_MAL);
        if (card->cpu_queues == nullptr) {
            return -KPAV_ENOMEM;
        }
    }
    ULONG queues = card->completion_queue_count;
    if (queues > PAV_MAX_COMPLETION_QUEUES) {
        queues = PAV_MAX_COMPLETION_QUEUES;
    }
    if (queues <= 2) {
        card->special_queues[0] = card->completion_queues[0];
        card->special_queues[1] = card->completion_queues[0];
        for (ULONG cpu = 0; cpu < cpus; cpu++) {
            card->cpu_queues[cpu] = card->completion_queues[0];
        }
        card->completion_queues_in_use = 1;
        return 0;
    }
    card->special_queues[0] = card->completion_queues[0];
    card->special_queues[1] = card->completion_queues[1];
    kpav_topology topology = kpav_cpu_topology;
    if (topology.cpu_count != cpus) {
        // No table for this machine: every processor counts as node 0.
        topology = kpav_topology{topology.node_count, cpus, nullptr};
    }
    int used = kpav_cq_map_cpus(&card->completion_queues[2], queues - 2, &topology, card->cpu_queues);
    if (used < 0) {
        return used;
    }
    card->completion_queues_in_use = (ULONG)used + 2;
    return 0;
}

void cpu_wq_detach_card(pipeline_device* card) {
    PAGED_CODE();
    if (card->cpu_queues != nullptr) {
        kpav_free(card->cpu_queues, KPAV_TAG_MAL);
        card->cpu_queues = nullptr;
    }
}

int kpav_cq_map_cpus(completion_queue* const* first, ULONG count, const kpav_topology* topology,
                     completion_queue** per_cpu) {
    PAGED_CODE();
    ULONG cpus = topology->cpu_count;
    ULONG active = kpav_active_cpus();
    if (count == 0 || cpus == 0) {
        return 0;
    }
    if (count >= active) {
        // Enough queues: each online processor its own, in turn; an offline one shares the
        // queue of the next online processor.
        ULONG next = 0;
        for (ULONG cpu = 0; cpu < cpus; cpu++) {
            per_cpu[cpu] = first[next];
            if (cpu < active) {
                next = (next + 1) % count;
            }
        }
        return (int)(count < active ? count : active);
    }
    ULONG nodes = topology->node_count != 0 ? topology->node_count : 1;
    ULONG group_size = 1;
    ULONG groups = nodes;
    ULONG per_group = count / nodes;
    if (count < nodes) {
        // Fewer queues than nodes: neighbouring nodes share one queue, in groups as small as
        // the queues allow.
        group_size = 2;
        while ((nodes + group_size - 1) / group_size > count) {
            group_size++;
        }
        groups = (nodes + group_size - 1) / group_size;
        per_group = 1;
    }
    constexpr ULONG groups_on_stack = 64;
    ULONG on_stack[groups_on_stack] = {};
    ULONG* given = on_stack;
    if (groups > groups_on_stack) {
        given = (ULONG*)kpav_zalloc(groups * sizeof(ULONG), KPAV_TAG_PRO);
        if (given == nullptr) {
            return -KPAV_ENOMEM;
        }
    }
    for (ULONG cpu = 0; cpu < cpus; cpu++) {
        ULONG node = topology->node_of_cpu != nullptr ? topology->node_of_cpu[cpu] : 0;
        ULONG group = node / group_size;
        if (group >= groups) {
            group = groups - 1;
        }
        per_cpu[cpu] = first[group * per_group + given[group] % per_group];
        given[group]++;
    }
    if (given != on_stack) {
        kpav_free(given, KPAV_TAG_PRO);
    }
    return (int)(groups * per_group);
}
