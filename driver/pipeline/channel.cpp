// The channel record's set-up, its failure, failing everything on a failed channel, draining,
// and the pipeline's start and stop steps.

#include "driver/pipeline/pipeline.h"

#include "driver/pipeline/channel_setup.h"
#include "driver/pipeline/pipeline_internal.h"
#include "driver/pipeline/range_table.h"
#include "driver/platform/cpu_wq.h"
#include "driver/platform/memory.h"

volatile LONG pav_dump_requested = 0;

namespace {

constexpr ULONG64 ring_quiet_wait_us = 5000000;  // a failed card that keeps writing is left after this
constexpr ULONG64 drain_limit_us = 300000000;    // the watchdog's longest rule

// Gathers every request of a queue (its lock held) onto `list`; held chains bring their members
// and enter the range table they were meant for, as a release would have.
ULONG gather_queue(request_queue* queue, LIST_ENTRY* list, bool chains) {
    ULONG count = 0;
    for (velkor_request* r = queue_pop(queue); r != nullptr; r = queue_pop(queue)) {
        if (!chains) {
            InsertTailList(list, &r->queue_link);
            count++;
            continue;
        }
        velkor_request* member = r;
        do {
            if (r->range_table != nullptr) {
                lba_range_insert(r->range_table, member);
            }
            InsertTailList(list, &member->queue_link);
            count++;
            member = request_next(member);
        } while (member != r);
    }
    return count;
}

void wake_pool_waiters(nand_dev* channel) {
    kpav_spin_lock(&channel->pool.lock);
    channel->pool.waiter = 0;
    kpav_cv_broadcast(&channel->pool.cv);
    kpav_spin_unlock(&channel->pool.lock);
}

const kpav_step pipeline_steps[] = {
    {"request queues", pipeline_step_queues, nullptr},
    {"flush records", pipeline_step_flush_records, pipeline_undo_flush_records},
    {"request pool", pipeline_step_pool, pipeline_undo_pool},
    {"outstanding ring", pipeline_step_outstanding_ring, pipeline_undo_outstanding_ring},
    {"pipeline threads", pipeline_step_threads, pipeline_undo_threads},
};

}  // namespace

// The per-processor threads' view of requests.
ULONG pipeline_run_completions(LIST_ENTRY* completed, cpu_wq* record) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return cpu_wq_run_completions(completed, record);
}

void* pipeline_request_of_link(LIST_ENTRY* link) {
    KPAV_IRQL_AT_MOST(HIGH_LEVEL);
    return request_of_queue_link(link);
}

void pipeline_trim_cached_requests(pipeline_device* card, ULONG cpu) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (card->nand != nullptr && card->nand->pool.table != nullptr) {
        request_pool_trim_percpu(card->nand, cpu);
    }
}

// The pipeline's own steps, shared by the channel's set-up and start (channel_setup.cpp).
int pipeline_step_queues(void* context) {
    PAGED_CODE();
    request_queues_init((nand_dev*)context);
    return 0;
}

int pipeline_step_flush_records(void* context) {
    PAGED_CODE();
    return flush_records_alloc((nand_dev*)context);
}

void pipeline_undo_flush_records(void* context) {
    PAGED_CODE();
    flush_records_free((nand_dev*)context);
}

int pipeline_step_pool(void* context) {
    PAGED_CODE();
    return request_pool_init((nand_dev*)context);
}

// A request whose callback has run may still be on its way back to the pool on a processor's
// thread: each thread finishes the pass it is in before the pool goes.
void pipeline_undo_pool(void* context) {
    PAGED_CODE();
    cpu_wq_kick_all();
    request_pool_free((nand_dev*)context);
}

// The outstanding ring has one slot per request the pool may ever hold.
int pipeline_step_outstanding_ring(void* context) {
    PAGED_CODE();
    auto* channel = (nand_dev*)context;
    outstanding_ring* ring = &channel->outstanding;
    ring->capacity = channel->pool.capacity;
    ring->slots = (velkor_request* volatile*)kpav_zalloc(ring->capacity * sizeof(velkor_request*), KPAV_TAG_MAL);
    ring->insert = 0;
    ring->complete = 0;
    return ring->slots != nullptr ? 0 : -KPAV_ENOMEM;
}

void pipeline_undo_outstanding_ring(void* context) {
    PAGED_CODE();
    auto* channel = (nand_dev*)context;
    kpav_free((void*)channel->outstanding.slots, KPAV_TAG_MAL);
    channel->outstanding.slots = nullptr;
}

int pipeline_step_threads(void* context) {
    PAGED_CODE();
    return pipeline_threads_start((nand_dev*)context);
}

// Stops the threads, then drains what the card still holds (unless the channel failed).
void pipeline_undo_threads(void* context) {
    PAGED_CODE();
    auto* channel = (nand_dev*)context;
    pipeline_threads_stop(channel);
    if (!channel_failed(channel)) {
        quiesce_channel(channel);
    }
    collect_completed(channel);
    LONG outstanding = ReadNoFence(&channel->outstanding_count);
    if (outstanding != 0) {
        kpav_print(KPAV_CLASS_WARNING, "Shutting down with %u outstanding requests!", (ULONG)outstanding);
    }
}

