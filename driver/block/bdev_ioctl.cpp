// The block device-control requests of type 'h': device size, version text, discard, mapped
// sectors, the extent map, the device's identity and the capability query. Records are the
// caller's: copied in and out, -14 when a copy fails; nothing changes on a refusal.
#include "driver/block/bdev_data.h"
#include "driver/block/bdev_ioctl_internal.h"
#include "driver/block/capabilities.h"
#include "driver/block/bio.h"
#include "driver/block/mdt.h"
#include "driver/card/pipeline_device.h"
#include "driver/log/datalog.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/memory.h"
#include "driver/platform/pci_dev.h"
#include "driver/platform/version.h"

namespace {

constexpr ULONG EXTENT_RECORD_BYTES = sizeof(bdev_extent_record);
constexpr ULONG EXTENT_BUFFER_BYTES = EXTENT_RECORD_BYTES + (BDEV_EXTENT_MAX - 1) * sizeof(bdev_extent);

bdev* data_device_of(bdev* device) {
    while (device->underlying != nullptr) {
        device = device->underlying;
    }
    return device;
}

lrbtree* map_of(bdev* device) {
    auto* data = (bdev_data*)data_device_of(device)->owner;
    return data != nullptr && data->mdt != nullptr ? data->mdt->map : nullptr;
}

// Every logical base on the way down to the data device.
ULONG64 base_of(bdev* device) {
    ULONG64 base = 0;
    for (bdev* d = device; d != nullptr; d = d->underlying) {
        base += d->logical_base;
    }
    return base;
}

int copy_in(void* kernel, const void* user, ULONG bytes) {
    return kpav_copy_from_user(kernel, user, bytes) != 0 ? -KPAV_EFAULT : 0;
}

int copy_out(void* user, const void* kernel, ULONG bytes) {
    return kpav_copy_to_user(user, kernel, bytes) != 0 ? -KPAV_EFAULT : 0;
}

int mapped_sectors(bdev* device, void* user_record, bool user) {
    bdev_mapped_record record;
    int rc = bdev_record_in(&record, user_record, sizeof record, user);
    if (rc != 0) {
        return rc;
    }
    if (record.version != 1 || record.count == 0 || !bdev_range_inside(device, record.start, record.count)) {
        return -KPAV_EINVAL;
    }
    lrbtree* map = map_of(device);
    if (map == nullptr) {
        return -KPAV_ENODEV;
    }
    ULONG64 base = base_of(device);
    ULONG64 mapped = 0;
    lrbtree_range range{};
    rc = lrbtree_enumerate(map, &range, &lrbtree_count_mapped, &mapped, 0, base + record.start, base + record.start + record.count);
    if (rc != 0) {
        return rc;
    }
    record.mapped = mapped;
    return bdev_record_out(user_record, &record, sizeof record, user);
}

// The walk of an extent map: the record (a kernel copy with room for the most extents), the
// device's base, and what the filters need.
struct extent_walk {
    bdev_extent_record* record;
    ULONG64 base;
    pav_log* log;
    ULONG64 age_sequence;  // runs of LEBs newer than this are left out (when the age filter is on)
};

int add_extent(extent_walk* walk, ULONG64 length, bool mapped) {
    bdev_extent_record* r = walk->record;
    if ((r->flags & BDEV_EXTENT_JOIN) != 0 && r->found > 0) {
        bdev_extent* last = &r->extents[r->found - 1];
        if ((last->mapped != 0) == mapped && last->start + last->length == r->cursor) {
            last->length += length;
            return 0;
        }
    }
    if (r->found == r->maximum) {
        return -KPAV_EAGAIN;
    }
    bdev_extent* e = &r->extents[r->found++];
    e->start = r->cursor;
    e->length = length;
    e->mapped = mapped ? 1 : 0;
    return 0;
}

// Moves the cursor past a run, reporting it first when it is wanted.
int walk_run(extent_walk* walk, ULONG64 length, bool mapped, bool wanted) {
    if (wanted) {
        int rc = add_extent(walk, length, mapped);
        if (rc != 0) {
            return rc;
        }
    }
    walk->record->cursor += length;
    walk->record->remaining -= length;
    return 0;
}

int extent_data(lrbtree_range* range, void* context, ULONG64 gpkt, lrbtree_leaf_rec* entry) {
    UNREFERENCED_PARAMETER(entry);
    auto* walk = (extent_walk*)context;
    bdev_extent_record* r = walk->record;
    bool wanted = (r->flags & BDEV_EXTENT_MAPPED) != 0;
    if (wanted && r->erase_age != 0) {
        ULONG64 position = walk->log != nullptr ? datalog_write_position(walk->log, gpkt) : 0;
        wanted = walk->age_sequence != 0 && (position >> 24) <= walk->age_sequence;
    }
    if (wanted && r->filter_mask != 0) {
        wanted = (r->cursor & r->filter_mask) == r->filter_value;
    }
    return walk_run(walk, range->length, true, wanted);
}

int extent_gap(lrbtree_range* range, void* context) {
    auto* walk = (extent_walk*)context;
    return walk_run(walk, range->length, false, (walk->record->flags & BDEV_EXTENT_UNMAPPED) != 0);
}

int extent_map(bdev* device, void* user_record, bool user) {
    auto* r = (bdev_extent_record*)kpav_zalloc(EXTENT_BUFFER_BYTES, KPAV_TAG_VML);
    if (r == nullptr) {
        return -KPAV_ENOMEM;
    }
    int rc = bdev_record_in(r, user_record, EXTENT_RECORD_BYTES, user);
    if (rc == 0 && r->version != 1) {
        rc = -KPAV_EINVAL;
    }
    if (rc == 0 && r->set_cursor != 0) {
        if (!bdev_range_inside(device, r->start, r->count)) {
            rc = -KPAV_EINVAL;
        } else {
            r->cursor = r->start;
            r->remaining = r->count;
            rc = bdev_record_out(user_record, r, EXTENT_RECORD_BYTES, user);
        }
        kpav_free(r, KPAV_TAG_VML);
        return rc;
    }
    if (rc == 0 && (!bdev_range_inside(device, r->cursor, r->remaining) || r->maximum < 1 ||
                    r->maximum > BDEV_EXTENT_MAX || (r->flags & (BDEV_EXTENT_UNMAPPED | BDEV_EXTENT_MAPPED)) == 0)) {
        rc = -KPAV_EINVAL;
    }
    lrbtree* map = rc == 0 ? map_of(device) : nullptr;
    if (rc == 0 && map == nullptr) {
        rc = -KPAV_ENODEV;
    }
    if (rc == 0) {
        auto* data = (bdev_data*)data_device_of(device)->owner;
        extent_walk walk = {r, base_of(device), data->mdt->log, 0};
        if (r->erase_age != 0 && walk.log != nullptr) {
            walk.age_sequence = datalog_find_leb_by_erase_age(walk.log, (ULONG)r->erase_age) >> 24;
        }
        r->found = 0;
        static const lrbtree_enum_ops ops = {extent_data, extent_gap, nullptr};
        lrbtree_range range{};
        ULONG64 start = walk.base + r->cursor;
        int walked = r->remaining == 0 ? -KPAV_ENOENT
                                       : lrbtree_enumerate(map, &range, &ops, &walk, 0, start, start + r->remaining);
        if (walked != 0 && walked != -KPAV_ENOENT && walked != -KPAV_EAGAIN) {
            rc = walked;
        } else {
            // A walk that found nothing copies back the record alone.
            ULONG bytes = EXTENT_RECORD_BYTES + (r->found > 1 ? (r->found - 1) * (ULONG)sizeof(bdev_extent) : 0);
            rc = bdev_record_out(user_record, r, bytes, user);
        }
    }
    kpav_free(r, KPAV_TAG_VML);
    return rc;
}

// Request 101: the range must lie inside the device; the erase-age limit picks the log
// position before which the discard's notes go (all ones without a limit).
int discard(bdev* device, void* user_record) {
    bdev_discard_record record;
    int rc = copy_in(&record, user_record, sizeof record);
    if (rc != 0) {
        return rc;
    }
    if (!bdev_range_inside(device, record.start, record.count)) {
        return -KPAV_EINVAL;
    }
    ULONG64 mark = ~0ull;
    if (record.erase_age != 0) {
        auto* data = (bdev_data*)data_device_of(device)->owner;
        pav_log* log = data != nullptr && data->mdt != nullptr ? data->mdt->log : nullptr;
        if (log == nullptr) {
            return -KPAV_ENODEV;
        }
        ULONG seconds = record.erase_age > 0xFFFFFFFFull ? 0xFFFFFFFF : (ULONG)record.erase_age;
        mark = datalog_find_leb_by_erase_age(log, seconds);
    }
    return bdev_discard_range(device, nullptr, record.start, record.count, nullptr, nullptr, mark, record.wait);
}

}  // namespace

