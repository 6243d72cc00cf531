// One thread bound to each processor ("pav-wq/%d"): the completion path hands it finished
// requests and deferred bio ends, so that a request completes on the processor that submitted
// it. The records live in a driver-wide table sized by the maximum processor count; processors
// added while the driver runs get their thread then.
#pragma once

#include "driver/controller/pipeline_device.h"
#include "driver/platform/cpu_wq_hooks.h"
#include "driver/platform/os.h"
#include "driver/platform/sync.h"
#include "driver/platform/work.h"

// States of a record.
constexpr ULONG CPU_WQ_NOT_ACTIVE = 0;  // no thread: processor not active (or its thread could not start)
constexpr ULONG CPU_WQ_STARTING = 1;    // thread requested
constexpr ULONG CPU_WQ_RUNNING = 2;
constexpr ULONG CPU_WQ_STOPPING = 3;    // stop requested
constexpr ULONG CPU_WQ_EXITED = 4;

constexpr ULONG CPU_WQ_MAX_REARM_QUEUES = 64;
constexpr size_t CPU_WQ_OBJECT_SIZE = 960;  // objects of the cache "pav_cpu_var-strovane"

struct cpu_wq {
    ULONG state;
    ULONG cpu;
    kpav_cv cv;          // the thread sleeps here
    kpav_spinlock lock;  // guards every field below and the state
    LIST_ENTRY completed;       // completed requests (see cpu_wq_hooks.h)
    LIST_ENTRY deferred_bios;   // cpu_wq_deferred_bio links
    ULONG kicks;
    tavrin_work work;           // starts this processor's thread after a processor is added
    ULONG rearm_count;
    completion_queue* rearm[CPU_WQ_MAX_REARM_QUEUES];
    BOOLEAN abandoned;          // its stop timed out: whoever ends it frees it
};
static_assert(sizeof(cpu_wq) <= CPU_WQ_OBJECT_SIZE);

// Creates the records and starts a thread for each active processor; once per driver (a second
// call returns 0). 0 or -12. A processor whose thread cannot start is left without one (state 0)
// and its work goes to the other processors. PASSIVE_LEVEL.
int cpu_wq_init();
// Stops every thread (waiting up to 10 s for each) and frees the records, the cache, the table
// and the processor-to-node table. A record whose thread does not stop in time is left to that
// thread ("Timeout waiting for bound cpu thread to terminate.", message 12317). PASSIVE_LEVEL.
void cpu_wq_exit();
// Wakes each running thread in turn and waits until it has begun a pass. Below DISPATCH_LEVEL,
// never from a processor's own thread.
void cpu_wq_kick_all();
// The record of processor `cpu`, locked, when its thread runs or is starting and the processor
// is online; otherwise the first such record in index order; NULL when there is none. At most
// DISPATCH_LEVEL. Release it with cpu_wq_unlock.
cpu_wq* cpu_wq_lock_for_cpu(ULONG cpu);
void cpu_wq_unlock(cpu_wq* record);
// Under the record's lock: queue a completed request's link, or a deferred bio with its status
// (true when the bio list was empty before). Wake the thread with cpu_wq_signal afterwards.
void cpu_wq_add_completed(cpu_wq* record, LIST_ENTRY* link);
bool cpu_wq_defer_bio(cpu_wq* record, cpu_wq_deferred_bio* bio, int status);
void cpu_wq_signal(cpu_wq* record);
// Remembers a completion queue to re-arm after the current pass (at most 64, each once); false
// when it cannot be remembered. Takes the record's lock.
bool cpu_wq_remember_queue(cpu_wq* record, completion_queue* queue);
// Prints the records' states and completed lists through the register-dump printer (NULL: the
// debug log); with take_locks each record is read under its lock. At most DISPATCH_LEVEL.
void cpu_wq_dump(csr_dump_printer* printer, const char* name, bool take_locks);
// The record of processor `cpu` (not locked); NULL when there is none.
cpu_wq* cpu_wq_record(ULONG cpu);

// Places the card's completion queues: queues 0 and 1 are its two designated queues and the
// others go to the processors (kpav_cq_map_cpus); with two or fewer every processor uses queue
// 0. Allocates the card's per-processor queue table ("mal4"). 0 or -12. PASSIVE_LEVEL.
int cpu_wq_attach_card(pipeline_device* card);
// Frees the card's per-processor queue table.
void cpu_wq_detach_card(pipeline_device* card);

// The processor-change function: a processor added gets its thread through a work item.
void cpu_wq_processor_change(ULONG kind, ULONG cpu);
