// Virtual partitions: contiguous ranges of a card's logical sectors, each with its own identity,
// type, name, physical-space limits and usage, persisted as a descriptor in a slot sector of the
// forward map's reserved range (vsu_descriptor.h) and exposed as a block device of its own
// stacked on the card's data device (bdev_partition.h).
//
// Per card a partition table keeps the partitions sorted by logical base; driver-wide a list of
// every partition serves the identity and name duplicate tests. A partition's slot index is its
// descriptor sector's offset in its card's 64 slots, and so its device number.
//
// Lock order: table mutex, partition mutex, table spin lock, driver-wide list lock, waiter lock.
// Lookups take only the table spin lock.
#pragma once

#include "driver/block/mdt.h"
#include "driver/block/vsu_descriptor.h"
#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct bdev;
struct kinfo_node;
struct vsu_table;

// Partition states.
constexpr ULONG VSU_ONLINE = 1;
constexpr ULONG VSU_DELETED = 2;
constexpr ULONG VSU_CREATING = 3;
constexpr ULONG VSU_DELETING = 4;

// Flags word bits (changed atomically).
constexpr LONG VSU_EXPOSED = 0x1;
constexpr LONG VSU_GOING_AWAY = 0x2;
constexpr LONG VSU_HIDE_FAILED = 0x4;  // a hide failed: the block device stays until one succeeds

// Descriptor slots, and the slot index of a partition that has none.
constexpr ULONG VSU_SLOTS = VSU_SLOT_COUNT;
constexpr ULONG VSU_NO_SLOT = 0xFFFFFFFF;

constexpr size_t VSU_NAME_LENGTH = 33;

// What the partitions use of their card's attach record.
struct vsu_card {
    const char* name;            // the card's, for messages ("dov0")
    ULONG number;                // for default names "pav<number>vp<slot>"
    bdev* data;                  // the card's data block device
    mdt_context* mdt;            // its forward map and log
    ULONG sector_size;
    ULONG64 capacity;            // normal logical capacity, sectors
    ULONG64 extended_capacity;   // in the extended logical-capacity mode
    UCHAR extended_mode;
    UCHAR exposes_disks;         // partitions are shown to the system as disks
    UCHAR identity[16];          // the data device's: the compatibility partition's identity
    volatile LONG read_only;     // bit 0: the card is read-only
    ULONG read_only_state;       // the attach record's: 2 read-only
    ULONG attach_flags;          // VSU_ATTACH_CLEAN: a clean reattach
    kinfo_node* kinfo_dir;       // the card's kinfo directory; NULL: none
    vsu_table* table;            // created by vsu_load_all
};
constexpr ULONG VSU_ATTACH_CLEAN = 0x8;
constexpr ULONG VSU_READ_ONLY_STATE = 2;

struct vsu {
    ULONG index;             // descriptor slot, 0 to 63; VSU_NO_SLOT when none
    ULONG state;
    volatile LONG flags;
    UCHAR type[16];          // type identifier
    UCHAR identity[16];      // the partition's own identity (its UUID)
    ULONG sector_size;
    ULONG64 logical_base;    // first sector in the card's logical space
    ULONG64 length;          // sectors
    ULONG64 phys_min;        // physical minimum reserved sectors
    ULONG64 phys_max;        // physical maximum allowed sectors
    ULONG64 descriptor_sector;  // all ones when none
    volatile LONG64 usage;   // sectors mapped
    ULONG64 discard_mark;    // a log position
    bdev* card_device;       // the card's data block device; NULL without a card
    bdev* device;            // the partition's own block device, while it has one
    char name[VSU_NAME_LENGTH];
    volatile LONG refcount;
    vsu_card* card;          // NULL for a record outside any table
    kinfo_node* kinfo_dir;   // "VP/<identity>"
    FAST_MUTEX mutex;        // serialises expose and unexpose
    LIST_ENTRY link;         // the driver-wide list
};

// The per-card table: its mutex, the sum of the partitions' lengths, and the entries sorted by
// logical base under the spin lock. The entries are the metadata table's partition accounting
// (their usage counters are the partitions' own), with the partition of each beside it.
struct vsu_table {
    FAST_MUTEX mutex;
    ULONG64 length_sum;
    mdt_partition_table entries;     // its lock is the table's spin lock
    mdt_partition slots[VSU_SLOTS];
    vsu* partitions[VSU_SLOTS];
    ULONG64 slots_held;              // bit per descriptor slot reserved by a partition
    kinfo_node* kinfo_dir;           // "VP"
};

// ---- References

