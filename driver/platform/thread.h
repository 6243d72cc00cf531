// System threads of the driver, its view of the processors and NUMA nodes, and the placement of
// a card's completion queues on the processors.
//
// The processor-group routines of the kernel are found by name at run time (older systems lack
// some of them; each has a fallback for a single group).
#pragma once

#include "driver/platform/os.h"

struct pipeline_device;
struct completion_queue;

using kpav_thread_fn = void (*)(void* argument);

// The start context of a driver thread (pool, tag "thr4"); the thread frees it before it ends.
struct kpav_thread {
    HANDLE handle;             // left empty: the thread may be gone before its creator returns
    pipeline_device* device;   // card whose NUMA node an unbound thread prefers; NULL for bound ones
    kpav_thread_fn function;
    void* argument;
    ULONG tag;                 // pool tag the context is freed with
    ULONG bound;
    ULONG cpu;                 // processor index of a bound thread
    ULONG reserved[5];
};
static_assert(sizeof(kpav_thread) == 64);
static_assert(offsetof(kpav_thread, tag) == 32 && offsetof(kpav_thread, cpu) == 40);

// Bound threads running their function. Driver unload waits for it to reach 0.
extern volatile LONG kpav_live_bound_threads;

// The common creator: a thread bound to processor `cpu`, or (bound 0) a thread that runs on
// the NUMA node of `device` when it has one and affinity is not disabled (no device: no
// preference). Thread names are not kept. 0, or -22 for a bound request on a processor that
// is not active, -12 when the context or the thread cannot be had (logged, messages 6165 and
// 6166). PASSIVE_LEVEL.
int kpav_create_thread_on_cpu(kpav_thread_fn function, void* argument, pipeline_device* device, ULONG bound,
                              ULONG cpu);
int kpav_create_thread(kpav_thread_fn function, void* argument, pipeline_device* device);
int kpav_create_bound_thread(kpav_thread_fn function, void* argument, pipeline_device* device, ULONG cpu,
                             const char* name_format, ...);

// The processors and nodes as the driver counts them.
struct kpav_topology {
    ULONG node_count;    // highest node number + 1
    ULONG cpu_count;     // maximum processor count over all groups
    ULONG* node_of_cpu;  // node per processor index (pool, "top4"); NULL when it could not be built
};
extern kpav_topology kpav_cpu_topology;

// Builds kpav_cpu_topology (again, when called again). 0, or -12 when the table cannot be had
// (the counts are still set and every processor then counts as node 0). PASSIVE_LEVEL.
int kpav_numa_init();
// Frees the table; the processor routines are looked up again by the next kpav_numa_init.
void kpav_numa_exit();

ULONG kpav_active_cpus();   // processors that run now; indices below it are online
ULONG kpav_max_cpus();      // possible processors: the size of per-processor tables
ULONG kpav_current_cpu();   // index of the processor the caller runs on
USHORT kpav_node_of_cpu(ULONG cpu);  // 0 when not known

// The single-processor group affinity of processor `cpu`, and its node when `node` is given.
void kpav_cpu_affinity(ULONG cpu, GROUP_AFFINITY* affinity, USHORT* node);
// Bit k of *mask names the k-th active processor of `node` (counted from its first); on return
// *mask holds those processors as a mask of the node's group (0 for those the node lacks) and
// *group that group.
void kpav_node_mask(USHORT node, USHORT* group, KAFFINITY* mask);
// Sets the calling thread's group affinity (nothing when the system cannot). PASSIVE_LEVEL.
void kpav_set_thread_affinity(GROUP_AFFINITY* affinity);

// Gives every processor index (of topology->cpu_count) one of the `count` queues from `first`:
// by node groups when there are fewer queues than active processors, else in rotation over the
// online processors. Returns the number of queues used, or -12.
int kpav_cq_map_cpus(completion_queue* const* first, ULONG count, const kpav_topology* topology,
                     completion_queue** per_cpu);

// Processor-change notifications: `function(kind, cpu)` is called for each processor added
// (kind 1, also for those that exist when the first function is registered), at PASSIVE_LEVEL.
constexpr ULONG KPAV_PROCESSOR_ADDED = 1;
using kpav_processor_change_fn = void (*)(ULONG kind, ULONG cpu);
int kpav_register_processor_change(kpav_processor_change_fn function);
void kpav_unregister_processor_change(kpav_processor_change_fn function);