void nand_dev_init(nand_dev* channel, pipeline_device* card) {
    PAGED_CODE();
    RtlZeroMemory((void*)channel, sizeof *channel);
    channel->owner = &channel_owner_defaults;
    channel->client_ops = &nand_dev_client_defaults;
    channel->backend = &channel_backend_defaults;
    channel->card = card;
    if (card != nullptr) {
        card->nand = channel;
    }
    kpav_state_init(&channel->state, CHANNEL_STATE_INIT);
    channel->state_now = CHANNEL_STATE_INIT;
    events_init(channel);
    kpav_spinlock_init(&channel->issue_lock, "issue");
    kpav_spinlock_init(&channel->collect_lock, "collect");
    kpav_spinlock_init(&channel->deferral_lock, "deferral");
    kpav_spinlock_init(&channel->worker_lock, "worker");
    kpav_spinlock_init(&channel->poller_lock, "poller");
    kpav_spinlock_init(&channel->completion_lock, "completion");
    kpav_cv_init(&channel->worker_cv, "worker");
    kpav_cv_init(&channel->poller_cv, "poller");
    kpav_cv_init(&channel->completion_cv, "completion");
    request_queues_init(channel);
    // The pool's lock and condition exist before the pool: failing the channel wakes its waiters.
    kpav_spinlock_init(&channel->pool.lock, "request pool");
    kpav_cv_init(&channel->pool.cv, "request pool");
    InitializeListHead(&channel->pool.free_requests);
    InitializeListHead(&channel->append_points);
    InitializeListHead(&channel->pool.free_contexts);
    ULONG64 now = pipe_now_us();
    channel->watchdog_check_us = (LONG64)now;
    channel->last_completion_us = (LONG64)now;
    channel->last_state_seen = -1;
    channel->software_status = PIPE_WORKER1_EXITED | PIPE_POLLER_EXITED;
    channel->free_doorbells = RING_DOORBELLS;
    channel->free_entries = RING_ENTRIES;
}

void nand_dev_set_client(nand_dev* channel, const nand_dev_client_ops* ops, void* client) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    WritePointerRelease((PVOID volatile*)&channel->client, client);
    WritePointerRelease((PVOID volatile*)&channel->client_ops, (PVOID)(ops != nullptr ? ops : &nand_dev_client_defaults));
}

bool channel_set_state(nand_dev* channel, ULONG state) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&channel->state.lock);
    bool changed = channel->state.value != state;
    if (changed) {
        channel->state.value = state;
        WriteRelease(&channel->state_now, (LONG)state);
    }
    kpav_spin_unlock(&channel->state.lock);
    if (changed) {
        kpav_cv_broadcast(&channel->state.cv);
    }
    return changed;
}

void fail_channel(nand_dev* channel, int csr_dump, ULONG reason) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&channel->deferral_lock);
    if ((channel->deferral_flags & FAIL_DEFER) != 0) {
        InterlockedOr(&channel->deferral_flags, FAIL_QUEUED | (csr_dump != 0 ? FAIL_QUEUED_DUMP : 0));
        kpav_spin_unlock(&channel->deferral_lock);
        kpav_print(KPAV_CLASS_ERROR, "%s: Queueing channel failure.\n", channel_name(channel));
        return;
    }
    kpav_spin_unlock(&channel->deferral_lock);
    // The reason goes with the state: whoever sees the channel failed sees why.
    kpav_spin_lock(&channel->state.lock);
    bool changed = channel->state.value != CHANNEL_STATE_FAILED;
    if (changed) {
        channel->failure_reason = reason;
        channel->state.value = CHANNEL_STATE_FAILED;
        WriteRelease(&channel->state_now, (LONG)CHANNEL_STATE_FAILED);
    }
    kpav_spin_unlock(&channel->state.lock);
    if (!changed) {
        return;
    }
    kpav_cv_broadcast(&channel->state.cv);
    if (csr_dump != 0 && channel->card != nullptr) {
        csr_dump_request(channel->card, 1, "Failing channel.", 1);
    }
    kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 12318, "Failing channel (%u).\n", reason);
    worker_wake(channel);
    // Nobody gets a request from a failed channel: waiters for one go home empty-handed.
    wake_pool_waiters(channel);
    if (channel->card != nullptr && channel->card->ops->report_device_failed(channel->card)) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 6156,
                    "dov%u: Notification received that this device has failed.\n", channel->card->card_number);
    }
}

