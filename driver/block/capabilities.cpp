// The capability query and its values.
#include "driver/block/capabilities.h"

#include "driver/block/bdev.h"
#include "driver/block/bdev_data.h"
#include "driver/block/mdt.h"
#include "driver/log/datalog.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"

namespace {

const ULONG default_ids[CAPABILITY_DEFAULT_COUNT] = {1,    2,    3,    4,    5,    6,    7,   1001,
                                                     1002, 1003, 1004, 1005, 1006, 1007, 1008};

// The id a device answers when it supports atomic writes.
const UCHAR atomic_write_id[16] = {0xe8, 0x13, 0xa2, 0x62, 0xbb, 0xfa, 0x44, 0xcc,
                                   0x9a, 0xb0, 0x29, 0x10, 0xf9, 0x85, 0x7a, 0x3c};

constexpr ULONG64 ALL = 7;
constexpr ULONG64 BASIC = 3;

// The data device under `device` (its own record), or NULL.
bdev_data* data_of(bdev* device) {
    if (device == nullptr) {
        return nullptr;
    }
    while (device->underlying != nullptr) {
        device = device->underlying;
    }
    return (bdev_data*)device->owner;
}

bool alternate_capacity(const bdev_data* data) {
    return data != nullptr && data->mdt != nullptr && data->mdt->log != nullptr &&
           data->mdt->log->format.capacity_mode == 1;
}

ULONG* ids_of(capability_header* record) {
    return (ULONG*)(record + 1);
}

ULONG64* values_of(capability_header* record, ULONG count) {
    return (ULONG64*)((UCHAR*)(record + 1) + 4 * (((ULONG64)count + 1) & ~1ull));
}

int copy_in(void* kernel, const void* user, ULONG64 bytes) {
    return kpav_copy_from_user(kernel, user, (ULONG)bytes) != 0 ? -KPAV_EFAULT : 0;
}

int copy_out(void* user, const void* kernel, ULONG64 bytes) {
    return kpav_copy_to_user(user, kernel, (ULONG)bytes) != 0 ? -KPAV_EFAULT : 0;
}

}  // namespace

ULONG64 capability_record_bytes(ULONG count) {
    ULONG64 n = count != 0 ? count : CAPABILITY_DEFAULT_COUNT;
    return (n + (n + 1) / 2 + 4) * 8;
}

int capability_value(nand_dev* channel, bdev* device, ULONG id, ULONG64* value) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(channel);
    // The card's own data device is not reachable from the channel until the store attaches,
    // so a query without a block device answers as a card without one.
    bdev_data* data = data_of(device);
    bool atomic = data != nullptr && data->atomic_writes != 0;
    bool trim = data != nullptr && data->persistent_trim != 0;
    ULONG sector_size = device != nullptr ? device->sector_size : 0;
    switch (id) {
    case 0:
        return 0;
    case 1:
        if (device != nullptr) {
            bool answers = device->ops != nullptr && device->ops->query_id != nullptr &&
                           device->ops->query_id(device, atomic_write_id) > 0;
            *value = answers ? ALL : BASIC;
        } else {
            *value = alternate_capacity(data) ? ALL : BASIC;
        }
        return 0;
    case 2:
    case 5:
    case 7:
        *value = 0;
        return 0;
    case 3:
        *value = trim ? ALL : BASIC;
        return 0;
    case 4:
        *value = atomic ? ALL : BASIC;
        return 0;
    case 6:
        *value = atomic && trim ? ALL : BASIC;
        return 0;
    case 1001:
        *value = 256;
        return 0;
    case 1002:
        *value = 1;
        return 0;
    case 1004:
        *value = 64;
        return 0;
    case 1006:
        *value = 100;
        return 0;
    case 1008:
        *value = 4194304;
        return 0;
    case 1003:
    case 1005:
    case 1007:
        if (sector_size == 0) {
            return -KPAV_EOPNOTSUPP;
        }
        *value = id == 1003 ? 131072 / sector_size : id == 1005 ? (1ull << 32) / sector_size : sector_size;
        return 0;
    default:
        return -KPAV_EOPNOTSUPP;
    }
}

int query_capabilities(nand_dev* channel, bdev* device, capability_header* record) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG* ids = ids_of(record);
    if (record->count == 0) {
        RtlCopyMemory(ids, default_ids, sizeof default_ids);
        record->count = CAPABILITY_DEFAULT_COUNT;
    }
    ULONG64* values = values_of(record, record->count);
    for (ULONG i = 0; i < record->count; i++) {
        ULONG64 value;
        RtlCopyMemory(&value, &values[i], sizeof value);
        if (capability_value(channel, device, ids[i], &value) != 0) {
            ids[i] = 0;
            continue;
        }
        RtlCopyMemory(&values[i], &value, sizeof value);
    }
    return 0;
}

int capabilities_ioctl(nand_dev* channel, bdev* device, void* record, int from_user) {
    PAGED_CODE();
    capability_header header;
    if (from_user == 0) {
        RtlCopyMemory(&header, record, sizeof header);
    } else if (copy_in(&header, record, sizeof header) != 0) {
        return -KPAV_EFAULT;
    }
    if (header.version != 1 || header.count > CAPABILITY_MAX_COUNT) {
        return -KPAV_EINVAL;
    }
    ULONG count = header.count != 0 ? header.count : CAPABILITY_DEFAULT_COUNT;
    ULONG64 needed = capability_record_bytes(count);
    header.needed = (ULONG)needed;
    if (header.size < needed) {
        if (from_user == 0) {
            ((capability_header*)record)->needed = header.needed;
            return -KPAV_ENOMEM;
        }
        return copy_out(record, &header, sizeof header) != 0 ? -KPAV_EFAULT : -KPAV_ENOMEM;
    }
    if (from_user == 0) {
        auto* r = (capability_header*)record;
        r->needed = header.needed;
        return query_capabilities(channel, device, r);
    }
    auto* r = (capability_header*)kpav_zalloc((size_t)needed, KPAV_TAG_VML);
    if (r == nullptr) {
        return -KPAV_EAGAIN;
    }
    // A count of 0 asks for the default list: no ids of the caller's to read.
    ULONG64 in_bytes = sizeof header + 4ull * header.count;
    int rc = copy_in(r, record, in_bytes);
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Failed to copy in buffer.\n", channel_name(channel));
    } else {
        r->needed = header.needed;
        query_capabilities(channel, device, r);
    }
    if (copy_out(record, rc == 0 ? (const void*)r : (const void*)&header, rc == 0 ? needed : sizeof header) != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Failed to copy out results.\n", channel_name(channel));
        rc = -KPAV_EFAULT;
    }
    kpav_free(r, KPAV_TAG_VML);
    return rc;
}
