// A partition's block device: creation, the bio operations that move chains onto the data
// device, identity and information.
#include "driver/block/bdev_partition.h"

#include "driver/block/bio.h"
#include "driver/block/block_interface.h"
#include "driver/block/bdev_ioctl_internal.h"
#include "driver/block/vsu.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"

namespace {

vsu* partition_of(bdev* device) {
    return (vsu*)device->owner;
}

int no_state_change(bdev* device, ULONG state) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(state);
    return 0;
}

// Entry 1, unless it is unused: then the first entry in use. With none in use, entry 1 still
// (the device can then not be exposed).
kpav_block_interface* choose_interface() {
    kpav_block_interface* chosen = &kpav_block_interfaces[KPAV_BLOCK_DISK_ENTRY];
    if (chosen->kind != KPAV_BLOCK_UNUSED) {
        return chosen;
    }
    for (kpav_block_interface& entry : kpav_block_interfaces) {
        if (entry.kind != KPAV_BLOCK_UNUSED) {
            return &entry;
        }
    }
    return chosen;
}

bool chain_inside(bdev* device, const bio* first) {
    for (const bio* b = first; b != nullptr; b = b->next) {
        if (!bdev_range_inside(device, b->base, b->count)) {
            return false;
        }
    }
    return true;
}

// Moves every bio of the chain between the partition and its data device: `shift` is added to
// each sector that is set (a flush carries none).
void move_chain(bio* first, bdev* target, ULONG64 shift) {
    for (bio* b = first; b != nullptr; b = b->next) {
        b->target = target;
        if (b->base != ~0ull) {
            b->base += shift;
        }
    }
}

// Submits the chain at the data device. A chain it hands back unfinished (-28, -16) is moved
// back as it came: a submitter that tries again at the partition shifts it once more, one that
// ends it ends it here. When the chain began at the data device it is ended here instead, with
// the status the data device stored in it; both devices' counts then go with its end.
int submit_below(bdev* device, bio* first) {
    bdev* data = device->underlying;
    move_chain(first, data, device->logical_base);
    int rc = bdev_submit_bio(first);
    if (rc != -KPAV_ENOSPC && rc != -KPAV_EBUSY) {
        return rc;  // the chain belongs to its completion now
    }
    move_chain(first, device, 0ull - device->logical_base);
    if (first->origin == data) {
        bio_end_handed_back(data, first, first->status != 0 ? first->status : rc);
        return 0;
    }
    return rc;
}

bool holds_write_sectors(const bio* first) {
    for (const bio* b = first; b != nullptr; b = b->next) {
        if (b->command == BIO_WRITE && b->count != 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

const bdev_ops partition_bdev_ops = {
    partition_open,         partition_release, partition_bdev_ioctl,   partition_submit_read, partition_submit_flush,
    partition_submit_write, no_state_change,   partition_has_id,       partition_get_info,
};

int partition_bdev_create(vsu* partition) {
    PAGED_CODE();
    if (partition->device != nullptr) {
        return -KPAV_EEXIST;
    }
    bdev* device = nullptr;
    int rc = bdev_alloc(&device);
    if (rc != 0) {
        return rc;
    }
    device->iface = choose_interface();
    bdev_copy_text(device->name, sizeof device->name, partition->name);
    const kpav_block_ops* ops = device->iface->ops;
    if (ops != nullptr && ops->initialise != nullptr) {
        ops->initialise(device);
    }
    bdev* data = partition->card_device;
    device->owner = partition;
    device->sector_count = partition->length;
    device->sector_size = partition->sector_size;
    if (data != nullptr) {
        // The data device has the channel's scatter-gather capacity and NUMA node already.
        device->channel = data->channel;
        device->sgl_capacity = data->sgl_capacity;
        device->numa_node = data->numa_node;
        device->pool = data->pool;
    }
    device->underlying = data;
    device->logical_base = partition->logical_base;
    device->devnum = partition->index < VSU_SLOTS ? partition->index + PARTITION_DEVNUM_BASE : 0;
    device->ops = &partition_bdev_ops;
    partition->device = device;
    InterlockedOr(&device->flags, BDEV_READY);
    return 0;
}

int partition_open(bdev* device) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    bdev* data = device->underlying;
    int rc = data->ops->open != nullptr ? data->ops->open(data) : 0;
    if (rc != 0) {
        return rc;
    }
    if (vsu_get(partition_of(device)) != 0) {
        if (data->ops->release != nullptr) {
            data->ops->release(data);
        }
        return -KPAV_ENXIO;
    }
    return 0;
}

int partition_release(bdev* device) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    vsu_put(partition_of(device));
    bdev* data = device->underlying;
    return data->ops->release != nullptr ? data->ops->release(data) : 0;
}

int partition_submit_read(bdev* device, bio* first) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (!chain_inside(device, first)) {
        bio_endio(first, -KPAV_EIO);
        return -KPAV_EIO;
    }
    return submit_below(device, first);
}

int partition_submit_write(bdev* device, bio* first) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    vsu* partition = partition_of(device);
    if ((ULONG64)ReadNoFence64(&partition->usage) > partition->phys_max && holds_write_sectors(first)) {
        bio_endio(first, -KPAV_EDQUOT);
        return -KPAV_EDQUOT;
    }
    return partition_submit_read(device, first);
}

int partition_submit_flush(bdev* device, bio* first) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return submit_below(device, first);
}

int partition_has_id(bdev* device, const void* id) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const vsu* partition = partition_of(device);
    return RtlCompareMemory(id, partition->identity, sizeof partition->identity) == sizeof partition->identity ? 1 : 0;
}

int partition_get_info(bdev* device, void* info) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    *(vsu**)info = partition_of(device);
    return 0;
}
