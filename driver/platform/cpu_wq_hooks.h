// What the per-processor threads call in the subsystems built above them: the card list (to
// reach every card), the channel pipeline (request retirement, completion-queue re-arm and
// drain), the request pool (per-processor cached requests) and the bio layer (deferred bio ends).
//
// Each subsystem stores its operations with cpu_wq_set_hook at its init, before it hands any
// work to a processor, and clears them (stores NULL) at its exit; a NULL operation means there
// is nothing to do. The threads read each operation once per use, and may still read it until
// they have ended (cpu_wq_exit and the threads' end).
//
// How the carried objects are linked:
// - A completed request embeds a LIST_ENTRY that the completion path inserts at the tail of a
//   record's `completed` list (cpu_wq_add_completed). The thread hands the whole list to
//   run_completions, which must take every entry off it.
// - A bio whose end is deferred embeds a cpu_wq_deferred_bio; cpu_wq_defer_bio saves its status
//   and links it. The thread unlinks each one and calls end_bio with the saved status.
#pragma once

#include "driver/platform/os.h"

struct cpu_wq;
struct completion_queue;
struct pipeline_device;

struct cpu_wq_deferred_bio {
    LIST_ENTRY link;
    int status;  // passed to end_bio
};

// A function called for one card: 0 goes on to the next card.
using cpu_wq_card_fn = int (*)(pipeline_device* card, void* argument);

struct cpu_wq_hooks {
    // Channel pipeline: retires the requests of `completed` as a batch on this processor's
    // thread and takes them off the list; may remember completion queues for re-arming with
    // cpu_wq_remember_queue. Returns how many requests it ran.
    ULONG (*run_completions)(LIST_ENTRY* completed, cpu_wq* record);
    // Channel pipeline: re-arms the queues remembered during a pass.
    void (*rearm_queues)(completion_queue* const* queues, ULONG count);
    // Channel pipeline: drains the card's completion queue of processor `cpu` once more as that
    // processor's thread ends (on that thread).
    void (*drain_cpu_queue)(pipeline_device* card, ULONG cpu);
    // Channel pipeline: the request that embeds a completed-list link (for the dump).
    void* (*request_of_link)(LIST_ENTRY* link);
    // Request pool: returns the card's requests cached for processor `cpu` that have waited
    // there more than 5 s.
    void (*trim_cached_requests)(pipeline_device* card, ULONG cpu);
    // Bio layer: ends the bio that embeds `bio` with `status` (bio_endio).
    void (*end_bio)(cpu_wq_deferred_bio* bio, int status);
    // Card list: calls `function` for each running card in turn unless the list is busy (it
    // only tries its lock): 0, -16 when busy, or the first non-zero result.
    int (*for_each_card)(cpu_wq_card_fn function, void* argument);
};

extern cpu_wq_hooks cpu_wq_hook_table;

// Reads one operation of the table.
#define cpu_wq_hook(operation)                              \
    ((decltype(cpu_wq_hook_table.operation))ReadPointerAcquire( \
        (PVOID const volatile*)&cpu_wq_hook_table.operation))
// Stores one operation of the table (NULL: none).
#define cpu_wq_set_hook(operation, function) \
    WritePointerRelease((PVOID volatile*)&cpu_wq_hook_table.operation, (PVOID)(function))
