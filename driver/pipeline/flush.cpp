// Flush records.

#include "driver/pipeline/flush.h"

#include "driver/pipeline/pipeline.h"
#include "driver/pipeline/pipeline_internal.h"
#include "driver/platform/memory.h"

namespace {

constexpr ULONG64 wait_limit_us = 300000000;

// Sequence numbers wrap: compare by their difference.
bool seq_before(ULONG a, ULONG b) {
    return (LONG)(a - b) < 0;
}

flush_records* records_of(nand_dev* channel) {
    return &channel->flush;
}

void fail_request(velkor_request* request, int error) {
    if ((request->flags & REQ_FAILED) == 0 || request->fail == 0) {
        request->fail = error;
    }
    request->flags |= REQ_FAILED;
}

// Under the flush lock: the record with the expected sequence completed.
void complete_in_order(nand_dev* channel, flush_record* record) {
    flush_records* f = records_of(channel);
    ULONG seq = record->sequence;
    for (PLIST_ENTRY e = f->waiters.Flink; e != &f->waiters;) {
        PLIST_ENTRY next = e->Flink;
        velkor_request* r = CONTAINING_RECORD(e, velkor_request, flush_link);
        bool depends = !seq_before(seq, r->flush_first_seq) && !seq_before(r->flush_last_seq, seq);
        if (depends && record->bad_pads_seen != 0 && flush_pad_error_fails(r)) {
            fail_request(r, -KPAV_EIO);
            for (ULONG w = 0; w < FLUSH_PAD_WORDS; w++) {
                r->bad_pad_map[w] |= record->bad_pad_map[w];
            }
        }
        if (!seq_before(seq, r->flush_last_seq)) {
            RemoveEntryList(e);
            InitializeListHead(e);
            WriteRelease(&r->flush_waiting, 0);
        }
        e = next;
    }
    WriteNoFence8((volatile char*)&record->issued, 0);
    InsertTailList(&f->free_list, &record->free_link);
    InterlockedIncrement(&f->free_count);
    InterlockedIncrement(&f->expected);
    // Last: a waiter for the rows in flight may free the records once it reads 0.
    InterlockedDecrement(&f->issued);
}

bool ordered_queued(nand_dev* channel) {
    kpav_spin_lock(&channel->queue_lock);
    bool queued = !IsListEmpty(&channel_queue(channel, QUEUE_ORDERED)->list) ||
                  !IsListEmpty(&channel_queue(channel, QUEUE_GROOMER_ORDERED)->list);
    kpav_spin_unlock(&channel->queue_lock);
    return queued;
}

void refuse_completion(nand_dev* channel, ULONG index) {
    kpav_print(KPAV_CLASS_ERROR, "%s: Completion for flush record %u that is not in flight.\n", channel_name(channel),
               index);
    fail_channel(channel, 1, CHANNEL_FAIL_BAD_COMPLETION);
}

}  // namespace

int flush_records_alloc(nand_dev* channel) {
    PAGED_CODE();
    flush_records* f = records_of(channel);
    f->pool = (flush_record*)kpav_zalloc(FLUSH_RECORD_COUNT * sizeof(flush_record), KPAV_TAG_VML);
    if (f->pool == nullptr) {
        return -KPAV_ENOMEM;
    }
    kpav_spinlock_init(&f->lock, "flush records");
    InitializeListHead(&f->free_list);
    InitializeListHead(&f->out_of_order);
    InitializeListHead(&f->waiters);
    for (ULONG i = 0; i < FLUSH_RECORD_COUNT; i++) {
        flush_record* record = &f->pool[i];
        record->index = i;
        InitializeListHead(&record->waiting);
        InitializeListHead(&record->order_link);
        InsertTailList(&f->free_list, &record->free_link);
    }
    f->free_count = FLUSH_RECORD_COUNT;
    f->current = nullptr;
    f->issued = 0;
    f->next_sequence = 0;
    f->expected = 0;
    return 0;
}

void flush_records_free(nand_dev* channel) {
    PAGED_CODE();
    flush_records* f = records_of(channel);
    // A completion that just released the last row may still hold the lock.
    kpav_spin_lock(&f->lock);
    kpav_spin_unlock(&f->lock);
    kpav_free(f->pool, KPAV_TAG_VML);
    f->pool = nullptr;
    f->current = nullptr;
}

