// How a block device reaches the operating system: a small table of interface entries, each a
// kind and its operations. Entry 1 is the Windows disk front end, which the device shell hands
// over at driver start (kpav_bio_init); the other entries stay unused until something fills
// them. A device keeps the entry it was exposed through.
#pragma once

#include "driver/platform/os.h"

struct bdev;

enum kpav_block_kind : ULONG {
    KPAV_BLOCK_WINDOWS_DISK = 1,
    KPAV_BLOCK_UNUSED = 3,
};

constexpr ULONG KPAV_BLOCK_INTERFACES = 3;
constexpr ULONG KPAV_BLOCK_DISK_ENTRY = 1;

// The operations of an entry, in slot order. Every hook may be NULL (nothing to do).
struct kpav_block_ops {
    int (*assign_name)(bdev* device);
    int (*prepare)(bdev* device);
    int (*expose)(bdev* device);
    int (*hide)(bdev* device, ULONG flags);
    int (*release)(bdev* device);
    void (*notify)(bdev* device, int event);
    // direction 0 reads, 1 writes and discards; the device's count of that direction in flight.
    void (*io)(bdev* device, int direction, ULONG64 in_flight);
    void (*completion)(bdev* device, int direction, ULONG64 bytes, ULONG64 microseconds);
    // Brackets every change of the device's forward map: 1 before, 0 after.
    void (*metadata_update)(bdev* device, int starting);
    // Called when a device is set up on the entry, before it is filled.
    void (*initialise)(bdev* device);
    // Brackets a read's walk of the forward map and a write's space reservation: 1 before, 0
    // after.
    void (*bracket)(bdev* device, int starting);
};

struct kpav_block_interface {
    ULONG kind;  // kpav_block_kind
    const kpav_block_ops* ops;
};

extern kpav_block_interface kpav_block_interfaces[KPAV_BLOCK_INTERFACES];
