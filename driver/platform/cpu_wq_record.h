// Internal to the per-processor threads: a processor's record.
#pragma once

#include "driver/platform/cpu_wq.h"
#include "driver/platform/sync.h"
#include "driver/platform/work.h"

constexpr size_t CPU_WQ_OBJECT_SIZE = 960;  // objects of the cache "pav_cpu_var-strovane"

struct cpu_wq {
    ULONG state;
    ULONG cpu;
    kpav_cv cv;          // whoever stops the thread waits here for it to end
    kpav_spinlock lock;  // guards every field below and the state
    LIST_ENTRY completed;       // completed requests (see cpu_wq_ops.h)
    LIST_ENTRY deferred_bios;   // cpu_wq_deferred_bio links
    ULONG kicks;
    tavrin_work work;           // starts this processor's thread after a processor is added
    ULONG rearm_count;          // written under the lock; the thread may look without it
    completion_queue* rearm[CPU_WQ_MAX_REARM_QUEUES];
    BOOLEAN abandoned;          // its stop timed out: whoever ends it frees it
    // The thread sleeps on `wake` (an auto-reset event) once it has set `sleeping` under the
    // lock; whoever wakes it takes the flag back first (cpu_wq.cpp, wake_thread).
    volatile LONG sleeping;
    KEVENT wake;
};
static_assert(sizeof(cpu_wq) <= CPU_WQ_OBJECT_SIZE);