flush_record* flush_take_record(nand_dev* channel, const flush_position* position, ULONG flag) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    flush_records* f = records_of(channel);
    eb_place place;
    if (!eb_locate(channel, position->eb, position->offset, &place)) {
        return nullptr;
    }
    kpav_spin_lock(&f->lock);
    if (IsListEmpty(&f->free_list)) {
        kpav_spin_unlock(&f->lock);
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 12305, "out of flush records.\n");
        return nullptr;
    }
    flush_record* record = CONTAINING_RECORD(RemoveHeadList(&f->free_list), flush_record, free_link);
    InterlockedDecrement(&f->free_count);
    kpav_spin_unlock(&f->lock);
    record->eb = position->eb;
    record->pad = (USHORT)place.pad;
    record->capacity = (ULONG)place.pad_capacity;
    record->media_offset = position->offset - place.in_pad;
    record->bytes = 0;
    record->bad_pads_seen = 0;
    RtlZeroMemory(record->bad_pad_map, sizeof record->bad_pad_map);
    record->bad_pad_time = 0;
    record->bank = channel->geometry.banks != 0 ? place.pad % channel->geometry.banks : 0;
    record->flag = flag;
    record->flush_requested = 0;
    InitializeListHead(&record->waiting);
    channel->backend->row_program(channel, record);
    return record;
}

void flush_account_bytes(nand_dev* channel, flush_position* position, velkor_request* request, ULONG64 count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    flush_records* f = records_of(channel);
    while (count > 0) {
        eb_place place;
        if (!eb_locate(channel, position->eb, position->offset, &place)) {
            if (request != nullptr) {
                fail_request(request, -KPAV_EINVAL);
            }
            return;
        }
        if (f->current == nullptr) {
            // Filler with no open row has nothing to fill.
            if (request == nullptr) {
                return;
            }
            f->current = flush_take_record(channel, position, (request->flags & REQ_NO_READ_COUNT) != 0 ? 1 : 0);
            if (f->current == nullptr) {
                fail_request(request, -KPAV_ENOMEM);
                return;
            }
        }
        ULONG64 room = place.pad_capacity - place.in_pad;
        if (count < room) {
            position->offset += count;
            f->current->bytes += (ULONG)count;
            return;
        }
        f->current->bytes += (ULONG)room;
        if (request != nullptr && (request->flags & REQ_FLUSH_WAITER) != 0) {
            flush_attach_waiter(channel, request);
        }
        flush_issue(channel);
        position->offset += room;
        count -= room;
    }
}

void flush_issue(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    flush_records* f = records_of(channel);
    flush_record* record = f->current;
    if (record == nullptr) {
        return;
    }
    InterlockedIncrement64(&f->flushes_issued);
    LIST_ENTRY waiting;
    InitializeListHead(&waiting);
    while (!IsListEmpty(&record->waiting)) {
        InsertTailList(&waiting, RemoveHeadList(&record->waiting));
    }
    f->current = nullptr;
    InterlockedIncrement(&f->issued);
    record->issue_time = KeQueryInterruptTime();
    kpav_spin_lock(&f->lock);
    record->sequence = f->next_sequence++;
    WriteNoFence8((volatile char*)&record->issued, 1);
    kpav_spin_unlock(&f->lock);
    channel->backend->program_start(channel, record);
    if (!IsListEmpty(&waiting)) {
        kpav_spin_lock(&channel->queue_lock);
        while (!IsListEmpty(&waiting)) {
            velkor_request* r = request_of_queue_link(RemoveHeadList(&waiting));
            InitializeListHead(&r->queue_link);
            sched_enqueue(channel, r, false);
            InterlockedDecrement(&channel->merged_reads);
        }
        kpav_spin_unlock(&channel->queue_lock);
    }
    worker_wake(channel);
}

void flush_attach_waiter(nand_dev* channel, velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    flush_records* f = records_of(channel);
    kpav_spin_lock(&f->lock);
    // The open row takes the next sequence when it is issued.
    ULONG seq = f->next_sequence;
    if (ReadNoFence(&request->flush_waiting) == 0) {
        request->flush_first_seq = seq;
        request->flush_last_seq = seq;
        InsertTailList(&f->waiters, &request->flush_link);
        WriteRelease(&request->flush_waiting, 1);
    } else if (seq_before(request->flush_last_seq, seq)) {
        request->flush_last_seq = seq;
    }
    kpav_spin_unlock(&f->lock);
}

void flush_request(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    flush_record* record = records_of(channel)->current;
    if (record != nullptr) {
        record->flush_requested = 1;
    }
    status_set(channel, PIPE_NEEDS_ISSUE);
    worker_wake(channel);
}

void flush_issue_requested(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    flush_record* record = records_of(channel)->current;
    if (record == nullptr || record->flush_requested == 0 || ordered_queued(channel)) {
        return;
    }
    channel->backend->pad_row(channel, record);
    if (records_of(channel)->current == record) {
        flush_issue(channel);
    }
}

