// The scheduler queues and the dequeue policy.

#include "driver/pipeline/pipeline_internal.h"
#include "driver/pipeline/sched.h"

namespace {

const char* const queue_names[QUEUE_COUNT] = {
    "High Priority Q", "Ordered Q", "Read Q", "Groomer Ordered Q", "Groomer Read Q", "Fail Q", "RR Q", "Hold Q",
};

velkor_request* head_of(request_queue* queue) {
    return IsListEmpty(&queue->list) ? nullptr : request_of_queue_link(queue->list.Flink);
}

void insert_front(request_queue* queue, velkor_request* request) {
    InsertHeadList(&queue->list, &request->queue_link);
    request->queue = queue;
    request->flags |= REQ_QUEUED;
    queue->count++;
}

// Who picks, and how the pick went.
enum side : int { SIDE_NONE, SIDE_READ, SIDE_ORDERED };

struct pick {
    velkor_request* request = nullptr;
    int side = SIDE_NONE;
    bool blocked = false;  // a head waits for flush records: nothing issues this pass
};

bool flush_records_cover(nand_dev* channel, const velkor_request* request) {
    return (ULONG)ReadNoFence(&channel->flush.free_count) >= request->flushes_needed;
}

bool anything_outstanding(nand_dev* channel) {
    return ReadNoFence(&channel->outstanding_count) != 0;
}

// A groomer queue's head, with the urgency rule: a non-urgent groomer request waits while user
// requests are outstanding, unless nothing could be picked for several passes.
velkor_request* groomer_pick(nand_dev* channel, ULONG index, bool urgent, pick* result) {
    velkor_request* head = head_of(channel_queue(channel, index));
    if (head == nullptr) {
        return nullptr;
    }
    if (!urgent && anything_outstanding(channel) && channel->no_pick < SCHED_GROOMER_NO_PICK_PASSES) {
        return nullptr;
    }
    if (index == QUEUE_GROOMER_ORDERED && !flush_records_cover(channel, head)) {
        result->blocked = true;
        return nullptr;
    }
    return head;
}

// The ordered pick: a user append never overtakes an older groomer write of the same sectors.
velkor_request* ordered_pick(nand_dev* channel, bool groomer_ordered_visible, pick* result) {
    velkor_request* head = head_of(channel_queue(channel, QUEUE_ORDERED));
    if (head == nullptr) {
        return nullptr;
    }
    velkor_request* taken = head;
    request_queue* groomer_queue = channel_queue(channel, QUEUE_GROOMER_ORDERED);
    velkor_request* groomer_head = groomer_ordered_visible ? head_of(groomer_queue) : nullptr;
    if (groomer_head != nullptr && groomer_head->seq <= head->seq) {
        if (head->type != REQUEST_APPEND) {
            taken = groomer_head;
        } else {
            const nand_dev_client_ops* ops = channel_client_ops(channel);
            if (ops->maps_into_groomed_eb(channel, head->range_lba, head->range_count)) {
                for (PLIST_ENTRY e = groomer_queue->list.Flink; e != &groomer_queue->list; e = e->Flink) {
                    velkor_request* groomer_write = request_of_queue_link(e);
                    if (groomer_write->seq > head->seq) {
                        break;
                    }
                    if (ops->groomer_moves_overlap(channel, groomer_write, head->range_lba, head->range_count)) {
                        taken = groomer_write;
                        break;
                    }
                }
            }
        }
    }
    if (!flush_records_cover(channel, taken)) {
        result->blocked = true;
        return nullptr;
    }
    return taken;
}

velkor_request* read_pick(nand_dev* channel) {
    return head_of(channel_queue(channel, QUEUE_READ));
}

void take(pick* result, velkor_request* request, int side) {
    result->request = request;
    result->side = side;
}

// Tries one queue of the user side; true when it picked.
bool try_user(nand_dev* channel, ULONG index, bool groomer_ordered_visible, pick* result) {
    if (result->request != nullptr) {
        return true;
    }
    velkor_request* r = index == QUEUE_ORDERED ? ordered_pick(channel, groomer_ordered_visible, result)
                                               : read_pick(channel);
    if (r != nullptr) {
        take(result, r, index == QUEUE_ORDERED ? SIDE_ORDERED : SIDE_READ);
    }
    return r != nullptr;
}

bool try_groomer(nand_dev* channel, ULONG index, bool urgent, bool visible, pick* result) {
    if (result->request != nullptr) {
        return true;
    }
    if (!visible) {
        return false;
    }
    velkor_request* r = groomer_pick(channel, index, urgent, result);
    if (r != nullptr) {
        take(result, r, index == QUEUE_GROOMER_ORDERED ? SIDE_ORDERED : SIDE_READ);
    }
    return r != nullptr;
}

}  // namespace