int bdev_record_in(void* kernel, const void* record, ULONG bytes, bool user) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (user) {
        return copy_in(kernel, record, bytes);
    }
    RtlCopyMemory(kernel, record, bytes);
    return 0;
}

int bdev_record_out(void* record, const void* kernel, ULONG bytes, bool user) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (user) {
        return copy_out(record, kernel, bytes);
    }
    RtlCopyMemory(record, kernel, bytes);
    return 0;
}

void bdev_copy_text(char* destination, size_t size, const char* text) {
    RtlZeroMemory(destination, size);
    if (text != nullptr) {
        RtlCopyMemory(destination, text, strnlen(text, size - 1));
    }
}

bool bdev_range_inside(const bdev* device, ULONG64 start, ULONG64 count) {
    return start <= device->sector_count && count <= device->sector_count - start;
}

int bdev_ioc_mapped(bdev* device, void* record, bool user) {
    PAGED_CODE();
    return mapped_sectors(device, record, user);
}

int bdev_ioc_extents(bdev* device, void* record, bool user) {
    PAGED_CODE();
    return extent_map(device, record, user);
}

int bdev_ioc_identity(bdev* device, void* record, bool user) {
    PAGED_CODE();
    bdev_identity_record r;
    int rc = bdev_record_in(&r, record, sizeof r, user);
    if (rc != 0) {
        return rc;
    }
    if (r.request > 0) {
        return -KPAV_EINVAL;
    }
    nand_dev* channel = data_device_of(device)->channel;
    pipeline_device* card = channel != nullptr ? channel->card : nullptr;
    if (card == nullptr) {
        return -KPAV_ENODEV;
    }
    r.kind = 3;
    bdev_copy_text(r.bus_name, sizeof r.bus_name, card->pdev != nullptr ? card->pdev->name : nullptr);
    bdev_copy_text(r.serial, sizeof r.serial, card->adapter_serial);
    r.level = PAV_INTERFACE_LEVEL;
    return bdev_record_out(record, &r, sizeof r, user);
}

