// A partition's block device: stacked on the card's data device, it checks each bio chain
// against the partition's range and limits, moves it onto the data device at the partition's
// logical base and submits it there. Its block device-control requests describe the
// partition; the in-kernel request entry serves drivers that share the address space.
#pragma once

#include "driver/block/bdev.h"
#include "driver/platform/os.h"

struct bio;
struct vsu;

// Creates the partition's block device (not yet exposed): 0, -KPAV_EEXIST when the partition has
// one already, or the allocation's error. PASSIVE_LEVEL.
int partition_bdev_create(vsu* partition);
extern const bdev_ops partition_bdev_ops;

// A partition device's number: its slot index plus this (0 without a slot).
constexpr ULONG PARTITION_DEVNUM_BASE = 0x50A4000;
// Flags word bit: the device is filled and its operations installed.
constexpr LONG BDEV_READY = 0x2;

// Operations (slots of partition_bdev_ops).
int partition_open(bdev* device);     // -KPAV_ENXIO when the partition is going away
int partition_release(bdev* device);
// Each ends the chain with -KPAV_EIO when a bio leaves the partition; a write chain with sectors
// ends with -KPAV_EDQUOT while the partition uses more than its allowed physical sectors. A chain
// the data device hands back unfinished (-KPAV_ENOSPC, -KPAV_EBUSY) is back on the partition as it
// came, for the submitter to end or submit again; one that began at the data device is ended
// instead.
int partition_submit_read(bdev* device, bio* first);
int partition_submit_flush(bdev* device, bio* first);
int partition_submit_write(bdev* device, bio* first);
int partition_has_id(bdev* device, const void* id);  // 1 for the partition's identity, else 0
int partition_get_info(bdev* device, void* info);    // stores the partition's record (vsu*)
int partition_bdev_ioctl(bdev* device, ULONG code, void* user_record);

// The request entry for kernel callers: kernel records used in place. -KPAV_EINVAL without a
// device,
// -KPAV_ENOTTY for a code it does not serve.
int partition_ioctl_kernel(bdev* device, ULONG code, void* record);

// Request codes of the partition device.
constexpr ULONG PARTITION_IOC_STATUS = 0xC0286815;
constexpr ULONG PARTITION_IOC_LEVEL = 0x80086817;
constexpr ULONG PARTITION_IOC_USAGE = 0x803068ED;
constexpr ULONG PARTITION_IOC_DRIVER_INFO = 0x84306832;
constexpr ULONG PARTITION_IOC_KERNEL_ENTRY = 0xC010684F;
constexpr ULONG PARTITION_IOC_FORMAT_INFO = 0xC030684D;
constexpr ULONG PARTITION_IOC_DESCRIBE = 0xC09868EA;

constexpr ULONG PARTITION_KERNEL_ENTRY_MAGIC = 0xB3EF8A91;

#pragma pack(push, 1)
struct partition_usage_record {
    ULONG version;  // 1
    ULONG reserved;
    ULONG64 used;
    ULONG64 reserved16;
    ULONG64 sector_count;
    ULONG64 phys_min;
    ULONG64 phys_max;
};
struct partition_kernel_entry_record {
    ULONG magic;
    ULONG reserved;
    int (*entry)(bdev* device, ULONG code, void* record);
};
struct partition_description_record {
    ULONG version;  // as the caller gave it
    ULONG reserved4;
    UCHAR type[16];
    UCHAR identity[16];
    ULONG64 sector_count;
    ULONG sector_size;
    ULONG reserved52;
    char name[33];       // the partition's, NUL-terminated
    char card_name[33];  // the card's, NUL-terminated
    UCHAR reserved122[2];
    ULONG interface_state;  // 1 or 2: the state of the device's interface entry; else 0
    ULONG64 phys_min;
    ULONG64 phys_max;
    ULONG64 logical_base;
};
#pragma pack(pop)
static_assert(sizeof(partition_usage_record) == 48);
static_assert(sizeof(partition_kernel_entry_record) == 16);
static_assert(sizeof(partition_description_record) == 152);
static_assert(offsetof(partition_description_record, name) == 56);
static_assert(offsetof(partition_description_record, card_name) == 89);
static_assert(offsetof(partition_description_record, interface_state) == 124);
static_assert(offsetof(partition_description_record, phys_min) == 128);
