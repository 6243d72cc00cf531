// The completion side: delivery to the submitting processor, ordered collection, retirement and
// the completion of a chain.

#include "driver/pipeline/prepare.h"
#include "driver/pipeline/pipeline.h"
#include "driver/pipeline/pipeline_internal.h"
#include "driver/platform/cpu_wq.h"
#include "driver/platform/params.h"
#include "driver/platform/thread.h"

namespace {

constexpr ULONG max_signalled = 16;

bool owes_nothing(const velkor_request* request) {
    if (ReadAcquire(&request->pending_dma) != 0 || ReadAcquire(&request->pending_bank) != 0 ||
        ReadAcquire(&request->pending_report) != 0 || ReadAcquire(&request->pending_stats) != 0) {
        return false;
    }
    if (ReadAcquire(&request->flush_waiting) != 0) {
        return false;
    }
    // A read-back's decoder may mark a binary command failed while it waits here.
    bool failed = ((ULONG64)ReadAcquire64((const volatile LONG64*)&request->flags) & REQ_FAILED) != 0;
    return failed || request->type != REQUEST_BINARY_COMMAND || ReadAcquire(&request->cmd_done) != 0;
}

// Idle: the card's core clock may slow down. A holder of the issue lock is issuing: no derating.
void derate_when_idle(nand_dev* channel) {
    if (coreclk_max_derating == 0) {
        return;
    }
    if (!kpav_spin_trylock(&channel->issue_lock)) {
        return;
    }
    if (ReadNoFence(&channel->outstanding_count) == 0) {
        channel->backend->write_derating(channel, ((ULONG)coreclk_max_derating & 0xFFFF) | 0x80000000u);
    }
    kpav_spin_unlock(&channel->issue_lock);
}

void release_buffer_sets(velkor_request* request) {
    const ULONG64 held = REQ_EBH_SLOT | REQ_EBF_SLOT | REQ_EBI_SLOTS;
    if ((request->flags & held) == 0) {
        return;
    }
    ioc_bufs* opener = nullptr;
    ioc_bufs* footer = nullptr;
    ioc_bufs* index = nullptr;
    switch (request->type) {
        case REQUEST_APPEND:
        case REQUEST_BARRIER:
        case REQUEST_ADVANCE_AP:
        case REQUEST_OPEN_AP:
        case REQUEST_CLOSE_AP: {
            // The append-point pointer opens each of these types' parameters.
            auto* ap = request->params.barrier.ap;
            if (ap != nullptr) {
                opener = ap->opener_set;
                footer = ap->footer_set;
                index = ap->index_set;
            }
            break;
        }
        case REQUEST_PAGE_PROGRAM:
            opener = request->params.page_program.buffer_set;
            break;
        default:
            break;
    }
    // An append that crosses erase blocks holds an opener and a footer of each: the two slot
    // words are masks.
    for (ULONG slot = 0; slot < 64; slot++) {
        if ((request->flags & REQ_EBH_SLOT) != 0 && opener != nullptr && (request->ebh_slot >> slot & 1) != 0) {
            ioc_slot_release(opener, slot);
        }
        if ((request->flags & REQ_EBF_SLOT) != 0 && footer != nullptr && (request->ebf_slot >> slot & 1) != 0) {
            ioc_slot_release(footer, slot);
        }
    }
    request->ebh_slot = 0;
    request->ebf_slot = 0;
    if ((request->flags & REQ_EBI_SLOTS) != 0 && index != nullptr) {
        for (ULONG slot = 0; slot < 32; slot++) {
            if ((request->ebi_mask & (1u << slot)) != 0) {
                ioc_slot_release(index, slot);
            }
        }
    }
    request->ebi_mask = 0;
    request->flags &= ~held;
    request->chain_head->flags |= REQ_BUFFER_RELEASED;
}

// An erase block the request reports: to the erase-block map when the block is mapped there,
// else to the client's error or completion operation.
void eb_notice(nand_dev* channel, USHORT eb) {
    ULONG counters[EB_PAD_WORDS] = {};
    UCHAR state = ebinfo_error_snapshot(channel, eb, counters);
    bool errors = false;
    for (ULONG c : counters) {
        errors = errors || c != 0;
    }
    if (eb < channel->geometry.eb_count && state == EB_MEL_COPY) {
        channel->owner->mel_alert_leb(channel, eb, errors ? 1 : 0);
        return;
    }
    const nand_dev_client_ops* ops = channel_client_ops(channel);
    (errors ? ops->eb_event_b : ops->eb_event_a)(channel, eb);
}

void take_fail_queue(nand_dev* channel, LIST_ENTRY* list) {
    kpav_spin_lock(&channel->queue_lock);
    request_queue* fail = channel_queue(channel, QUEUE_FAIL);
    for (velkor_request* r = queue_pop(fail); r != nullptr; r = queue_pop(fail)) {
        InsertTailList(list, &r->queue_link);
    }
    kpav_spin_unlock(&channel->queue_lock);
}

}  // namespace

