// System threads of the driver: unbound ones that prefer a NUMA node, and ones bound to a
// processor. A thread runs its function at PASSIVE_LEVEL and ends when the function returns.
#pragma once

#include "driver/platform/numa.h"
#include "driver/platform/os.h"
#include "driver/platform/processor_change.h"

using kpav_thread_fn = void (*)(void* argument);

// The common creator: a thread bound to processor `cpu`, or (bound 0) a thread that runs on
// NUMA node `numa_node` unless it is KPAV_NO_NUMA_NODE or affinity is disabled. Thread names
// are not kept. 0, or -KPAV_EINVAL for a bound request on a processor that is not active,
// -KPAV_ENOMEM when the context or the thread cannot be had (logged, messages 6165 and 6166).
// PASSIVE_LEVEL.
int kpav_create_thread_on_cpu(kpav_thread_fn function, void* argument, LONG numa_node, ULONG bound, ULONG cpu);
int kpav_create_thread_on_node(kpav_thread_fn function, void* argument, LONG numa_node);
int kpav_create_bound_thread(kpav_thread_fn function, void* argument, ULONG cpu, const char* name_format, ...);

// Bound threads running their function. Driver unload waits for it to reach 0.
extern volatile LONG kpav_live_bound_threads;
