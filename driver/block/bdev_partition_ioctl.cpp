// The partition device's block device-control requests, and its in-kernel request entry.
#include "driver/block/bdev_data.h"
#include "driver/block/bdev_ioctl_internal.h"
#include "driver/block/bdev_partition.h"
#include "driver/block/block_interface.h"
#include "driver/block/vsu.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/version.h"

namespace {

vsu* partition_of(bdev* device) {
    return (vsu*)device->owner;
}

// The partition's use of physical space.
int usage(bdev* device, void* record, bool user) {
    partition_usage_record r;
    int rc = bdev_record_in(&r, record, sizeof r, user);
    if (rc != 0) {
        return rc;
    }
    if (r.version != 1) {
        return -KPAV_EINVAL;
    }
    vsu* partition = partition_of(device);
    if (partition->card_device == nullptr) {
        return -KPAV_ENODEV;
    }
    r.used = (ULONG64)ReadNoFence64(&partition->usage);
    r.sector_count = partition->length;
    r.phys_min = partition->phys_min;
    r.phys_max = partition->phys_max;
    return bdev_record_out(record, &r, sizeof r, user);
}

int describe(bdev* device, void* record) {
    partition_description_record r;
    RtlZeroMemory(&r, sizeof r);
    int rc = bdev_record_in(&r.version, record, sizeof r.version, true);
    if (rc != 0) {
        return rc;
    }
    vsu* partition = partition_of(device);
    RtlCopyMemory(r.type, partition->type, sizeof r.type);
    RtlCopyMemory(r.identity, partition->identity, sizeof r.identity);
    r.sector_count = partition->length;
    r.sector_size = partition->sector_size;
    bdev_copy_text(r.name, sizeof r.name, partition->name);
    const char* card = device->channel != nullptr ? channel_name(device->channel) : nullptr;
    bdev_copy_text(r.card_name, sizeof r.card_name, card);
    ULONG kind = device->iface != nullptr ? device->iface->kind : 0;
    r.interface_state = kind == 1 || kind == 2 ? kind : 0;
    r.phys_min = partition->phys_min;
    r.phys_max = partition->phys_max;
    r.logical_base = partition->logical_base;
    return bdev_record_out(record, &r, sizeof r, true);
}

// The capability query of a kernel caller: the record must hold the answer for its id count
// (the default list when 0).
int kernel_capabilities(bdev* device, void* record) {
    auto* header = (const ULONG*)record;
    ULONG64 n = header[2] != 0 ? header[2] : 15;
    ULONG64 needed = ((n + 1) / 2 + n + 4) * 8;
    if (header[3] < needed) {
        return -KPAV_EAGAIN;
    }
    return bdev_ioc_capabilities(device, record, false);
}

}  // namespace

int partition_bdev_ioctl(bdev* device, ULONG code, void* user_record) {
    PAGED_CODE();
    switch (code) {
    case PARTITION_IOC_STATUS:
    case PARTITION_IOC_DRIVER_INFO:
    case PARTITION_IOC_FORMAT_INFO:
        // The card's status, the driver's information and the format's NV data record come from
        // the card's attach state and NV data, which the driver does not keep yet.
        return -KPAV_EOPNOTSUPP;
    case PARTITION_IOC_LEVEL: {
        ULONG64 level = PAV_INTERFACE_LEVEL;
        return bdev_record_out(user_record, &level, sizeof level, true);
    }
    case PARTITION_IOC_USAGE:
        return usage(device, user_record, true);
    case PARTITION_IOC_KERNEL_ENTRY:
        // The entry is a kernel address: only kernel callers, through partition_ioctl_kernel,
        // are given it.
        return -KPAV_EPERM;
    case BDEV_IOC_CAPABILITIES:
        return bdev_ioc_capabilities(device, user_record, true);
    case BDEV_IOC_IDENTITY:
        return bdev_ioc_identity(device, user_record, true);
    case BDEV_IOC_EXTENTS:
        return bdev_ioc_extents(device, user_record, true);
    case PARTITION_IOC_DESCRIBE:
        return describe(device, user_record);
    default:
        return bdev_ioctl_common(device, code, user_record);
    }
}

int partition_ioctl_kernel(bdev* device, ULONG code, void* record) {
    PAGED_CODE();
    if (device == nullptr) {
        return -KPAV_EINVAL;
    }
    switch (code) {
    case PARTITION_IOC_USAGE:
        return usage(device, record, false);
    case BDEV_IOC_MAPPED:
        return bdev_ioc_mapped(device, record, false);
    case BDEV_IOC_CAPABILITIES:
        return kernel_capabilities(device, record);
    case BDEV_IOC_EXTENTS:
        return bdev_ioc_extents(device, record, false);
    case PARTITION_IOC_KERNEL_ENTRY: {
        auto* r = (partition_kernel_entry_record*)record;
        r->magic = PARTITION_KERNEL_ENTRY_MAGIC;
        r->entry = partition_ioctl_kernel;
        return 0;
    }
    default:
        return -KPAV_ENOTTY;
    }
}
