// Metadata blocks: the record pool, the per-log block table, lookup and creation, release and
// iteration.
#include "driver/log/mblk_table.h"
#include "driver/log/apt.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/params.h"

mblk_pool mblk_records;

namespace {

constexpr ULONG mblk_record_size = 64;

mblk* find_in_chain(const mblk_table* table, ULONG bucket, ULONG64 key) {
    for (mblk* block = table->hash[bucket]; block != nullptr; block = block->hash_next) {
        if (block->key == key) {
            return block;
        }
    }
    return nullptr;
}

// What a get in `mode` makes of an existing block (table lock held): a reference (0), -17 for a
// creation, and for a retired block -2 when only finding, else -17 (its key is still taken).
int found(mblk* block, int mode) {
    if ((block->flags & MBLK_FLAG_RETIRED) != 0) {
        return mode == MBLK_FIND ? -KPAV_ENOENT : -KPAV_EEXIST;
    }
    if (mode == MBLK_CREATE) {
        return -KPAV_EEXIST;
    }
    mblk_ref(block);
    return 0;
}

ULONG page_digest(const void* page) {
    const UCHAR* bytes = (const UCHAR*)page;
    ULONG h = 0x811c9dc5u;
    for (ULONG i = 0; i < PAV_PAGE_SIZE; i++) {
        h = (h ^ bytes[i]) * 16777619u;
    }
    return h;
}

// A record goes back to where records of this table come from: to the table's part of the
// reserve in preallocation mode, else to the cache.
void give_back_record(mblk_table* table, mblk* record) {
    if (table->prealloc_mode) {
        kpav_spin_lock(&mblk_records.reserve_lock);
        InsertTailList(&mblk_records.reserve, (PLIST_ENTRY)record);
        mblk_records.reserve_count++;
        table->reserved_records++;
        kpav_spin_unlock(&mblk_records.reserve_lock);
    } else {
        mblk_struct_free(record, table->footprint);
    }
}

// Whether the driver's block limit (0: none) leaves no room for another block. Table lock held.
bool at_block_limit(const mblk_table* table) {
    return max_md_blocks_per_device > 0 && table->blocks_in_use >= (ULONG64)max_md_blocks_per_device;
}

// The memory report every -12 of block creation gives: the message and the log's internal
// error "out of memory".
void report_no_memory(pav_log* log) {
    kpav_syslog(KPAV_LEVEL_ERROR, datalog_device_name(log), 16394, "Inadequate memory available.\n");
    pav_log_internal_error(log, PAV_LOG_ERROR_NO_MEMORY, 0, 0);
}

// Takes one record off the reserve list (lock held).
mblk* reserve_pop() {
    if (IsListEmpty(&mblk_records.reserve)) {
        return nullptr;
    }
    mblk_records.reserve_count--;
    return (mblk*)RemoveHeadList(&mblk_records.reserve);
}

}  // namespace

ULONG mblk_hash(ULONG64 key) {
    ULONG h = 0x811c9dc5u;
    for (int i = 0; i < 6; i++) {
        h = (h ^ (ULONG)((key >> (8 * i)) & 0xFF)) * 16777619u;
    }
    h = (h ^ (ULONG)((key >> 48) & 0xFF)) * 403u;
    h = (h ^ (ULONG)((key >> 56) & 0xFF)) * 403u;
    return h & (MBLK_HASH_BUCKETS - 1);
}

// ---------------------------------------------------------------------------------------------
// The record pool

int mblk_cache_init() {
    PAGED_CODE();
    InitializeListHead(&mblk_records.reserve);
    mblk_records.reserve_count = 0;
    kpav_spinlock_init(&mblk_records.reserve_lock, "mblk reserve");
    mblk_records.record_size = mblk_record_size;
    return __kpav_create_cache(&mblk_records.cache, "mblk-strovane", mblk_record_size);
}

