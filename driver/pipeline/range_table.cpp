// The in-flight range table.

#include "driver/pipeline/range_table.h"

#include "driver/pipeline/pipeline_internal.h"
#include "driver/pipeline/request.h"
#include "driver/platform/memory.h"

int lba_range_table_init(lba_range_table* table, ULONG bucket_count, ULONG64 width) {
    PAGED_CODE();
    table->bucket_count = bucket_count != 0 ? bucket_count : 1;
    table->width = width != 0 ? width : 1;
    table->buckets = (lba_range_bucket*)kpav_zalloc(table->bucket_count * sizeof(lba_range_bucket), KPAV_TAG_MAL);
    if (table->buckets == nullptr) {
        return -KPAV_ENOMEM;
    }
    for (ULONG i = 0; i < table->bucket_count; i++) {
        kpav_spinlock_init(&table->buckets[i].lock, "range bucket");
        InitializeListHead(&table->buckets[i].list);
    }
    kpav_spinlock_init(&table->lock, "large ranges");
    InitializeListHead(&table->large);
    table->large_count = 0;
    return 0;
}

void lba_range_table_free(lba_range_table* table) {
    PAGED_CODE();
    kpav_free(table->buckets, KPAV_TAG_MAL);
    table->buckets = nullptr;
}

ULONG lba_range_bucket_of(const lba_range_table* table, ULONG64 lba) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG64 slot = lba / table->width;
    return slot < table->bucket_count ? (ULONG)slot : table->bucket_count - 1;
}

void lba_range_insert(lba_range_table* table, velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG64 count = request->range_count;
    if (count == 0) {
        return;
    }
    if (count <= LBA_RANGE_LARGE) {
        lba_range_bucket* bucket = &table->buckets[lba_range_bucket_of(table, request->range_lba)];
        kpav_spin_lock(&bucket->lock);
        InsertTailList(&bucket->list, &request->range_link);
        kpav_spin_unlock(&bucket->lock);
        return;
    }
    kpav_spin_lock(&table->lock);
    InsertTailList(&table->large, &request->range_link);
    kpav_spin_unlock(&table->lock);
    InterlockedIncrement(&table->large_count);
}

void lba_range_remove(lba_range_table* table, velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG64 count = request->range_count;
    if (count == 0) {
        return;
    }
    // The link is read under the list's lock: neighbours entering or leaving rewrite it.
    bool large = count > LBA_RANGE_LARGE;
    kpav_spinlock* lock = large ? &table->lock : &table->buckets[lba_range_bucket_of(table, request->range_lba)].lock;
    kpav_spin_lock(lock);
    bool entered = !IsListEmpty(&request->range_link);
    if (entered) {
        RemoveEntryList(&request->range_link);
        InitializeListHead(&request->range_link);
    }
    kpav_spin_unlock(lock);
    if (entered && large) {
        InterlockedDecrement(&table->large_count);
    }
}