void request_queues_init(nand_dev* channel) {
    PAGED_CODE();
    kpav_spinlock_init(&channel->queue_lock, "request queue");
    kpav_spinlock_init(&channel->rr_lock, "RR Q");
    for (ULONG i = 0; i < QUEUE_COUNT; i++) {
        request_queue* queue = &channel->queues[i];
        queue->lock = i == QUEUE_RR ? &channel->rr_lock : &channel->queue_lock;
        queue->name = queue_names[i];
        queue->count = 0;
        InitializeListHead(&queue->list);
    }
    channel->enqueue_seq = 0;
}

void queue_append(request_queue* queue, velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    InsertTailList(&queue->list, &request->queue_link);
    request->queue = queue;
    request->flags |= REQ_QUEUED;
    queue->count++;
}

velkor_request* queue_pop(request_queue* queue) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (IsListEmpty(&queue->list)) {
        return nullptr;
    }
    velkor_request* request = request_of_queue_link(RemoveHeadList(&queue->list));
    InitializeListHead(&request->queue_link);
    request->queue = nullptr;
    request->flags &= ~REQ_QUEUED;
    queue->count--;
    return request;
}

void sched_remove(velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    request_queue* queue = request->queue;
    if (queue == nullptr) {
        return;
    }
    RemoveEntryList(&request->queue_link);
    InitializeListHead(&request->queue_link);
    request->queue = nullptr;
    request->flags &= ~REQ_QUEUED;
    queue->count--;
}

ULONG sched_enqueue(nand_dev* channel, velkor_request* request, bool whole_chain) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG before = (ULONG)ReadNoFence(&channel->queued);
    if ((request->flags & REQ_FAILED) != 0) {
        // A failed chain goes to the Fail Q whole; the worker completes it with its error.
        request_queue* fail = channel_queue(channel, QUEUE_FAIL);
        velkor_request* head = request->chain_head;
        velkor_request* member = head;
        do {
            member->flags |= REQ_OUTSTANDING;
            InterlockedIncrement(&channel->outstanding_count);
            queue_append(fail, member);
            member = request_next(member);
        } while (member != head);
        status_set(channel, PIPE_NEEDS_COMPLETION);
        return before;
    }
    ULONG index;
    if (request->read_class != 0) {
        index = (request->flags & REQ_GROOMER) != 0 ? QUEUE_GROOMER_READ : QUEUE_READ;
    } else if ((request->flags & REQ_HIGH_PRIORITY) != 0) {
        index = QUEUE_HIGH_PRIORITY;
    } else {
        index = (request->flags & REQ_GROOMER) != 0 ? QUEUE_GROOMER_ORDERED : QUEUE_ORDERED;
    }
    request_queue* queue = channel_queue(channel, index);
    bool was_empty = IsListEmpty(&queue->list) != 0;
    bool front = request->read_class != 0 && (request->chain_head->flags & REQ_REQUEUED) != 0;
    velkor_request* first = whole_chain ? request->chain_head : request;
    ULONG added = 0;
    if (front) {
        // Members keep their order at the front: insert from the last.
        velkor_request* member = whole_chain ? CONTAINING_RECORD(first->chain_link.Blink, velkor_request, chain_link)
                                             : request;
        for (;;) {
            member->seq = ++channel->enqueue_seq;
            insert_front(queue, member);
            added++;
            if (member == first) {
                break;
            }
            member = CONTAINING_RECORD(member->chain_link.Blink, velkor_request, chain_link);
        }
    } else {
        velkor_request* member = first;
        do {
            member->seq = ++channel->enqueue_seq;
            queue_append(queue, member);
            added++;
            member = request_next(member);
        } while (whole_chain && member != first);
    }
    InterlockedExchangeAdd(&channel->queued, (LONG)added);
    if (was_empty) {
        status_set(channel, PIPE_NEEDS_ISSUE);
    }
    return before;
}

