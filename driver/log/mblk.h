// Metadata blocks: a 64-bit key bound to one 4096-byte metadata page, found by key in the log's
// table of 262144 hash buckets. Forward-map nodes and validity-bitmap leaves live in them, and
// the metadata log writes them out and replays them by key.
#pragma once

#include "driver/block/mem_stats.h"
#include "driver/log/datalog.h"
#include "driver/platform/memory.h"
#include "driver/platform/os.h"
#include "driver/platform/sync.h"

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

// What a released record's hash links hold until the record is reused.
constexpr ULONG64 MBLK_POISON_NEXT = 0xc001c0de;
constexpr ULONG64 MBLK_POISON_BACK = 0xcafec0de;

constexpr ULONG MBLK_HASH_BUCKETS = 262144;

struct mblk_table {
    LIST_ENTRY pending;       // not used yet by anything built so far
    ULONG64 cleared[2];
    UCHAR active;             // 1 once set up
    UCHAR preallocate;        // the log's preallocation setting (nothing reads it yet)
    mem_stats* footprint;     // the card's counter: the records this table took, and its pages
    const char* device_name;
    kpav_spinlock lock;       // guards the chains, the list and blocks_in_use
    LIST_ENTRY blocks;        // every block, new ones at the tail
    LIST_ENTRY second;
    mblk** hash;              // MBLK_HASH_BUCKETS chains
    ULONG64 blocks_in_use;
    ULONG packets_per_block;  // packets one page takes in the log
    ULONG page_digest;        // FNV-1a of the first page the table ever took
    UCHAR digest_taken;
    UCHAR prealloc_mark;
    UCHAR prealloc_mode;      // released records go to the reserve list
    ULONG64 reserved_records; // records of the reserve list that are this table's (reserve lock)
};

// The driver-wide pool of block records: a lookaside cache and the reserve list that
// preallocation fills so that the data path never waits for pool memory. The list is shared;
// each table counts its own part of it, so that one log neither uses up nor hands back another
// log's reservation. A record is charged to the footprint of the table that took it from the
// cache until it goes back there.
struct mblk_pool {
    kpav_cache cache;
    ULONG record_size;
    ULONG depth;
    LIST_ENTRY reserve;       // reserved records, linked through their first bytes
    ULONG64 reserve_count;
    kpav_spinlock reserve_lock;
};

extern mblk_pool mblk_records;

enum mblk_get_mode : int {
    MBLK_FIND = 0,            // -2 when the key has no block
    MBLK_FIND_OR_CREATE = 1,
    MBLK_CREATE = 2,          // -17 when the key has a block
};

// Bucket of a key in the table's hash.
ULONG mblk_hash(ULONG64 key);

// Module initialisation and unload of the record pool: 0 or -12 (logged). The format's module
// set-up (pav_format_module_init, which comes with the format) calls init last. PASSIVE_LEVEL.
int mblk_cache_init();
void mblk_cache_exit();

// Sets up the log's block table: 0 or -12. `preallocate` is the preallocation mode (records
// come from and go back to the reserve); `owner_flag` is not used by anything built so far. The
// log's card, sector size, preallocation setting, footprint counter and page pool must be set.
// PASSIVE_LEVEL, as is exit.
int mblk_table_init(pav_log* log, bool preallocate, bool owner_flag);
// Releases every block, frees the table, tears down the log's page pool and hands back the
// records this table still has on the reserve list.
void mblk_table_exit(pav_log* log);

// Finds, finds or creates, or only creates the block of `key`; on success its reference count
// is raised and *out receives it. 0, -2, -12 (logged, and the log's internal error), -17. A
// retired block is not found (-2), and its key cannot be created again until it is released
// (-17, in both creating modes). Up to DISPATCH_LEVEL; takes the table's lock.
int mblk_get(mblk** out, pav_log* log, ULONG64 key, int mode);
// Creates the first key from max(*cursor, first_key) on (wrapping from end_key, inclusive, to
// first_key) that has no block yet: 0, -12, or -17 after a whole turn without one.
int mblk_get_next_free(pav_log* log, mblk** out, ULONG64 first_key, ULONG64 end_key, ULONG64* cursor);
// Unlinks and frees a block; the caller holds the table lock. `drop_count` lowers the blocks in
// use.
void mblk_release(pav_log* log, mblk* block, bool drop_count);
// 0 when the block was released, -16 when it still has references.
int mblk_try_release(pav_log* log, mblk* block);
// Releases a retired block whose last reference was just dropped. Takes the table's lock.
void mblk_release_retired(pav_log* log, mblk* block);
// Drops one reference; the last one of a retired block releases it (taking the table's lock,
// which the caller must not hold then). Up to DISPATCH_LEVEL.
inline void mblk_put(pav_log* log, mblk* block) {
    if (InterlockedDecrement(&block->refs) == 0 && (block->flags & MBLK_FLAG_RETIRED) != 0) {
        mblk_release_retired(log, block);
    }
}
// Takes a further reference; the caller already holds one (a retired block gets none anew).
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
// wait).
using mblk_callback = int (*)(pav_log* log, mblk* block, void* argument, int previous);
int mblk_for_each(pav_log* log, mblk_callback callback, void* argument);
void mblk_release_all(pav_log* log);

// mblk_for_each callbacks. mblk_match_cb: `argument` points at a mblk_match {page in, block out}.
struct mblk_match {
    const void* page;
    mblk* block;
};
int mblk_match_cb(pav_log* log, mblk* block, void* argument, int previous);
// Writes the block's page into the log as its packets (the log's append hook), completing
// through `argument`; drops the block's reference.
int mblk_write_cb(pav_log* log, mblk* block, void* argument, int previous);
// The entry word the block's packets carry: opcode 0x8E and key x 8 as the address.
inline ULONG64 mblk_log_entry_word(ULONG64 key) {
    return ((key & ~(7ull << 53)) | 0xF1C0000000000000ull) * 8;
}

// The record pool. A record from the cache is charged to `footprint` (NULL: to nobody) until it
// goes back.
mblk* mblk_struct_alloc(mem_stats* footprint);
void mblk_struct_free(mblk* record, mem_stats* footprint);
// Moves `count` new records to the reserve list as the log's: 0 or -12 with nothing reserved.
int mblk_page_alloc(pav_log* log, ULONG64 count);
// Gives `count` of the log's reserved records back to the cache: 0, or -12 when its part of the
// reserve ran out first.
int mblk_page_reserve(pav_log* log, ULONG64 count);
// One of the log's reserved records, or NULL.
mblk* mblk_reserve_take(pav_log* log);

// The erase-block change count of metadata writes: the append completion of each block write
// calls mblk_eb_change_cb with the request's status, its address block (up to three runs of
// {LEB, packet offset} and their lengths) and the writer's state. When the LEB of the last run
// differs from the state's last LEB, the change count goes up and the last LEB is updated; the
// result is the index of the last run. It is defined with the request records, which bring the
// address block; nothing calls it before then.
struct pav_addr_block;
struct mblk_eb_change_state {
    USHORT last_leb;  // PAV_NO_LEB before the first run
    ULONG changes;
};
int mblk_eb_change_cb(int status, const pav_addr_block* runs, mblk_eb_change_state* state);
