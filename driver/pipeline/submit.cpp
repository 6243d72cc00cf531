// Submit, hold and release, and the issue loop.

#include "driver/pipeline/pipeline.h"
#include "driver/pipeline/pipeline_internal.h"
#include "driver/pipeline/prepare.h"
#include "driver/pipeline/range_table.h"

namespace {

void stamp_submit(velkor_request* head) {
    if (head->submit_us == 0) {
        head->submit_us = pipe_now_us();
    }
}

int prepare_and_count(velkor_request* head) {
    int err = request_chain_prepare(head);
    if (err != 0) {
        dump_request_related(head);
    }
    return err;
}

// Under the request-queue lock: the chain's writes enter the range table, then the chain queues.
void enter_and_enqueue(nand_dev* channel, lba_range_table* table, velkor_request* head) {
    if (table != nullptr) {
        velkor_request* member = head;
        do {
            lba_range_insert(table, member);
            member = request_next(member);
        } while (member != head);
    }
    sched_enqueue(channel, head, true);
}

// A read that overlaps the open flush row of its erase block waits for the row to be issued.
bool flush_merge(nand_dev* channel, velkor_request* request) {
    flush_record* record = channel->flush.current;
    if (record == nullptr) {
        return false;
    }
    USHORT eb;
    ULONG64 offset;
    ULONG64 length;
    if (request->type == REQUEST_READ && request->data_op != DATA_OP_ZEROS) {
        eb = request->params.read.address.eb;
        offset = request->params.read.address.offset;
        length = request->params.read.transfer_length;
    } else if (request->type == REQUEST_MASKED_PAGE_READ && request->params.masked_read.eb != PAV_NO_EB) {
        eb = request->params.masked_read.eb;
        offset = eb_page_offset(channel, eb, request->params.masked_read.page);
        length = eb_pad_capacity(channel, eb, request->params.masked_read.page % channel->geometry.pads);
    } else {
        return false;
    }
    ULONG64 start = record->media_offset;
    ULONG64 end = start + record->bytes;
    if (record->eb != eb || offset > end || offset + length <= start) {
        return false;
    }
    InsertTailList(&record->waiting, &request->queue_link);
    InterlockedIncrement(&channel->merged_reads);
    flush_request(channel);
    return true;
}

// Out of credits: the loop stops; with nothing outstanding no completion will restart it, so
// the worker retries.
void out_of_credits(nand_dev* channel) {
    InterlockedExchange(&channel->credit_blocked, 1);
    if (ReadNoFence(&channel->outstanding_count) == 0) {
        status_set(channel, PIPE_NEEDS_ISSUE);
        worker_wake(channel);
    }
}

// Reads the credit word when the cached credits fell to their floor. An all-ones word (a card
// that is gone) keeps the cached values.
void refresh_credits(nand_dev* channel) {
    if (channel_credits_ok(channel)) {
        return;
    }
    hw_cmds_apply_credit_word(channel, channel->backend->read_credit_word(channel));
}

// Reads counted per erase block ask the read-count policy every Nth read.
void count_reads(nand_dev* channel, velkor_request* request) {
    USHORT eb = request->type == REQUEST_MASKED_PAGE_READ ? request->params.masked_read.eb
                                                           : request->params.read.address.eb;
    ULONG reads = request->page_reads;
    ULONG interval = channel->geometry.read_count_interval;
    ULONG64 after = 0;
    if (reads == 0 || eb == PAV_NO_EB || !ebinfo_count_reads(channel, eb, reads, &after)) {
        return;
    }
    if (interval == 0 || after / interval == (after - reads) / interval) {
        return;
    }
    int action = channel->owner->read_count_policy(channel, eb, after);
    const nand_dev_client_ops* ops = channel_client_ops(channel);
    if (action == 1) {
        ops->eb_event_a(channel, eb);
    } else if (action == 2) {
        ops->eb_event_b(channel, eb);
    }
}

}  // namespace

bool kpav_spin_trylock(kpav_spinlock* lock) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    if (!KeTryToAcquireSpinLockAtDpcLevel(&lock->lock)) {
        KeLowerIrql(old);
        return false;
    }
    lock->irql = old;
    return true;
}