int bdev_ioc_capabilities(bdev* device, void* record, bool user) {
    PAGED_CODE();
    return capabilities_ioctl(data_device_of(device)->channel, device, record, user ? 1 : 0);
}

int bdev_ioctl_common(bdev* device, ULONG code, void* user_record) {
    PAGED_CODE();
    switch (code) {
    case BDEV_IOC_SIZE: {
        bdev_size_record record = {device->sector_count * device->sector_size, device->sector_size, 0};
        return copy_out(user_record, &record, sizeof record);
    }
    case BDEV_IOC_VERSION: {
        size_t length = strlen(pav_version_string) + 1;
        return copy_out(user_record, pav_version_string, (ULONG)length);
    }
    case BDEV_IOC_DISCARD:
        return discard(device, user_record);
    case BDEV_IOC_MAPPED:
        return mapped_sectors(device, user_record, true);
    case BDEV_IOC_118:
        return -KPAV_EOPNOTSUPP;
    default:
        return -KPAV_ENOTTY;
    }
}

int bdev_ioctl(bdev* device, ULONG code, void* user_record) {
    PAGED_CODE();
    switch (code) {
    case BDEV_IOC_CAPABILITIES:
        return bdev_ioc_capabilities(device, user_record, true);
    case BDEV_IOC_IDENTITY:
        return bdev_ioc_identity(device, user_record, true);
    case BDEV_IOC_EXTENTS:
        return extent_map(device, user_record, true);
    default:
        return bdev_ioctl_common(device, code, user_record);
    }
}