void fail_bad_state_requests(nand_dev* channel) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    const channel_backend_ops* backend = channel->backend;
    backend->stop_interrupts(channel);
    ULONG64 deadline = pipe_now_us() + ring_quiet_wait_us;
    while (!backend->rings_empty(channel) && pipe_now_us() < deadline) {
        backend->poll(channel);
        kpav_udelay(1000);
    }
    cpu_wq_kick_all();
    collect_completed(channel);

    LIST_ENTRY gathered;
    InitializeListHead(&gathered);
    ULONG count = 0;
    kpav_spin_lock(&channel->issue_lock);
    // Requests on the card: each is taken once, whichever completion path comes later finds it
    // gone. The ring's slots and indexes start over.
    KeAcquireSpinLockAtDpcLevel(&channel->collect_lock.lock);
    for (ULONG tag = 1; tag <= channel->pool.total; tag++) {
        velkor_request* r = request_of_tag(channel, tag);
        if (r != nullptr && ReadAcquire(&r->retire_claim) != 0 && request_claim(r)) {
            InsertTailList(&gathered, &r->queue_link);
            count++;
        }
    }
    outstanding_ring* ring = &channel->outstanding;
    for (ULONG i = 0; ring->slots != nullptr && i < ring->capacity; i++) {
        WritePointerRelease((PVOID volatile*)&ring->slots[i], nullptr);
    }
    ring->insert = 0;
    ring->complete = 0;
    KeReleaseSpinLockFromDpcLevel(&channel->collect_lock.lock);

    KeAcquireSpinLockAtDpcLevel(&channel->queue_lock.lock);
    const ULONG gathered_queues[] = {QUEUE_HIGH_PRIORITY, QUEUE_ORDERED, QUEUE_READ, QUEUE_GROOMER_ORDERED,
                                     QUEUE_GROOMER_READ};
    for (ULONG index : gathered_queues) {
        count += gather_queue(channel_queue(channel, index), &gathered, false);
    }
    count += gather_queue(channel_queue(channel, QUEUE_HOLD), &gathered, true);
    WriteNoFence(&channel->queued, 0);
    KeReleaseSpinLockFromDpcLevel(&channel->queue_lock.lock);
    KeAcquireSpinLockAtDpcLevel(&channel->rr_lock.lock);
    count += gather_queue(channel_queue(channel, QUEUE_RR), &gathered, false);
    KeReleaseSpinLockFromDpcLevel(&channel->rr_lock.lock);
    count += flush_drain_all(channel, &gathered);
    status_clear(channel, PIPE_NEEDS_ISSUE);
    kpav_spin_unlock(&channel->issue_lock);

    if (count == 0) {
        return;
    }
    kpav_spin_lock(&channel->queue_lock);
    request_queue* fail = channel_queue(channel, QUEUE_FAIL);
    while (!IsListEmpty(&gathered)) {
        velkor_request* r = request_of_queue_link(RemoveHeadList(&gathered));
        if ((r->flags & REQ_FAILED) == 0) {
            r->fail = -KPAV_EIO;
            r->flags |= REQ_FAILED;
        }
        queue_append(fail, r);
    }
    kpav_spin_unlock(&channel->queue_lock);
    kpav_print(KPAV_CLASS_ERROR, "%s: Failed %d requests from bad state\n", channel_name(channel), (int)count);
    status_set(channel, PIPE_NEEDS_COMPLETION);
    worker_wake(channel);
}

void quiesce_channel(nand_dev* channel) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    if (channel_failed(channel)) {
        return;
    }
    const channel_backend_ops* backend = channel->backend;
    ULONG64 deadline = pipe_now_us() + drain_limit_us;
    while (!channel_failed(channel)) {
        bool rr_empty;
        kpav_spin_lock(&channel->rr_lock);
        rr_empty = IsListEmpty(&channel_queue(channel, QUEUE_RR)->list) != 0;
        kpav_spin_unlock(&channel->rr_lock);
        if (ReadNoFence(&channel->queued) == 0 && ReadNoFence(&channel->merged_reads) == 0 && rr_empty) {
            break;
        }
        if (pipe_now_us() >= deadline) {
            // A card that stopped answering must not hold the stop forever.
            fail_channel(channel, 1, CHANNEL_FAIL_WATCHDOG);
            return;
        }
        kpav_udelay(1000);
        while (backend->poll(channel) == CQ_DRAIN_MORE) {
        }
        collect_completed(channel);
        pipeline_kick(channel, false);
        channel_service_requests(channel);
    }
    kpav_spin_lock(&channel->issue_lock);
    if (channel->flush.current != nullptr) {
        backend->pad_row(channel, channel->flush.current);
    }
    backend->announce(channel);
    kpav_spin_unlock(&channel->issue_lock);
    flush_wait_all(channel);
}

void channel_service_requests(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (channel->card == nullptr) {
        return;
    }
    if (ReadNoFence(&pav_dump_requested) != 0 && InterlockedExchange(&pav_dump_requested, 0) != 0) {
        csr_dump_request(channel->card, 0, nullptr, 1);
    }
    csr_dump_service(channel->card);
}

int pipeline_start_channel(nand_dev* channel) {
    PAGED_CODE();
    return kpav_steps_run(&channel->run, pipeline_steps, ARRAYSIZE(pipeline_steps), channel, channel_name(channel));
}

void pipeline_stop_channel(nand_dev* channel) {
    PAGED_CODE();
    kpav_steps_undo(&channel->run, channel);
}