void flush_complete(nand_dev* channel, ULONG index) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    flush_records* f = records_of(channel);
    if (index >= FLUSH_RECORD_COUNT || f->pool == nullptr) {
        refuse_completion(channel, index);
        return;
    }
    flush_record* record = &f->pool[index];
    kpav_spin_lock(&f->lock);
    if (record->issued == 0 || !IsListEmpty(&record->order_link)) {
        kpav_spin_unlock(&f->lock);
        refuse_completion(channel, index);
        return;
    }
    if (record->sequence != (ULONG)f->expected) {
        // Early: it waits, in sequence order, for the rows issued before it.
        PLIST_ENTRY e = f->out_of_order.Flink;
        while (e != &f->out_of_order &&
               seq_before(CONTAINING_RECORD(e, flush_record, order_link)->sequence, record->sequence)) {
            e = e->Flink;
        }
        InsertTailList(e, &record->order_link);
        kpav_spin_unlock(&f->lock);
        return;
    }
    for (;;) {
        complete_in_order(channel, record);
        if (IsListEmpty(&f->out_of_order)) {
            break;
        }
        flush_record* next = CONTAINING_RECORD(f->out_of_order.Flink, flush_record, order_link);
        if (next->sequence != (ULONG)f->expected) {
            break;
        }
        RemoveEntryList(&next->order_link);
        InitializeListHead(&next->order_link);
        record = next;
    }
    kpav_spin_unlock(&f->lock);
    pipeline_note_completion(channel);
}

void flush_note_bad_pads(nand_dev* channel, ULONG index, const ULONG* map, ULONG words) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    flush_records* f = records_of(channel);
    if (index >= FLUSH_RECORD_COUNT || f->pool == nullptr) {
        return;
    }
    flush_record* record = &f->pool[index];
    kpav_spin_lock(&f->lock);
    if (record->issued != 0) {
        if (record->bad_pads_seen == 0) {
            record->bad_pads_seen = 1;
            record->bad_pad_time = KeQueryInterruptTime();
        }
        for (ULONG w = 0; w < words && w < FLUSH_PAD_WORDS; w++) {
            record->bad_pad_map[w] |= map[w];
        }
        InterlockedIncrement64(&f->pad_error_events);
    }
    kpav_spin_unlock(&f->lock);
}

void flush_wait_all(nand_dev* channel) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    ULONG64 deadline = pipe_now_us() + wait_limit_us;
    while (!channel_failed(channel) && ReadAcquire(&records_of(channel)->issued) > 0) {
        if (pipe_now_us() >= deadline) {
            fail_channel(channel, 1, CHANNEL_FAIL_WATCHDOG);
            return;
        }
        kpav_udelay(1000);
        pipeline_kick(channel, false);
        channel_service_requests(channel);
    }
}

ULONG flush_drain_all(nand_dev* channel, LIST_ENTRY* list) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    flush_records* f = records_of(channel);
    ULONG count = 0;
    if (f->pool == nullptr) {
        return 0;
    }
    for (ULONG i = 0; i < FLUSH_RECORD_COUNT; i++) {
        flush_record* record = &f->pool[i];
        while (!IsListEmpty(&record->waiting)) {
            InsertTailList(list, RemoveHeadList(&record->waiting));
            InterlockedDecrement(&channel->merged_reads);
            count++;
        }
    }
    // Requests waiting for rows are on the card: the caller takes them with the outstanding ones.
    kpav_spin_lock(&f->lock);
    while (!IsListEmpty(&f->waiters)) {
        PLIST_ENTRY e = RemoveHeadList(&f->waiters);
        InitializeListHead(e);
        WriteRelease(&CONTAINING_RECORD(e, velkor_request, flush_link)->flush_waiting, 0);
    }
    kpav_spin_unlock(&f->lock);
    return count;
}

flush_record* flush_oldest_issued(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    flush_records* f = records_of(channel);
    flush_record* oldest = nullptr;
    if (f->pool == nullptr) {
        return nullptr;
    }
    kpav_spin_lock(&f->lock);
    for (ULONG i = 0; i < FLUSH_RECORD_COUNT; i++) {
        flush_record* record = &f->pool[i];
        if (record->issued != 0 && (oldest == nullptr || seq_before(record->sequence, oldest->sequence))) {
            oldest = record;
        }
    }
    kpav_spin_unlock(&f->lock);
    return oldest;
}

bool flush_pad_error_fails(const velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (request->type == REQUEST_ERASE) {
        return true;
    }
    const ULONG64 both = REQ_FLUSH_WAITER | REQ_FLUSH_JOIN;
    return request->type == REQUEST_PAGE_PROGRAM && (request->flags & both) == both;
}
