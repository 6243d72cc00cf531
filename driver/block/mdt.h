// The metadata table: the data block device's use of the forward map. It sizes the metadata
// memory and creates the map at attach, records the packets of every completed write or groomer
// move in the map together with the log's validity bits and valid counts and the partitions'
// usage, removes trimmed ranges, and is the map's invalidation callback: the packets whose data
// an update displaces lose their validity bits and their LEB's valid count.
#pragma once

#include "driver/fmap/lrbtree.h"
#include "driver/pipeline/request.h"
#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct bdev;
struct pav_log;
struct pav_pbitmap;

// The partition usage the table keeps current: partitions in table order (sorted by base).
struct mdt_partition {
    ULONG64 base;
    ULONG64 length;
    ULONG state;             // 1 online
    volatile LONG64 used;    // sectors mapped
    volatile LONG64* usage;  // the partition record's own counter, counted instead of `used`
};
constexpr ULONG MDT_PARTITION_ONLINE = 1;

struct mdt_partition_table {
    kpav_spinlock lock;
    ULONG count;
    mdt_partition* slots;
};

// The groomer's view the invalidation needs: the erase block it is copying now (PAV_NO_LEB:
// none), under its lock, and how to mark its slots of [offset, offset + length) stale.
struct mdt_groomer {
    kpav_spinlock lock;
    volatile LONG eb;
    void (*mark_stale)(mdt_groomer* groomer, ULONG offset, ULONG length);
};

// What the attach record holds for the table.
struct mdt_context {
    pav_log* log;
    lrbtree* map;
    ULONG64 sector_space;      // S: the size the default partition exposes
    ULONG preallocate_mb;      // metadata memory limit, 0: none
    ULONG expected_io_size;    // bytes, 0: one sector
    pav_pbitmap* validity;     // bit of (LEB, packet) = LEB x bits_per_leb + packet; NULL: counts only
    ULONG64 bits_per_leb;
    mdt_partition_table* partitions;  // NULL: no partitions to account
    mdt_groomer* groomer;             // NULL: no groomer
};

// What the attach record gives the table at attach.
struct mdt_attach {
    ULONG64 sector_count;
    ULONG sector_size;
};

// The metadata page estimate: leaves, index nodes and their total (after the memory limit).
struct mdt_sizing {
    ULONG64 leaves;
    ULONG64 index_nodes;
    ULONG64 total;
};
void mdt_size(const mdt_context* context, const mdt_attach* attach, mdt_sizing* out);

// Sizes and reserves the metadata pages and creates the map, with mdt_invalidate as its
// invalidation callback: 0 or a negative errno (logged). PASSIVE_LEVEL.
int mdt_init(mdt_context* context, const mdt_attach* attach);
// Frees the map (its nodes stay with the log's block table).
void mdt_exit(mdt_context* context);

// Flags of mdt_record_sectors and mdt_trim.
constexpr ULONG MDT_NO_PARTITION_ACCOUNTING = 0x1;
constexpr ULONG MDT_DATA_MOVE = 0x2;  // the range must be mapped already
constexpr ULONG MDT_REPLAY = 0x4;     // no written-address note; a failure leaves the log alone

// Records the packets of `placement` for keys [range.start, range.start + range.length): 0 or a
// negative errno (logged; outside replay the log enters its internal-error state). The range's
// length must be the placement's packet count. PASSIVE_LEVEL or APC_LEVEL, as is mdt_trim.
int mdt_record_sectors(mdt_context* context, ULONG flags, const pav_addr_block* placement, bdev* device,
                       const lrbtree_range* range);
// Removes the mappings of the range (`unmap`: all ones for every mapping, else the log position
// before which runs go): 0 or a negative errno; the net change of mapped keys in *out.
int mdt_trim(mdt_context* context, ULONG flags, bdev* device, const lrbtree_range* range, ULONG64 unmap,
             LONG64* out);
// Marks the packets of `placement` valid: a note that took effect. Any IRQL up to
// DISPATCH_LEVEL.
void mdt_mark_valid(mdt_context* context, const pav_addr_block* placement);
// The map's invalidation callback: clears the validity of the displaced packets. 0.
int mdt_invalidate(void* context, ULONG64 first_key, ULONG64 length, ULONG64 gpkt, lrbtree_update_rec* record);
// Keys the map holds outside the reserved range.
int mdt_mapped_outside_reserved(mdt_context* context, ULONG64* out);
LONG64 mdt_sum_out(const lrbtree_update_rec* records, ULONG n);
// Adds each record's net change to the partition that holds it: 0, or -KPAV_EINVAL for a record
// that straddles a partition's end.
int mdt_account_partitions(mdt_context* context, const lrbtree_update_rec* records, ULONG n);