// Takes a reference: 0, or -KPAV_ENXIO when the partition is going away. Releases it again; the
// last release of a partition going away wakes those waiting for it. Any IRQL up to
// DISPATCH_LEVEL.
int vsu_get(vsu* partition);
void vsu_put(vsu* partition);

// ---- Attach and detach (PASSIVE_LEVEL)

// Creates the table, reads the descriptors, finishes deletions a power cut left half done,
// creates the compatibility partition on a card without any, and cleans free space: 0 or a
// negative errno (the table is left for vsu_unload_all).
int vsu_load_all(vsu_card* card);
// Persists every partition's descriptor with its usage, removes them and frees the table.
void vsu_unload_all(vsu_card* card);

// Exposure: 0 or the last error.
int vsu_expose_all(vsu_card* card);
constexpr ULONG VSU_UNEXPOSE_FORCED = 0x2;
constexpr ULONG VSU_UNEXPOSE_SURPRISE = 0x1;
constexpr ULONG VSU_UNEXPOSE_GOING_AWAY = 0x4;
int vsu_unexpose_all(vsu_card* card, bool going_away, bool forced);

// ---- Management (PASSIVE_LEVEL)

// The creation record (144 bytes, zero-filled by its builder).
#pragma pack(push, 1)
struct vsu_create_record {
    ULONG version;            // 0
    UCHAR type[16];
    UCHAR identity[16];
    ULONG sector_size;        // 0: the card's
    ULONG64 logical_base;     // all ones: placed automatically
    ULONG64 length;           // sectors; 0 with automatic placement: the largest gap
    ULONG64 phys_min;
    ULONG64 phys_max;
    ULONG index;              // out: the new partition's slot index (all ones when none)
    ULONG reserved76;
    char name[32];            // empty: "pav<card>vp<slot>"
    UCHAR reserved112[32];
};
#pragma pack(pop)
static_assert(sizeof(vsu_create_record) == 144);
static_assert(offsetof(vsu_create_record, sector_size) == 36);
static_assert(offsetof(vsu_create_record, logical_base) == 40);
static_assert(offsetof(vsu_create_record, phys_max) == 64);
constexpr ULONG64 VSU_AUTO_BASE = ~0ull;

// Creates, persists and exposes a partition: 0 with a reference in *out; -KPAV_ENXIO without a
// table, -KPAV_EOPNOTSUPP, -KPAV_EINVAL, -KPAV_EFBIG (capacity), -KPAV_ENOSPC (no slot, or no
// room for the range), -KPAV_EEXIST (name), -1027 (identity), -KPAV_EROFS, or the media's error.
int vsu_create(vsu_card* card, vsu_create_record* request, vsu** out);
// Deletes a partition the caller holds a reference to (the reference is dropped): 0,
// -KPAV_ENXIO without a table, -KPAV_ENOENT when it is not online, -KPAV_EROFS on a read-only
// card, or the error of unexposing it or of the media.
int vsu_delete(vsu* partition);

// ---- Lookups (at most DISPATCH_LEVEL)

// The online partition, not going away, of slot index `number` (or of device number `number`:
// the slot index plus PARTITION_DEVNUM_BASE), with a reference: 0 or -KPAV_ENOENT.
int vsu_find_by_devnum(ULONG number, vsu** out, vsu_table* table);
// The first online partition in table order whose base is at or after *cursor, with a
// reference; the cursor moves to its end. At the end: the cursor all ones and -KPAV_ENOENT.
int vsu_find_next(ULONG64* cursor, vsu** out, vsu_table* table);
// The partition's block device's open: 0, or -KPAV_ENODEV when it is not exposed.
int vsu_open_bdev(vsu* partition, bdev** out);
// Adds `delta` to the usage of the partition that holds [base, base + count): 0 (also in none,
// or one not online), -KPAV_EINVAL when the range leaves it, -KPAV_ENXIO without a table.
int vsu_account_sectors(vsu_card* card, ULONG64 base, ULONG64 count, LONG64 delta);
// The "VP" directory under the card's kinfo directory (once; nothing without one): 0 or the
// error. Each online partition gets "VP/<identity>" with its figures when exposed. PASSIVE_LEVEL.
int vsu_kinfo_init(vsu_card* card);
// Calls the interface notify hook of every partition's block device.
void vsu_notify_bdevs(vsu_card* card, int event);

// The descriptor of a partition as it is now (`deleted`: with its type zeroed).
void vsu_descriptor_of(const vsu* partition, bool deleted, vsu_descriptor* out);

// The errno of a duplicate identity.
constexpr int VSU_EDUPLICATE_ID = 1027;