void cq_deliver_to_cpus(LIST_ENTRY* list) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    cpu_wq* signalled[max_signalled];
    ULONG signal_count = 0;
    while (!IsListEmpty(list)) {
        velkor_request* request = request_of_queue_link(RemoveHeadList(list));
        InitializeListHead(&request->queue_link);
        velkor_request* head = request->chain_head;
        ULONG cpu = head->ioctx != nullptr ? head->ioctx->cpu : kpav_current_cpu();
        cpu_wq* record = cpu_wq_lock_for_cpu(cpu);
        if (record == nullptr) {
            // No processor thread runs: retire here rather than lose it.
            LIST_ENTRY one;
            InitializeListHead(&one);
            InsertTailList(&one, &request->queue_link);
            retire_list(request->channel, &one, 0);
            continue;
        }
        cpu_wq_add_completed(record, &request->queue_link);
        cpu_wq_unlock(record);
        bool known = false;
        for (ULONG i = 0; i < signal_count; i++) {
            known = known || signalled[i] == record;
        }
        if (!known) {
            if (signal_count == max_signalled) {
                for (ULONG i = 0; i < signal_count; i++) {
                    cpu_wq_signal(signalled[i]);
                }
                signal_count = 0;
            }
            signalled[signal_count++] = record;
        }
    }
    for (ULONG i = 0; i < signal_count; i++) {
        cpu_wq_signal(signalled[i]);
    }
}

void pipeline_note_completion(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    status_set(channel, PIPE_NEEDS_COMPLETION);
    worker_wake(channel);
}

ULONG cpu_wq_run_completions(LIST_ENTRY* list, cpu_wq* record) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG ran = 0;
    while (!IsListEmpty(list)) {
        nand_dev* channel = request_of_queue_link(list->Flink)->channel;
        LIST_ENTRY batch;
        InitializeListHead(&batch);
        for (PLIST_ENTRY e = list->Flink; e != list;) {
            PLIST_ENTRY next = e->Flink;
            velkor_request* request = request_of_queue_link(e);
            if (request->channel == channel) {
                RemoveEntryList(e);
                InsertTailList(&batch, e);
                if (request->completion_ring != nullptr) {
                    cpu_wq_remember_queue(record, request->completion_ring);
                }
                ran++;
            }
            e = next;
        }
        retire_list(channel, &batch, 0);
        if (worker_has_work(channel)) {
            worker_wake(channel);
        }
    }
    return ran;
}

ULONG collect_completed(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    LIST_ENTRY list;
    InitializeListHead(&list);
    ULONG count = 0;
    outstanding_ring* ring = &channel->outstanding;
    kpav_spin_lock(&channel->collect_lock);
    if (ring->slots != nullptr) {
        for (;;) {
            auto* request = (velkor_request*)ReadPointerAcquire((PVOID const volatile*)&ring->slots[ring->complete]);
            if (request == nullptr || !owes_nothing(request)) {
                break;
            }
            WritePointerRelease((PVOID volatile*)&ring->slots[ring->complete], nullptr);
            ring->complete = (ring->complete + 1) % ring->capacity;
            if (request_claim(request)) {
                InsertTailList(&list, &request->queue_link);
                count++;
            }
        }
    }
    ULONG64* avg = channel->completion_averages;
    avg[0] = (avg[0] * 7 + 256) / 8;
    avg[1] = ((ULONG64)count * 256 + avg[1] * 7) / 8;
    avg[2] = avg[0] != 0 ? (avg[1] + 128) / avg[0] : 0;
    kpav_spin_unlock(&channel->collect_lock);
    take_fail_queue(channel, &list);
    retire_list(channel, &list, 0);
    return count;
}

