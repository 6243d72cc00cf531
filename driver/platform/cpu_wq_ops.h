// What the per-processor threads call in the subsystems built above them: the card list (to
// reach every card), the channel pipeline (request retirement, completion-queue re-arm and
// drain), the request pool (per-processor cached requests) and the bio layer (deferred bio ends).
//
// One const table, handed over when the threads are made (cpu_wq_init) and read until they have
// ended (cpu_wq_exit). Every slot is filled; cpu_wq_ops_defaults holds the plain rule of each
// (described beside it), and a table starts from it and replaces what it implements.
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

struct cpu_wq_ops {
    // Channel pipeline: retires the requests of `completed` as a batch on this processor's
    // thread and takes every one off the list; may remember completion queues for re-arming with
    // cpu_wq_remember_queue. Returns how many requests it ran. Default: none are run (nothing
    // hands the threads requests without a pipeline).
    ULONG (*run_completions)(LIST_ENTRY* completed, cpu_wq* record);
    // Channel pipeline: re-arms the queues remembered during a pass. Default: nothing.
    void (*rearm_queues)(completion_queue* const* queues, ULONG count);
    // Channel pipeline: drains the card's completion queue of processor `cpu` once more as that
    // processor's thread ends (on that thread). Default: nothing.
    void (*drain_cpu_queue)(pipeline_device* card, ULONG cpu);
    // Channel pipeline: the request that embeds a completed-list link (for the dump). Default:
    // the link itself.
    void* (*request_of_link)(LIST_ENTRY* link);
    // Request pool: returns the card's requests cached for processor `cpu` that have waited
    // there more than 5 s. Default: nothing.
    void (*trim_cached_requests)(pipeline_device* card, ULONG cpu);
    // Bio layer: ends the bio that embeds `bio` with `status` (bio_endio). Default: nothing.
    void (*end_bio)(cpu_wq_deferred_bio* bio, int status);
    // Card list: calls `function` for each running card in turn unless the list is busy (it
    // only tries its lock): 0, -KPAV_EBUSY when busy, or the first non-zero result. Default: no
    // cards.
    int (*for_each_card)(cpu_wq_card_fn function, void* argument);
};

ULONG cpu_wq_run_nothing(LIST_ENTRY* completed, cpu_wq* record);
void cpu_wq_no_rearm(completion_queue* const* queues, ULONG count);
void cpu_wq_no_card_work(pipeline_device* card, ULONG cpu);
void* cpu_wq_link_itself(LIST_ENTRY* link);
void cpu_wq_no_bio_end(cpu_wq_deferred_bio* bio, int status);
int cpu_wq_no_cards(cpu_wq_card_fn function, void* argument);

inline constexpr cpu_wq_ops cpu_wq_ops_defaults = {
    cpu_wq_run_nothing, cpu_wq_no_rearm,    cpu_wq_no_card_work, cpu_wq_link_itself,
    cpu_wq_no_card_work, cpu_wq_no_bio_end, cpu_wq_no_cards,
};