void mblk_cache_exit() {
    PAGED_CODE();
    // Tables hand back their own part when they exit; whatever is left has no table any more.
    for (;;) {
        kpav_spin_lock(&mblk_records.reserve_lock);
        mblk* record = reserve_pop();
        kpav_spin_unlock(&mblk_records.reserve_lock);
        if (record == nullptr) {
            break;
        }
        mblk_struct_free(record, nullptr);
    }
    kpav_destroy_cache(&mblk_records.cache);
}

mblk* mblk_struct_alloc(mem_stats* footprint) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    mblk* record = (mblk*)kpav_cache_alloc(&mblk_records.cache);
    if (record != nullptr) {
        mem_stats_add(footprint, mblk_records.record_size);
    }
    return record;
}

void mblk_struct_free(mblk* record, mem_stats* footprint) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_cache_free(&mblk_records.cache, record);
    mem_stats_sub(footprint, mblk_records.record_size);
}

int mblk_page_alloc(pav_log* log, ULONG64 count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    mblk_table* table = log->mblks;
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    for (ULONG64 i = 0; i < count; i++) {
        mblk* record = mblk_struct_alloc(table->footprint);
        if (record == nullptr) {
            while (!IsListEmpty(&taken)) {
                mblk_struct_free((mblk*)RemoveHeadList(&taken), table->footprint);
            }
            return -KPAV_ENOMEM;
        }
        InsertTailList(&taken, (PLIST_ENTRY)record);
    }
    kpav_spin_lock(&mblk_records.reserve_lock);
    while (!IsListEmpty(&taken)) {
        InsertTailList(&mblk_records.reserve, RemoveHeadList(&taken));
    }
    mblk_records.reserve_count += count;
    table->reserved_records += count;
    kpav_spin_unlock(&mblk_records.reserve_lock);
    return 0;
}

int mblk_page_reserve(pav_log* log, ULONG64 count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    mblk_table* table = log->mblks;
    for (ULONG64 i = 0; i < count; i++) {
        mblk* record = mblk_reserve_take(log);
        if (record == nullptr) {
            return -KPAV_ENOMEM;
        }
        mblk_struct_free(record, table->footprint);
    }
    return 0;
}

mblk* mblk_reserve_take(pav_log* log) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    mblk_table* table = log->mblks;
    mblk* record = nullptr;
    kpav_spin_lock(&mblk_records.reserve_lock);
    if (table->reserved_records != 0) {
        record = reserve_pop();
        if (record != nullptr) {
            table->reserved_records--;
        }
    }
    kpav_spin_unlock(&mblk_records.reserve_lock);
    return record;
}

// ---------------------------------------------------------------------------------------------
// The block table of a log

int mblk_table_init(pav_log* log, bool preallocate, bool owner_flag) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(owner_flag);
    mblk_table* table = (mblk_table*)kpav_zalloc(sizeof(mblk_table), KPAV_TAG_MAL);
    if (table == nullptr) {
        return -KPAV_ENOMEM;
    }
    table->footprint = log->md_footprint;
    table->device_name = datalog_device_name(log);
    kpav_spinlock_init(&table->lock, "mblk table");
    InitializeListHead(&table->blocks);
    ULONG sector = log->sector_size != 0 ? log->sector_size : PAV_PAGE_SIZE;
    table->packets_per_block = (sector + PAV_PAGE_SIZE - 1) / sector;
    table->hash = (mblk**)kpav_zalloc(MBLK_HASH_BUCKETS * sizeof(mblk*), KPAV_TAG_VML);
    if (table->hash == nullptr) {
        kpav_free(table, KPAV_TAG_MAL);
        return -KPAV_ENOMEM;
    }
    table->prealloc_mode = preallocate ? 1 : 0;
    log->mblks = table;
    return 0;
}

void mblk_table_exit(pav_log* log) {
    PAGED_CODE();
    mblk_table* table = log->mblks;
    if (table == nullptr) {
        return;
    }
    table->prealloc_mode = 0;
    mblk_release_all(log);
    kpav_free(table->hash, KPAV_TAG_VML);
    pav_mempool_destroy(&log->md_pages);
    mblk_page_reserve(log, table->reserved_records);
    kpav_free(table, KPAV_TAG_MAL);
    log->mblks = nullptr;
}