void retire_list(nand_dev* channel, LIST_ENTRY* list, ULONG flag) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(flag);
    while (!IsListEmpty(list)) {
        velkor_request* request = request_of_queue_link(RemoveHeadList(list));
        InitializeListHead(&request->queue_link);
        retire_request(channel, request);
    }
    if (InterlockedExchange(&channel->credit_blocked, 0) != 0) {
        status_set(channel, PIPE_NEEDS_ISSUE);
    }
    WriteNoFence64(&channel->last_completion_us, (LONG64)pipe_now_us());
}

void retire_request(nand_dev* channel, velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if ((request->flags & REQ_OUTSTANDING) != 0) {
        request->flags &= ~REQ_OUTSTANDING;
        if (InterlockedDecrement(&channel->outstanding_count) == 0) {
            derate_when_idle(channel);
        }
    }
    if (channel->owner->read_recovery_complete(channel, request) == 0) {
        return;  // resubmitted or queued as failed: it comes back
    }
    if ((request->flags & REQ_MAGIC_RETRY) != 0) {
        // A packet header did not match: the read goes to the card once more, as a retry.
        request->flags &= ~REQ_MAGIC_RETRY;
        if (request->fail == PAV_UNCORRECTABLE && !channel_failed(channel)) {
            if (!resubmit_request(channel, request)) {
                queue_failed_request(channel, request);
            }
            return;
        }
    }
    bool no_retry_state = request->retry_state[0] == 0 && request->retry_state[1] == 0 && request->retry_state[2] == 0;
    if ((request->fail == PAV_UNCORRECTABLE || (request->flags & REQ_ERASED_IS_ERROR) != 0) && no_retry_state &&
        request->erased_hint != 0) {
        request->fail = PAV_ERASED_MEDIA;
    }
    release_buffer_sets(request);
    if (request->type == REQUEST_ERASE) {
        ebinfo_erase_completed(channel, request->params.erase.eb);
    }
    for (ULONG i = 0; i < request->eb_notice_count && i < 3; i++) {
        eb_notice(channel, request->eb_notices[i]);
    }
    velkor_request* head = request->chain_head;
    if (request->fail != 0) {
        InterlockedCompareExchange(&head->chain_fail, request->fail, 0);
    }
    if (InterlockedDecrement(&head->pending) != 0) {
        return;
    }
    ULONG64 bytes = 0;
    velkor_request* member = head;
    do {
        bytes += member->bytes_done;
        if ((member->flags & (REQ_DMA_TO_HOST | REQ_DMA_TO_DEVICE)) != 0 && member->list != nullptr) {
            member->list->mapped = 0;
        }
        member = request_next(member);
    } while (member != head);
    head->bytes_done = bytes;
    ULONG64 now = pipe_now_us();
    request_complete(channel, head, now > head->submit_us ? now - head->submit_us : 0);
}

void request_complete(nand_dev* channel, velkor_request* head, ULONG64 latency_us) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    // Read all of the chain that is needed now: once the waiter is woken or the callback ran,
    // the chain may already be someone else's.
    ULONG type = head->type;
    ULONG64 flags = head->flags;
    ULONG64 bytes = head->bytes_done;
    tavrin_ioctx* ioctx = head->ioctx;
    request_done_fn done = head->done_fn;

    stat_add(channel, type, (flags & REQ_GROOMER) != 0 ? STAT_GROOMER_BYTES : STAT_OTHER_BYTES, bytes);
    if (done != nullptr) {
        done(head, bytes, latency_us);
    }
    stat_add(channel, type, STAT_BYTES, bytes);
    stat_add(channel, type, STAT_COMPLETED, 1);
    stat_add(channel, type, STAT_LATENCY_US, latency_us);
    const nand_dev_client_ops* ops = channel_client_ops(channel);
    if ((flags & REQ_BUFFER_RELEASED) != 0) {
        ops->buffer_notice(channel);
    }
    if ((flags & REQ_WAITER) != 0 && ioctx != nullptr) {
        // Last: the waiter frees the chain as soon as it sees the bit.
        kpav_spin_lock(&channel->completion_lock);
        InterlockedOr(&ioctx->done, IOCTX_DONE);
        kpav_cv_broadcast(&channel->completion_cv);
        kpav_spin_unlock(&channel->completion_lock);
        return;
    }
    if ((flags & REQ_CALLER_FREES) == 0) {
        request_free_list(head);
    }
}