int submit_request(velkor_request* head) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    nand_dev* channel = head->channel;
    stamp_submit(head);
    int err = prepare_and_count(head);
    kpav_spin_lock(&channel->queue_lock);
    stat_add(channel, head->type, STAT_SUBMITTED, 1);
    sched_enqueue(channel, head, true);
    kpav_spin_unlock(&channel->queue_lock);
    pipeline_kick(channel, false);
    channel_service_requests(channel);
    return err;
}

void submit_data_request(lba_range_table* table, velkor_request* head) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    nand_dev* channel = head->channel;
    // Latency is measured from here, also for a chain that waits on the Hold Q first.
    stamp_submit(head);
    prepare_and_count(head);
    head->range_table = table;
    // Park or queue is decided under the lock that release takes, so no chain is left behind
    // on the Hold Q by a release that ran in between.
    kpav_spin_lock(&channel->queue_lock);
    stat_add(channel, head->type, STAT_SUBMITTED, 1);
    bool held = channel->hold_count > 0;
    if (held) {
        queue_append(channel_queue(channel, QUEUE_HOLD), head);
    } else {
        enter_and_enqueue(channel, table, head);
    }
    kpav_spin_unlock(&channel->queue_lock);
    if (!held) {
        pipeline_kick(channel, false);
        channel_service_requests(channel);
    }
}

void pipeline_hold_requests(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&channel->queue_lock);
    channel->hold_count++;
    kpav_spin_unlock(&channel->queue_lock);
}

void release_held_requests(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&channel->queue_lock);
    if (channel->hold_count > 0) {
        channel->hold_count--;
    }
    if (channel->hold_count == 0) {
        request_queue* hold = channel_queue(channel, QUEUE_HOLD);
        for (velkor_request* head = queue_pop(hold); head != nullptr; head = queue_pop(hold)) {
            enter_and_enqueue(channel, head->range_table, head);
        }
    }
    bool queued = ReadNoFence(&channel->queued) != 0;
    kpav_spin_unlock(&channel->queue_lock);
    if (queued) {
        status_set(channel, PIPE_NEEDS_ISSUE);
        worker_wake(channel);
    }
}

bool resubmit_request(nand_dev* channel, velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    InterlockedIncrement(&request->chain_head->queued);
    request->fail = 0;
    request->flags &= ~(REQ_FAILED | REQ_QUEUED);
    request->flags |= REQ_RETRY;
    RtlZeroMemory(request->retry_state, sizeof request->retry_state);
    if (request_prepare(request) != 0) {
        return false;
    }
    request->flags |= REQ_REQUEUED;
    kpav_spin_lock(&channel->queue_lock);
    sched_enqueue(channel, request, false);
    kpav_spin_unlock(&channel->queue_lock);
    pipeline_kick(channel, false);
    return true;
}

void queue_failed_request(nand_dev* channel, velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&channel->queue_lock);
    if ((request->flags & REQ_FAILED) == 0) {
        request->fail = -KPAV_EIO;
        request->flags |= REQ_FAILED;
    }
    queue_append(channel_queue(channel, QUEUE_FAIL), request);
    kpav_spin_unlock(&channel->queue_lock);
    status_set(channel, PIPE_NEEDS_COMPLETION);
    worker_wake(channel);
}

void pipeline_kick(nand_dev* channel, bool may_block) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (channel_failed(channel)) {
        if (may_block) {
            fail_bad_state_requests(channel);
        }
        return;
    }
    if (!status_test(channel, PIPE_NEEDS_ISSUE) && ReadNoFence(&channel->queued) == 0) {
        return;
    }
    if (may_block) {
        kpav_spin_lock(&channel->issue_lock);
    } else if (!kpav_spin_trylock(&channel->issue_lock)) {
        // The holder may already be past its last pick: the worker takes over.
        status_set(channel, PIPE_NEEDS_ISSUE);
        worker_wake(channel);
        return;
    }
    bool needed = status_take(channel, PIPE_NEEDS_ISSUE);
    if (needed || ReadNoFence(&channel->queued) != 0) {
        ULONG more = 0;
        issue_requests(channel, &more);
    }
    flush_issue_requested(channel);
    channel->backend->announce(channel);
    kpav_spin_unlock(&channel->issue_lock);
    if (!may_block && worker_has_work(channel)) {
        worker_wake(channel);
    }
}

