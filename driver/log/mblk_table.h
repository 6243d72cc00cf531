// The metadata blocks' own records: a log's block table with its hash chains, the driver-wide
// record pool, and the routines that need the table's lock held. Callers use mblk.h.
#pragma once

#include "driver/log/datalog.h"
#include "driver/log/mblk.h"
#include "driver/platform/mem_stats.h"
#include "driver/platform/memory.h"
#include "driver/platform/sync.h"

// What a released record's hash links hold until the record is reused.
constexpr ULONG64 MBLK_POISON_NEXT = 0xc001c0de;
constexpr ULONG64 MBLK_POISON_BACK = 0xcafec0de;

constexpr ULONG MBLK_HASH_BUCKETS = 262144;

// The block table of a log.
struct mblk_table {
    mem_stats* footprint;     // the card's counter: the records this table took, and its pages
    const char* device_name;
    kpav_spinlock lock;       // guards the chains, the list and blocks_in_use
    LIST_ENTRY blocks;        // every block, new ones at the tail
    mblk** hash;              // MBLK_HASH_BUCKETS chains
    ULONG64 blocks_in_use;
    ULONG packets_per_block;  // packets one page takes in the log
    ULONG page_digest;        // FNV-1a of the first page the table ever took
    UCHAR digest_taken;
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
    LIST_ENTRY reserve;       // reserved records, linked through their first bytes
    ULONG64 reserve_count;
    kpav_spinlock reserve_lock;
};

extern mblk_pool mblk_records;

// Bucket of a key in the table's hash.
ULONG mblk_hash(ULONG64 key);

// Unlinks and frees a block; the caller holds the table's lock. `drop_count` lowers the blocks in
// use.
void mblk_release(pav_log* log, mblk* block, bool drop_count);

// Records from the cache, charged to `footprint` (NULL: to nobody) until they go back. Up to
// DISPATCH_LEVEL.
mblk* mblk_struct_alloc(mem_stats* footprint);
void mblk_struct_free(mblk* record, mem_stats* footprint);
