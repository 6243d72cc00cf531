// One thread bound to each processor ("pav-wq/%d"): the completion path hands it finished
// requests and deferred bio ends, so that a request completes on the processor that submitted
// it. The records live in a driver-wide table sized by the maximum processor count; processors
// added while the driver runs get their thread then.
#pragma once

#include "driver/platform/cpu_wq_ops.h"
#include "driver/platform/os.h"

// A processor's record (cpu_wq_record.h); callers hold it only between a lock and an unlock.
struct cpu_wq;

// Creates the records and starts a thread for each active processor, which run the work of
// `ops` (NULL: cpu_wq_ops_defaults); once per driver (a later call returns 0 and keeps the first
// table). 0 or -KPAV_ENOMEM. A processor whose thread cannot start is left without one (state 0)
// and its work goes to the other processors. PASSIVE_LEVEL.
int cpu_wq_init(const cpu_wq_ops* ops);
// Stops every thread (waiting up to 10 s for each) and frees the records, the cache, the table
// and the processor-to-node table. A record whose thread does not stop in time is left to that
// thread ("Timeout waiting for bound cpu thread to terminate.", message 12317). PASSIVE_LEVEL.
void cpu_wq_exit();
// Wakes each running thread in turn and waits until it has run a whole pass begun after the
// call: the work handed to it before the call has been run. Below DISPATCH_LEVEL, never from a
// processor's own thread.
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
// Wakes the record's thread when it sleeps. At most DISPATCH_LEVEL, with or without the lock.
void cpu_wq_signal(cpu_wq* record);
// Remembers a completion queue to re-arm after the current pass (at most 64, each once); false
// when it cannot be remembered. Takes the record's lock.
bool cpu_wq_remember_queue(cpu_wq* record, completion_queue* queue);

// The processor whose thread runs the record.
ULONG cpu_wq_cpu(const cpu_wq* record);
// The state of processor `cpu`'s record, read under its lock (CPU_WQ_NOT_ACTIVE when there is
// no record).
ULONG cpu_wq_state(ULONG cpu);
constexpr ULONG CPU_WQ_NOT_ACTIVE = 0;  // no thread: processor not active (or its thread could not start)
constexpr ULONG CPU_WQ_STARTING = 1;    // thread requested
constexpr ULONG CPU_WQ_RUNNING = 2;
constexpr ULONG CPU_WQ_STOPPING = 3;    // stop requested
constexpr ULONG CPU_WQ_EXITED = 4;

// Where dump lines go: `print(context, line)` for each finished line.
using cpu_wq_line_printer = void (*)(void* context, const char* line);
// Prints the records' states and completed lists through `print` (NULL: to the debug log); with
// take_locks each record is read under its lock. At most DISPATCH_LEVEL.
void cpu_wq_dump(cpu_wq_line_printer print, void* context, const char* name, bool take_locks);

// The processor-change function: a processor added gets its thread through a work item.
void cpu_wq_processor_change(ULONG kind, ULONG cpu);

constexpr ULONG CPU_WQ_MAX_REARM_QUEUES = 64;
