#include "driver/log/range_lock.h"

#include "driver/pipeline/request.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/time.h"

namespace {

struct overlap {
    bool found;
    ULONG64 start;
    ULONG64 count;
};

void consider_list(LIST_ENTRY* list, kpav_spinlock* lock, ULONG64 start, ULONG64 end, overlap* best) {
    kpav_spin_lock(lock);
    for (LIST_ENTRY* e = list->Flink; e != list; e = e->Flink) {
        const velkor_request* r = CONTAINING_RECORD(e, velkor_request, range_link);
        ULONG64 r_start = r->range_lba;
        ULONG64 r_end = r_start + r->range_count;
        if (r->range_count == 0 || r_end <= start || r_start >= end) {
            continue;
        }
        if (!best->found || r_start < best->start || (r_start == best->start && r->range_count > best->count)) {
            best->found = true;
            best->start = r_start;
            best->count = r->range_count;
        }
    }
    kpav_spin_unlock(lock);
}

}  // namespace

int datalog_range_table_init(lba_range_locks* locks, ULONG64 capacity) {
    PAGED_CODE();
    ULONG slots = LBA_RANGE_SLOTS;
    while (slots > 1 && capacity / slots < LBA_RANGE_MIN_SLOT) {
        slots /= 2;
    }
    ULONG64 width = capacity / slots;
    if (width < LBA_RANGE_MIN_SLOT) {
        width = LBA_RANGE_MIN_SLOT;
    }
    kpav_spinlock_init(&locks->gate);
    kpav_cv_init(&locks->released);
    return lba_range_table_init(&locks->table, slots, width);
}

void datalog_range_table_free(lba_range_locks* locks) {
    PAGED_CODE();
    lba_range_table_free(&locks->table);
}

ULONG64 lba_range_lock(lba_range_table* table, ULONG64 start, ULONG64 count, ULONG64* out_offset) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (count == 0 || table->buckets == nullptr) {
        return 0;
    }
    ULONG64 end = start + count;
    if (end < start) {
        end = ~0ull;  // a range that runs past the last sector stops there
    }
    overlap best = {};
    // A range of at most 2048 sectors lies in the slot of its first sector: any that reaches
    // `start` began at most 2047 sectors before it.
    ULONG64 reach = start > LBA_RANGE_LARGE - 1 ? start - (LBA_RANGE_LARGE - 1) : 0;
    ULONG first = lba_range_bucket_of(table, reach);
    ULONG last = lba_range_bucket_of(table, end - 1);
    for (ULONG slot = first; slot <= last; slot++) {
        consider_list(&table->buckets[slot].list, &table->buckets[slot].lock, start, end, &best);
    }
    if (ReadNoFence(&table->large_count) != 0) {
        consider_list(&table->large, &table->lock, start, end, &best);
    }
    if (!best.found) {
        return 0;
    }
    ULONG64 from = best.start > start ? best.start : start;
    ULONG64 to = best.start + best.count < end ? best.start + best.count : end;
    *out_offset = from - start;
    return to - from;
}

void lba_range_unlock(lba_range_table* table, velkor_request* head) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    velkor_request* r = head;
    do {
        if (r->range_table == table) {
            lba_range_remove(table, r);
        }
        r = CONTAINING_RECORD(r->chain_link.Flink, velkor_request, chain_link);
    } while (r != head);
}

int lba_range_acquire(lba_range_locks* locks, velkor_request* request, LONGLONG timeout_us) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    ULONGLONG deadline = timeout_us == KPAV_NO_TIMEOUT ? 0 : kpav_get_usecs() + (ULONGLONG)timeout_us;
    kpav_spin_lock(&locks->gate);
    for (;;) {
        ULONG64 offset;
        if (lba_range_lock(&locks->table, request->range_lba, request->range_count, &offset) == 0) {
            InitializeListHead(&request->range_link);
            request->range_table = &locks->table;
            lba_range_insert(&locks->table, request);
            kpav_spin_unlock(&locks->gate);
            return 0;
        }
        LONGLONG wait = KPAV_NO_TIMEOUT;
        if (timeout_us != KPAV_NO_TIMEOUT) {
            ULONGLONG now = kpav_get_usecs();
            if (now >= deadline) {
                kpav_spin_unlock(&locks->gate);
                return -KPAV_EBUSY;
            }
            wait = (LONGLONG)(deadline - now);
        }
        kpav_cv_timedwait(&locks->released, &locks->gate, wait, false);
    }
}

void lba_range_release(lba_range_locks* locks, velkor_request* request) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    lba_range_remove(&locks->table, request);
    request->range_table = nullptr;
    kpav_spin_lock(&locks->gate);
    kpav_cv_broadcast(&locks->released);
    kpav_spin_unlock(&locks->gate);
}
