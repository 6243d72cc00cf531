// A virtual partition: a contiguous range of a card's logical sectors with its own identity,
// type, name, physical-space limits and usage, exposed as a block device of its own stacked on
// the card's data device (driver/block/bdev_partition.h).
//
// This header holds the record with the fields the partition's block device reads, and the
// partition's reference count. The partition table, loading, creation, deletion, exposure and
// the on-media descriptor grow around it.
#pragma once

#include "driver/platform/os.h"

struct bdev;

// Partition states.
constexpr ULONG VSU_ONLINE = 1;
constexpr ULONG VSU_DELETED = 2;
constexpr ULONG VSU_CREATING = 3;
constexpr ULONG VSU_DELETING = 4;

// Flags word bits (changed atomically).
constexpr LONG VSU_EXPOSED = 0x1;
constexpr LONG VSU_GOING_AWAY = 0x2;

// Descriptor slots, and the slot index of a partition that has none.
constexpr ULONG VSU_SLOTS = 64;
constexpr ULONG VSU_NO_SLOT = 0xFFFFFFFF;

constexpr size_t VSU_NAME_LENGTH = 33;

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
};

// Takes a reference: 0, or -KPAV_ENXIO when the partition is going away. Releases it again. Any
// IRQL up to DISPATCH_LEVEL.
int vsu_get(vsu* partition);
void vsu_put(vsu* partition);
