// The placement of a card's completion queues on the processors: which queue each processor
// retires from.
#pragma once

#include "driver/platform/numa.h"
#include "driver/platform/os.h"

struct completion_queue;
struct pipeline_device;

// Places the card's completion queues: queues 0 and 1 are its two designated queues and the
// others go to the processors (kpav_cq_map_cpus); with two or fewer every processor uses queue
// 0. Allocates the card's per-processor queue table ("mal4"). 0 or -KPAV_ENOMEM. PASSIVE_LEVEL.
int cpu_wq_attach_card(pipeline_device* card);
// Frees the card's per-processor queue table. PASSIVE_LEVEL.
void cpu_wq_detach_card(pipeline_device* card);

// Gives every processor index (of topology->cpu_count) one of the `count` queues from `first`:
// by node groups when there are fewer queues than active processors, else in rotation over the
// online processors. Returns the number of queues used, or -KPAV_ENOMEM. PASSIVE_LEVEL.
int kpav_cq_map_cpus(completion_queue* const* first, ULONG count, const kpav_topology* topology,
                     completion_queue** per_cpu);