velkor_request* sched_dequeue(nand_dev* channel, ULONG* out_ordered_waiting) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const nand_dev_client_ops* ops = channel_client_ops(channel);
    bool groomer_preferred = ops->grooming_urgency(channel) > 0;

    kpav_spin_lock(&channel->queue_lock);
    bool groomer_ordered_visible = channel->open_chain == 0;
    velkor_request* high = channel->open_chain == 0 ? head_of(channel_queue(channel, QUEUE_HIGH_PRIORITY)) : nullptr;
    bool any_head = high != nullptr;
    const ULONG user_and_groomer_reads[] = {QUEUE_READ, QUEUE_GROOMER_READ, QUEUE_ORDERED};
    for (ULONG index : user_and_groomer_reads) {
        any_head = any_head || !IsListEmpty(&channel_queue(channel, index)->list);
    }
    any_head = any_head || (groomer_ordered_visible && !IsListEmpty(&channel_queue(channel, QUEUE_GROOMER_ORDERED)->list));

    pick result;
    bool preferred_waited = false;
    if (high != nullptr) {
        if (flush_records_cover(channel, high)) {
            take(&result, high, SIDE_ORDERED);
        } else {
            result.blocked = true;
        }
    } else if (!groomer_preferred) {
        bool reads = !IsListEmpty(&channel_queue(channel, QUEUE_READ)->list);
        bool ordered = !IsListEmpty(&channel_queue(channel, QUEUE_ORDERED)->list);
        preferred_waited = reads || ordered;
        if (channel->prefer_ordered != 0) {
            try_user(channel, QUEUE_ORDERED, groomer_ordered_visible, &result) ||
                try_user(channel, QUEUE_READ, groomer_ordered_visible, &result);
        } else {
            try_user(channel, QUEUE_READ, groomer_ordered_visible, &result) ||
                try_user(channel, QUEUE_ORDERED, groomer_ordered_visible, &result);
        }
        if (!reads && !ordered) {
            bool groomer_reads = !IsListEmpty(&channel_queue(channel, QUEUE_GROOMER_READ)->list);
            bool groomer_ordered = groomer_ordered_visible &&
                                   !IsListEmpty(&channel_queue(channel, QUEUE_GROOMER_ORDERED)->list);
            bool prefer = channel->prefer_ordered != 0;
            if ((!groomer_reads && !prefer) || (groomer_ordered && prefer)) {
                try_groomer(channel, QUEUE_GROOMER_ORDERED, false, groomer_ordered_visible, &result);
            } else {
                try_groomer(channel, QUEUE_GROOMER_READ, false, true, &result);
            }
        }
    } else {
        velkor_request* g_ordered = groomer_ordered_visible ? head_of(channel_queue(channel, QUEUE_GROOMER_ORDERED))
                                                            : nullptr;
        velkor_request* g_read = head_of(channel_queue(channel, QUEUE_GROOMER_READ));
        preferred_waited = g_ordered != nullptr || g_read != nullptr;
        bool read_first;
        if (g_ordered != nullptr && g_read != nullptr) {
            read_first = g_read->seq < g_ordered->seq;
        } else if (g_ordered != nullptr || g_read != nullptr) {
            read_first = g_read != nullptr;
        } else {
            read_first = channel->prefer_ordered == 0;
        }
        if (read_first) {
            try_groomer(channel, QUEUE_GROOMER_READ, true, true, &result) ||
                try_groomer(channel, QUEUE_GROOMER_ORDERED, true, groomer_ordered_visible, &result) ||
                try_user(channel, QUEUE_READ, groomer_ordered_visible, &result) ||
                try_user(channel, QUEUE_ORDERED, groomer_ordered_visible, &result);
        } else {
            try_groomer(channel, QUEUE_GROOMER_ORDERED, true, groomer_ordered_visible, &result) ||
                try_groomer(channel, QUEUE_GROOMER_READ, true, true, &result) ||
                try_user(channel, QUEUE_ORDERED, groomer_ordered_visible, &result) ||
                try_user(channel, QUEUE_READ, groomer_ordered_visible, &result);
        }
    }

    velkor_request* picked = result.request;
    if (picked != nullptr) {
        channel->no_pick = 0;
        if (result.side == SIDE_READ) {
            channel->reads_in_a_row++;
            channel->ordered_in_a_row = 0;
            if (channel->reads_in_a_row > SCHED_READS_IN_A_ROW) {
                channel->prefer_ordered = 1;
            }
        } else {
            channel->ordered_in_a_row++;
            channel->reads_in_a_row = 0;
            if (channel->ordered_in_a_row > SCHED_READS_IN_A_ROW) {
                channel->prefer_ordered = 0;
            }
            // A mixed append/barrier chain is taken whole before anything that could overtake it.
            if ((picked->chain_head->flags & REQ_MIXED_CHAIN) != 0) {
                channel->open_chain = (picked->flags & REQ_CHAIN_TAIL) != 0 ? 0 : 1;
            }
        }
        sched_remove(picked);
    } else if (any_head) {
        // Nothing issuable although requests wait: the issue loop stops as if out of credits.
        InterlockedExchange(&channel->credit_blocked, 1);
        channel->no_pick++;
    }
    *out_ordered_waiting = (!IsListEmpty(&channel_queue(channel, QUEUE_ORDERED)->list) ||
                            !IsListEmpty(&channel_queue(channel, QUEUE_GROOMER_ORDERED)->list))
                               ? 1
                               : 0;
    kpav_spin_unlock(&channel->queue_lock);

    if (picked != nullptr) {
        ops->pick_notice(channel, picked, preferred_waited ? 1 : 0);
    }
    return picked;
}
