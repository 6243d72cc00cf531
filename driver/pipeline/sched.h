// The scheduler queues of a channel: between submit and issue requests wait on named queues.
// Enqueue puts a chain on the queue of its class; dequeue decides which request the issue loop
// takes next: user reads and ordered writes share the channel by run counters, groomer work
// yields to user work unless the client says it is urgent, and a user append that overlaps
// sectors an older groomer write is moving waits for that write.
#pragma once

#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct nand_dev;
struct velkor_request;

struct request_queue {
    kpav_spinlock* lock;  // the channel's request-queue lock, or the queue's own
    const char* name;
    ULONG count;
    LIST_ENTRY list;
};

enum request_queue_index : ULONG {
    QUEUE_HIGH_PRIORITY = 0,
    QUEUE_ORDERED = 1,
    QUEUE_READ = 2,
    QUEUE_GROOMER_ORDERED = 3,
    QUEUE_GROOMER_READ = 4,
    QUEUE_FAIL = 5,
    QUEUE_RR = 6,    // read recovery; its own lock
    QUEUE_HOLD = 7,  // data writes parked while the hold count is positive (chain heads only)
    QUEUE_COUNT = 8,
};

// Reads above this many in a row make ordered requests preferred; they stay preferred while
// fewer ordered requests than it + 1 ran in a row.
constexpr ULONG SCHED_READS_IN_A_ROW = 50;
// Passes without a pick after which a non-urgent groomer request may run beside user work.
constexpr ULONG SCHED_GROOMER_NO_PICK_PASSES = 4;

void request_queues_init(nand_dev* channel);
// Under the request-queue lock: queues `request` (with whole_chain, every member of its chain).
// A failed request goes to the Fail Q with its whole chain. Returns the channel's queued count
// before the addition.
ULONG sched_enqueue(nand_dev* channel, velkor_request* request, bool whole_chain);
// Takes the next request to issue, or NULL; takes the request-queue lock itself.
// *out_ordered_waiting: 1 when an ordered queue is not empty afterwards.
velkor_request* sched_dequeue(nand_dev* channel, ULONG* out_ordered_waiting);
// Under the queue's lock: unlinks the request from its queue.
void sched_remove(velkor_request* request);
// Appends to a queue (its lock held), marking the request as on it.
void queue_append(request_queue* queue, velkor_request* request);
// Takes the first request of a queue (its lock held), or NULL.
velkor_request* queue_pop(request_queue* queue);