void issue_requests(nand_dev* channel, ULONG* out_more) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    *out_more = 0;
    for (;;) {
        if (channel_failed(channel)) {
            return;
        }
        refresh_credits(channel);
        if (!channel_credits_ok(channel)) {
            out_of_credits(channel);
            *out_more = 1;
            return;
        }
        ULONG ordered_waiting = 0;
        velkor_request* request = sched_dequeue(channel, &ordered_waiting);
        if (request == nullptr) {
            return;
        }
        InterlockedDecrement(&channel->queued);
        if (flush_merge(channel, request)) {
            WriteNoFence64(&request->issue_us, (LONG64)pipe_now_us());
            continue;
        }
        InterlockedDecrement(&request->chain_head->queued);
        ULONG producer = (ULONG)ReadNoFence(&channel->ring_producer);
        request->issue_pos = producer;
        request->issue_end = producer;
        request->merge_state = 0;
        request->page_reads = 0;
        request->pad_reads = 0;
        request->plane_reads = 0;
        WriteNoFence64(&request->issue_us, (LONG64)pipe_now_us());
        request_issue_handler handler =
            channel->issue_table != nullptr && request->type < REQUEST_TYPE_COUNT ? channel->issue_table[request->type]
                                                                                  : nullptr;
        int err = handler != nullptr ? handler(channel, request) : -KPAV_EOPNOTSUPP;
        if (err != 0 && (request->flags & REQ_FAILED) == 0) {
            request->fail = err;
            request->flags |= REQ_FAILED;
        }
        post_issue(channel, request);
    }
}

void post_issue(nand_dev* channel, velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if ((request->flags & REQ_FLUSH_JOIN) != 0 && ReadNoFence(&request->chain_head->queued) == 0 &&
        channel->flush.current != nullptr) {
        if ((request->flags & REQ_FLUSH_WAITER) != 0) {
            flush_attach_waiter(channel, request);
        }
        flush_request(channel);
    }
    if ((request->flags & REQ_FAILED) != 0) {
        request->flags &= ~REQ_COMMANDS_WRITTEN;
    }
    WriteNoFence64(&request->issue_seq, InterlockedIncrement64(&channel->issue_seq));
    InterlockedIncrement(&channel->outstanding_count);
    request->flags |= REQ_OUTSTANDING;
    bool written = (request->flags & REQ_COMMANDS_WRITTEN) != 0;
    request->issue_end = (ULONG)ReadNoFence(&channel->ring_producer);
    // Once its claim is published the completion side may retire it: nothing touches it after.
    if (request->read_class == 0) {
        outstanding_ring* ring = &channel->outstanding;
        WriteRelease(&request->retire_claim, 1);
        WritePointerRelease((PVOID volatile*)&ring->slots[ring->insert], request);
        ring->insert = (ring->insert + 1) % ring->capacity;
    } else {
        if (request->read_class == 1 && (request->flags & REQ_NO_READ_COUNT) == 0) {
            count_reads(channel, request);
        }
        InterlockedExchangeAdd64(&channel->read_totals[0], request->page_reads);
        InterlockedExchangeAdd64(&channel->read_totals[1], request->pad_reads);
        InterlockedExchangeAdd64(&channel->read_totals[2], request->plane_reads);
        if (written) {
            WriteRelease(&request->retire_claim, 1);
        } else {
            // The card owes this read nothing and will never report it: the worker completes it.
            kpav_spin_lock(&channel->queue_lock);
            queue_append(channel_queue(channel, QUEUE_FAIL), request);
            kpav_spin_unlock(&channel->queue_lock);
        }
    }
    if (!written) {
        status_set(channel, PIPE_NEEDS_COMPLETION);
    }
}
