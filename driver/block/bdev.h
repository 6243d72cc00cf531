// The driver's block device, independent of the operating system: a card's data device or a
// partition device stacked on it. Bios (driver/block/bio.h) reach it through bdev_submit_bio,
// which counts them and calls the device's operations. This header holds the record, its
// operations table and its life cycle: allocation with the per-processor counters and the
// statistics, the exclusive claim, the run-state word and the exposure through the device's
// block interface entry.
#pragma once

#include "driver/block/block_interface.h"
#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct bio;
struct bio_pool;
struct devstats;
struct nand_dev;

// The device's operations, in slot order.
struct bdev_ops {
    int (*open)(bdev* device);
    int (*release)(bdev* device);
    int (*ioctl)(bdev* device, ULONG code, void* record);
    int (*submit_read)(bdev* device, bio* first);
    int (*submit_flush)(bdev* device, bio* first);
    int (*submit_write)(bdev* device, bio* first);
    int (*set_state)(bdev* device, ULONG state);
    int (*query_id)(bdev* device, const void* id);
    int (*get_info)(bdev* device, void* info);
};

// Flags word bits (changed atomically).
constexpr LONG BDEV_KINFO_PUBLISHED = 0x4;
constexpr LONG BDEV_EXPOSED = 0x8;

// Per-processor counters: one array of each, one entry per possible processor.
enum bdev_cpu_counter : ULONG {
    BDEV_CPU_READS = 0,   // read completions
    BDEV_CPU_WRITES = 1,  // write completions
    BDEV_CPU_COUNTERS = 4,
};

constexpr size_t BDEV_NAME_LENGTH = 32;

struct bdev {
    volatile LONG flags;
    char name[BDEV_NAME_LENGTH];
    char exposed_name[BDEV_NAME_LENGTH];  // the name the operating system was given
    ULONG sector_size;
    ULONG64 sector_count;
    const bdev_ops* ops;
    kpav_block_interface* iface;
    void* owner;          // the partition, or the log
    bdev* underlying;     // a partition's data device
    ULONG64 logical_base; // a partition's first sector on the data device
    ULONG devnum;
    ULONG sgl_capacity;
    USHORT numa_node;
    nand_dev* channel;    // the card whose requests bios of this device take
    bio_pool* pool;
    void* disk;           // the front end's record of the device's disk while it is exposed

    // Counters, under counter_lock.
    kpav_spinlock counter_lock;
    ULONG64 reads_in_flight;
    ULONG64 writes_in_flight;
    ULONG64 write_sectors_in_flight;
    ULONG64 discards_in_flight;
    ULONG64 read_bytes;
    ULONG64 read_mappings;
    ULONG64 write_bytes;
    ULONG64 discards_completed;
    ULONG64 discard_sectors;
    ULONG64* per_cpu[BDEV_CPU_COUNTERS];
    ULONG cpu_slots;      // entries of each per-processor array
    devstats* stats;

    // Synchronous bios of this device wait here.
    kpav_spinlock wait_lock;
    kpav_cv wait_queue;

    // Open and claim counts, holder, under the mutex.
    FAST_MUTEX mutex;
    ULONG open_count;
    ULONG claim_count;
    const char* holder;
    UCHAR exclusive;
};

// 0 or -KPAV_ENOMEM (nothing left allocated). PASSIVE_LEVEL, as is free.
int bdev_alloc(bdev** out);
void bdev_free(bdev** device);

// 1 when the device was neither open nor claimed and is now claimed (holder "bdev"), else 0.
// PASSIVE_LEVEL or APC_LEVEL, as is unclaim.
int bdev_claim(bdev* device);
void bdev_unclaim(bdev* device);

// Stores `value` (waking waiters when it changes): the previous value.
ULONG bdev_state_set(kpav_state* state, ULONG value);
// Returns when the value is 1, holding the state's lock; the caller releases it.
void bdev_state_wait_running(kpav_state* state);

// Makes the device known through its interface entry: 0 (also when exposed already), or the
// entry's error. PASSIVE_LEVEL, as is hide.
int bdev_expose_disk(bdev* device);
// Takes the device away (flags: 0x4 going away; 0x1, 0x2 passed on): 0, also when it was not
// exposed; the entry's error, with the device no longer marked exposed and its bio pool shut
// (a device stacked on another leaves the pool it shares with that one alone).
constexpr ULONG BDEV_HIDE_GOING_AWAY = 0x4;
int bdev_hide_disk(bdev* device, ULONG flags);