int mblk_get(mblk** out, pav_log* log, ULONG64 key, int mode) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    mblk_table* table = log->mblks;
    ULONG bucket = mblk_hash(key);

    kpav_spin_lock(&table->lock);
    mblk* block = find_in_chain(table, bucket, key);
    if (block != nullptr) {
        int rc = found(block, mode);
        kpav_spin_unlock(&table->lock);
        if (rc == 0) {
            *out = block;
        }
        return rc;
    }
    if (mode == MBLK_FIND) {
        kpav_spin_unlock(&table->lock);
        return -KPAV_ENOENT;
    }
    bool at_limit = at_block_limit(table);
    kpav_spin_unlock(&table->lock);
    if (at_limit) {
        report_no_memory(log);
        return -KPAV_ENOMEM;
    }

    // Memory is taken without the lock; the chain and the limit are looked at again afterwards.
    mblk* record = table->prealloc_mode ? mblk_reserve_take(log) : mblk_struct_alloc(table->footprint);
    if (record == nullptr) {
        kpav_print(KPAV_CLASS_ERROR, "%s: unable to allocate metadata block structure\n", table->device_name);
        report_no_memory(log);
        return -KPAV_ENOMEM;
    }
    void* page = nullptr;
    int rc = pav_page_pool_get(&page, &log->md_pages);
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: unable to allocate metadata page (%d)\n", table->device_name, rc);
        give_back_record(table, record);
        if (rc == -KPAV_ENOMEM) {
            report_no_memory(log);
        }
        return rc;
    }

    kpav_spin_lock(&table->lock);
    if (!table->digest_taken) {
        table->page_digest = page_digest(page);
        table->digest_taken = 1;
    }
    block = find_in_chain(table, bucket, key);
    if (block != nullptr || at_block_limit(table)) {
        // Another thread made the block meanwhile, or other blocks took the last room.
        rc = block != nullptr ? found(block, mode) : -KPAV_ENOMEM;
        kpav_spin_unlock(&table->lock);
        pav_page_pool_put(&log->md_pages, page);
        give_back_record(table, record);
        if (rc == -KPAV_ENOMEM) {
            report_no_memory(log);
        } else if (rc == 0) {
            *out = block;
        }
        return rc;
    }
    record->key = key;
    record->refs = 1;
    record->users = 0;
    record->page = page;
    record->flags = 0;
    InitializeListHead(&record->link);
    record->hash_next = table->hash[bucket];
    record->hash_back = &table->hash[bucket];
    if (record->hash_next != nullptr) {
        record->hash_next->hash_back = &record->hash_next;
    }
    table->hash[bucket] = record;
    InsertTailList(&table->blocks, &record->link);
    table->blocks_in_use++;
    kpav_spin_unlock(&table->lock);
    *out = record;
    return 0;
}

int mblk_get_next_free(pav_log* log, mblk** out, ULONG64 first_key, ULONG64 end_key, ULONG64* cursor) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (end_key < first_key) {
        return -KPAV_EINVAL;
    }
    ULONG64 key = *cursor;
    if (key < first_key || key > end_key) {
        key = first_key;
    }
    ULONG64 start = key;
    for (;;) {
        *cursor = key == end_key ? first_key : key + 1;
        int rc = mblk_get(out, log, key, MBLK_CREATE);
        if (rc != -KPAV_EEXIST) {
            return rc;  // 0, or -12 already reported
        }
        key = *cursor;
        if (key == start) {
            return -KPAV_EEXIST;
        }
    }
}

void mblk_release(pav_log* log, mblk* block, bool drop_count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    mblk_table* table = log->mblks;
    if (drop_count) {
        table->blocks_in_use--;
    }
    RemoveEntryList(&block->link);
    InitializeListHead(&block->link);
    *block->hash_back = block->hash_next;
    if (block->hash_next != nullptr) {
        block->hash_next->hash_back = block->hash_back;
    }
    block->hash_next = (mblk*)MBLK_POISON_NEXT;
    block->hash_back = (mblk**)MBLK_POISON_BACK;
    pav_page_pool_put(&log->md_pages, block->page);
    block->page = nullptr;
    give_back_record(table, block);
}

