// The driver's view of the processors and NUMA nodes: how many processors there are and may
// be, which one the caller runs on, the node of each, and group affinities.
//
// The processor-group routines of the kernel are found by name at run time (older systems lack
// some of them; each has a fallback for a single group).
#pragma once

#include "driver/platform/os.h"

// A node number that names no node: no preference.
constexpr LONG KPAV_NO_NUMA_NODE = -1;

ULONG kpav_active_cpus();   // processors that run now; indices below it are online
ULONG kpav_max_cpus();      // possible processors: the size of per-processor tables
ULONG kpav_current_cpu();   // index of the processor the caller runs on
USHORT kpav_node_of_cpu(ULONG cpu);  // 0 when not known

// Builds kpav_cpu_topology (again, when called again). 0, or -KPAV_ENOMEM when the table cannot be
// had (the counts are still set and every processor then counts as node 0). PASSIVE_LEVEL.
int kpav_numa_init();
// Frees the table; the processor routines are looked up again by the next kpav_numa_init.
// PASSIVE_LEVEL.
void kpav_numa_exit();

// The processors and nodes as the driver counts them.
struct kpav_topology {
    ULONG node_count;    // highest node number + 1
    ULONG cpu_count;     // maximum processor count over all groups
    ULONG* node_of_cpu;  // node per processor index (pool, "top4"); NULL when it could not be built
};
extern kpav_topology kpav_cpu_topology;

// The single-processor group affinity of processor `cpu`, and its node when `node` is given.
void kpav_cpu_affinity(ULONG cpu, GROUP_AFFINITY* affinity, USHORT* node);
// The active processors of `node` as a group affinity (empty when the node has none).
void kpav_node_affinity(USHORT node, GROUP_AFFINITY* affinity);
// Bit k of *mask names the k-th active processor of `node` (counted from its first); on return
// *mask holds those processors as a mask of the node's group (0 for those the node lacks) and
// *group that group.
void kpav_node_mask(USHORT node, USHORT* group, KAFFINITY* mask);
// Sets the calling thread's group affinity (nothing when the system cannot). PASSIVE_LEVEL.
void kpav_set_thread_affinity(GROUP_AFFINITY* affinity);

// The kernel's processor-change registration, found by name with the other processor routines:
// 0 with the kernel's handle in *handle (NULL when the system has no such routine: processors
// are then never added), or -KPAV_ENOMEM when the kernel refused. PASSIVE_LEVEL.
int kpav_register_kernel_processor_change(PPROCESSOR_CALLBACK_FUNCTION callback, PVOID context, ULONG flags,
                                          PVOID* handle);
void kpav_deregister_kernel_processor_change(PVOID handle);
