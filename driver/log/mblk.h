// Metadata blocks: a 64-bit key bound to one 4096-byte metadata page, found by key in the log's
// table of 262144 hash buckets. Forward-map nodes and validity-bitmap leaves live in them, and
// the metadata log writes them out and replays them by key.
#pragma once

#include "driver/pipeline/builders.h"
#include "driver/platform/os.h"

struct pav_log;

struct mblk {
    ULONG64 key;
    mblk* hash_next;
    mblk** hash_back;        // the field that points at this block: a bucket or a hash_next
    LIST_ENTRY link;         // in the table's list of blocks
    volatile LONG refs;
    ULONG users;             // users of the block's page (bitmap leaves count theirs)
    void* page;              // 4096 bytes from the log's metadata page pool
    volatile LONG64 flags;   // MBLK_FLAG_*
};
static_assert(sizeof(mblk) == 64, "block records come from a cache of 64-byte objects");

// Flags of a block: written out at the next metadata save; loaded from media as an index node
// or as a leaf; retired (its owner let it go: lookups and iteration no longer see it, and it is
// released at its last reference).
constexpr LONG64 MBLK_FLAG_DIRTY = 1;
constexpr LONG64 MBLK_FLAG_LOADED_LEAF = 2;
constexpr LONG64 MBLK_FLAG_RETIRED = 4;

enum mblk_get_mode : int {
    MBLK_FIND = 0,            // -KPAV_ENOENT when the key has no block
    MBLK_FIND_OR_CREATE = 1,
    MBLK_CREATE = 2,          // -KPAV_EEXIST when the key has a block
};

// Module initialisation and unload of the driver-wide record pool: 0 or -KPAV_ENOMEM (logged).
// PASSIVE_LEVEL.
int mblk_cache_init();
void mblk_cache_exit();

// Sets up the log's block table: 0 or -KPAV_ENOMEM. `preallocate` is the preallocation mode
// (records come from and go back to the reserve); `owner_flag` is the caller's mark of the log that
// owns the pool, which the table does not keep. The log's card, sector size, footprint counter and
// page pool must be set. PASSIVE_LEVEL, as is exit.
int mblk_table_init(pav_log* log, bool preallocate, bool owner_flag);
// Releases every block, frees the table, tears down the log's page pool and hands back the
// records this table still has on the reserve list.
void mblk_table_exit(pav_log* log);

// Finds, finds or creates, or only creates the block of `key`; on success its reference count
// is raised and *out receives it. 0, -KPAV_ENOENT, -KPAV_ENOMEM (logged, and the log's internal
// error), -KPAV_EEXIST. A retired block is not found (-KPAV_ENOENT), and its key cannot be created
// again until it is released (-KPAV_EEXIST, in both creating modes). Up to DISPATCH_LEVEL; takes
// the table's lock.
int mblk_get(mblk** out, pav_log* log, ULONG64 key, int mode);
// Creates the first key from max(*cursor, first_key) on (wrapping from end_key, inclusive, to
// first_key) that has no block yet: 0, -KPAV_ENOMEM, or -KPAV_EEXIST after a whole turn without
// one.
int mblk_get_next_free(pav_log* log, mblk** out, ULONG64 first_key, ULONG64 end_key, ULONG64* cursor);
// 0 when the block was released, -KPAV_EBUSY when it still has references.
int mblk_try_release(pav_log* log, mblk* block);
// Drops one reference; the last one of a retired block releases it (taking the table's lock,
// which the caller must not hold then). Up to DISPATCH_LEVEL.
void mblk_put(pav_log* log, mblk* block);
// Takes a further reference; the caller already holds one (a retired block gets none anew).
// Any IRQL, as is marking a block dirty.
inline void mblk_ref(mblk* block) {
    InterlockedIncrement(&block->refs);
}
// Retires the block and drops the caller's reference: it is released now when that was the
// last one, else by whoever drops the last one. Up to DISPATCH_LEVEL.
void mblk_retire(pav_log* log, mblk* block);
inline void mblk_mark_dirty(mblk* block) {
    if ((block->flags & MBLK_FLAG_DIRTY) == 0) {
        InterlockedOr64(&block->flags, MBLK_FLAG_DIRTY);
    }
}

// Calls `callback` for every block but the retired ones, bucket by bucket, with a reference
// taken for it (the callback drops it). A non-zero result stops the walk; 1 means "found" and
// is returned as 0.
// The next block is taken before the callback runs, so the callback may release its block; the
// caller keeps other changes of the table away (or holds its lock, when the callback does not
// wait). Up to DISPATCH_LEVEL, as is releasing every block.
using mblk_callback = int (*)(pav_log* log, mblk* block, void* argument, int previous);
int mblk_for_each(pav_log* log, mblk_callback callback, void* argument);
void mblk_release_all(pav_log* log);

// mblk_for_each callbacks. mblk_match_cb: `argument` points at a mblk_match {page in, block out}.
struct mblk_match {
    const void* page;
    mblk* block;
};
int mblk_match_cb(pav_log* log, mblk* block, void* argument, int previous);
// Writes the block's page into the log as its packets: an asynchronous append on the log's
// append point whose notice is `argument`'s (an mblk_write_arg); drops the block's reference.
// -KPAV_EINVAL without an append point, else the submit's result. Below DISPATCH_LEVEL.
struct mblk_write_arg {
    append_notice_fn notice;
    void* context;
};
int mblk_write_cb(pav_log* log, mblk* block, void* argument, int previous);
// Counts the changes of LEB along the address blocks of the requests it is shown: when the
// block's last run lies in another LEB than the last one seen, the count rises. Returns the
// index of the last run.
struct mblk_eb_change_state {
    USHORT last_leb;
    ULONG changes;
};
ULONG mblk_eb_change_cb(void* ignored, const pav_addr_block* runs, mblk_eb_change_state* state);
// The entry word the block's packets carry: opcode 0x8E and key x 8 as the address.
inline ULONG64 mblk_log_entry_word(ULONG64 key) {
    return ((key & ~(7ull << 53)) | 0xF1C0000000000000ull) * 8;
}

// The driver-wide record pool's reserve: records set aside so that a log in preallocation mode
// never waits for pool memory. PASSIVE_LEVEL up to DISPATCH_LEVEL.
// Moves `count` new records to the reserve list as the log's: 0 or -KPAV_ENOMEM with nothing
// reserved.
int mblk_page_alloc(pav_log* log, ULONG64 count);
// Gives `count` of the log's reserved records back to the cache: 0, or -KPAV_ENOMEM when its part
// of the reserve ran out first.
int mblk_page_reserve(pav_log* log, ULONG64 count);
// One of the log's reserved records, or NULL.
mblk* mblk_reserve_take(pav_log* log);