void mblk_put(pav_log* log, mblk* block) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (InterlockedDecrement(&block->refs) != 0 || (ReadNoFence64(&block->flags) & MBLK_FLAG_RETIRED) == 0) {
        return;
    }
    // No lookup gives a retired block a reference anew, so the thread that dropped the last one
    // is the only one here.
    mblk_table* table = log->mblks;
    kpav_spin_lock(&table->lock);
    mblk_release(log, block, true);
    kpav_spin_unlock(&table->lock);
}

void mblk_retire(pav_log* log, mblk* block) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    // Marked under the table's lock, which lookups hold while they look at the mark and take
    // their reference: a lookup that came first has its reference counted before the caller's
    // goes, and none comes after. Without the lock a lookup could count a reference on a block
    // whose last one was already dropped, and the block would be released twice.
    mblk_table* table = log->mblks;
    kpav_spin_lock(&table->lock);
    InterlockedOr64(&block->flags, MBLK_FLAG_RETIRED);
    kpav_spin_unlock(&table->lock);
    mblk_put(log, block);
}

int mblk_try_release(pav_log* log, mblk* block) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    mblk_table* table = log->mblks;
    kpav_spin_lock(&table->lock);
    if (block->refs != 0) {
        kpav_spin_unlock(&table->lock);
        return -KPAV_EBUSY;
    }
    mblk_release(log, block, true);
    kpav_spin_unlock(&table->lock);
    return 0;
}

int mblk_for_each(pav_log* log, mblk_callback callback, void* argument) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    mblk_table* table = log->mblks;
    int result = 0;
    for (ULONG bucket = 0; bucket < MBLK_HASH_BUCKETS; bucket++) {
        mblk* block = table->hash[bucket];
        while (block != nullptr) {
            mblk* next = block->hash_next;
            if ((block->flags & MBLK_FLAG_RETIRED) == 0) {
                mblk_ref(block);
                result = callback(log, block, argument, result);
                if (result != 0) {
                    return result == 1 ? 0 : result;
                }
            }
            block = next;
        }
    }
    return 0;
}

void mblk_release_all(pav_log* log) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    mblk_table* table = log->mblks;
    kpav_spin_lock(&table->lock);
    // Retired blocks that someone still holds go too: the table is going away.
    for (ULONG bucket = 0; bucket < MBLK_HASH_BUCKETS; bucket++) {
        while (table->hash[bucket] != nullptr) {
            mblk_release(log, table->hash[bucket], true);
        }
    }
    kpav_spin_unlock(&table->lock);
}

int mblk_match_cb(pav_log* log, mblk* block, void* argument, int) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    mblk_match* match = (mblk_match*)argument;
    mblk_put(log, block);
    if (block->page == match->page) {
        match->block = block;
        return 1;
    }
    return 0;
}

int mblk_write_cb(pav_log* log, mblk* block, void* argument, int) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    const mblk_write_arg* write = (const mblk_write_arg*)argument;
    ULONG sector = log->sector_size != 0 ? log->sector_size : PAV_PAGE_SIZE;
    ULONG packets = sector >= PAV_PAGE_SIZE ? 1 : PAV_PAGE_SIZE / sector;
    int rc = -KPAV_EINVAL;
    if (log->append_point != nullptr && write != nullptr) {
        append_point* ap = &log->append_point->head;
        const ULONG geometry[2] = {ap->geometry_a, ap->geometry_b};
        rc = request_submit_append(ap, write->notice, nullptr, geometry, mblk_log_entry_word(block->key), packets,
                                   block->page, nullptr, write->context);
    }
    mblk_put(log, block);
    return rc;
}

ULONG mblk_eb_change_cb(void* ignored, const pav_addr_block* runs, mblk_eb_change_state* state) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(ignored);
    if (runs->count == 0) {
        return 0;
    }
    ULONG last = (runs->count <= 3 ? runs->count : 3) - 1;
    USHORT leb = runs->vectors[last].eb;
    if (leb != state->last_leb) {
        state->changes++;
        state->last_leb = leb;
    }
    return last;
}
