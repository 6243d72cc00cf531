// Partition management: creation with its placement, deletion, exposure as block devices and
// the kinfo directories.
#include <cstring>

#include "driver/block/bdev.h"
#include "driver/block/bdev_partition.h"
#include "driver/block/bio.h"
#include "driver/block/vsu_internal.h"
#include "driver/fmap/lrbtree_internal.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/kinfo.h"
#include "driver/platform/log.h"
#include "driver/platform/uuid.h"

using namespace vsu_detail;

namespace {

ULONG64 round_up(ULONG64 value, ULONG64 unit) {
    return unit == 0 ? value : (value + unit - 1) / unit * unit;
}

ULONG64 shard_span(const vsu_card* card) {
    return lrbtree_shard_span(card->mdt->map, 0);
}

// Automatic placement: the smallest gap that holds `*length` sectors (0: the largest gap, whose
// size becomes the length), gaps starting at the previous partition's end rounded up to the
// shard span, the tail up to the capacity included. 0, or -KPAV_ENOSPC when none fits.
int place(const vsu_card* card, ULONG64* base, ULONG64* length) {
    PAGED_CODE();
    const vsu_table* table = card->table;
    const ULONG64 span = shard_span(card);
    const ULONG64 capacity = logical_capacity(card);
    bool found = false;
    ULONG64 best_base = 0;
    ULONG64 best_size = 0;
    ULONG64 at = 0;
    for (ULONG i = 0; i <= table->entries.count; i++) {
        ULONG64 end = i < table->entries.count ? table->partitions[i]->logical_base : capacity;
        if (end > at) {
            ULONG64 size = end - at;
            bool fits = *length == 0 ? (!found || size > best_size) : (size >= *length && (!found || size < best_size));
            if (fits) {
                found = true;
                best_base = at;
                best_size = size;
            }
        }
        if (i < table->entries.count) {
            const vsu* p = table->partitions[i];
            ULONG64 next = round_up(p->logical_base + p->length, span);
            at = at > next ? at : next;
        }
    }
    if (!found) {
        return -KPAV_ENOSPC;
    }
    *base = best_base;
    if (*length == 0) {
        *length = best_size;
    }
    return 0;
}

// Explicit placement: on the shard boundary, not touching or overlapping a partition.
int check_range(const vsu_card* card, ULONG64 base, ULONG64 length) {
    PAGED_CODE();
    const ULONG64 span = shard_span(card);
    if (span != 0 && base % span != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: %s range %llu-%llu does not start on required boundary of %llu sectors.\n",
                   card->name, VP, base, base + length, span);
        return -KPAV_EINVAL;
    }
    const vsu_table* table = card->table;
    for (ULONG i = 0; i < table->entries.count; i++) {
        const vsu* p = table->partitions[i];
        if (base <= p->logical_base + p->length && p->logical_base <= base + length) {
            kpav_print(KPAV_CLASS_ERROR, "%s: %s range %llu-%llu overlaps existing %s.\n", card->name, VP, base,
                       base + length, VP);
            return -KPAV_EINVAL;
        }
    }
    if (base > logical_capacity(card) || length > logical_capacity(card) - base) {
        return -KPAV_ENOSPC;
    }
    return 0;
}

}  // namespace

namespace vsu_detail {

int expose(vsu_card* card, vsu* partition) {
    PAGED_CODE();
    int rc = 0;
    lock(&partition->mutex);
    if ((ReadAcquire(&partition->flags) & VSU_EXPOSED) == 0) {
        if (partition->device == nullptr) {
            rc = partition_bdev_create(partition);
        }
        if (rc != 0) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Unable to export %s %s block device.\n", card->name, VP, partition->name);
        } else {
            if (card->exposes_disks != 0) {
                rc = bdev_expose_disk(partition->device);
                kpav_print(KPAV_CLASS_NORMAL,
                           "%s: Exposing Virtual Partition %s of size %llu bytes with %llu sectors of %d bytes (%llu mapped).\n",
                           card->name, partition->name, partition->length * partition->sector_size, partition->length,
                           (int)partition->sector_size, (ULONG64)ReadNoFence64(&partition->usage));
            }
            if (rc == 0) {
                InterlockedOr(&partition->flags, VSU_EXPOSED);
            }
        }
    }
    unlock(&partition->mutex);
    return rc;
}

int unexpose(vsu* partition, ULONG flags) {
    PAGED_CODE();
    if ((flags & VSU_UNEXPOSE_GOING_AWAY) == 0) {
        wait_unused(partition);
    }
    int rc = 0;
    lock(&partition->mutex);
    LONG state = ReadAcquire(&partition->flags);
    if (partition->device != nullptr && ((state & VSU_EXPOSED) != 0 || (state & VSU_HIDE_FAILED) != 0)) {
        if ((state & VSU_HIDE_FAILED) != 0) {
            // The failed hide left the device unmarked although the system still has it: the
            // hide is asked for again, not taken as done.
            InterlockedOr(&partition->device->flags, BDEV_EXPOSED);
        }
        rc = bdev_hide_disk(partition->device, flags);
        if (rc == 0) {
            // The block device goes only once a hide has succeeded: the system may still use it.
            bdev_free(&partition->device);
            InterlockedAnd(&partition->flags, ~(VSU_EXPOSED | VSU_HIDE_FAILED));
        } else {
            InterlockedOr(&partition->flags, VSU_HIDE_FAILED);
        }
    } else if (partition->device != nullptr) {
        bdev_free(&partition->device);
    }
    unlock(&partition->mutex);
    return rc;
}

int kinfo_add(vsu_card* card, vsu* partition) {
    PAGED_CODE();
    vsu_table* table = card->table;
    if (card->kinfo_dir == nullptr) {
        return 0;
    }
    int rc = vsu_kinfo_init(card);
    if (rc != 0) {
        return rc;
    }
    char text[PAV_UUID_TEXT_SIZE];
    pav_uuid_unparse(partition->identity, text);
    rc = kinfo_create_dir(table->kinfo_dir, text, &partition->kinfo_dir);
    if (rc != 0) {
        return rc;
    }
    kinfo_node* dir = partition->kinfo_dir;
    const struct {
        const char* name;
        void* variable;
    } values[] = {
        {"phys_usage", (void*)&partition->usage},
        {"logical-base", &partition->logical_base},
        {"logical-len", &partition->length},
        {"phys_min_reserved_sectors", &partition->phys_min},
        {"phys_max_allowed_sectors", &partition->phys_max},
    };
    for (const auto& v : values) {
        rc = kinfo_create_value(dir, KINFO_UINT64, v.name, KINFO_MODE_RO, v.variable, 8, nullptr);
        if (rc != 0) {
            kinfo_remove(&partition->kinfo_dir);
            return rc;
        }
    }
    rc = kinfo_create_value(dir, KINFO_UINT32, "handle", KINFO_MODE_RO, &partition->index, 4, nullptr);
    if (rc != 0) {
        kinfo_remove(&partition->kinfo_dir);
    }
    return rc;
}

void kinfo_drop(vsu* partition) {
    PAGED_CODE();
    if (partition->kinfo_dir != nullptr) {
        kinfo_remove(&partition->kinfo_dir);
    }
}

}  // namespace vsu_detail

int vsu_kinfo_init(vsu_card* card) {
    PAGED_CODE();
    vsu_table* table = card->table;
    if (table == nullptr) {
        return -KPAV_ENXIO;
    }
    if (card->kinfo_dir == nullptr || table->kinfo_dir != nullptr) {
        return 0;
    }
    return kinfo_create_dir(card->kinfo_dir, "VP", &table->kinfo_dir);
}

int vsu_create(vsu_card* card, vsu_create_record* request, vsu** out) {
    PAGED_CODE();
    *out = nullptr;
    request->index = VSU_NO_SLOT;
    vsu_table* table = card->table;
    if (table == nullptr) {
        return -KPAV_ENXIO;
    }
    if (request->version > 0) {
        return -KPAV_EOPNOTSUPP;
    }
    ULONG sector_size = request->sector_size != 0 ? request->sector_size : card->sector_size;
    if (vsu_type_number(request->type) == 0 || sector_size != card->sector_size) {
        return -KPAV_EINVAL;
    }
    bdev* data = card->data;
    if (data->ops->query_id != nullptr && data->ops->query_id(data, request->type) == 0) {
        return -KPAV_EOPNOTSUPP;
    }
    // A card that may not be written cannot keep a new partition.
    if (card_read_only(card)) {
        return -KPAV_EROFS;
    }
    vsu* p = record_alloc(card);
    if (p == nullptr) {
        return -KPAV_ENOMEM;
    }
    std::memcpy(p->type, request->type, sizeof p->type);
    std::memcpy(p->identity, request->identity, sizeof p->identity);
    std::memcpy(p->name, request->name, sizeof request->name);
    p->name[sizeof request->name] = 0;
    p->phys_min = request->phys_min;
    p->phys_max = request->phys_max;
    p->length = request->length;
    p->state = VSU_CREATING;

    lock(&table->mutex);
    // A request larger than what is left is refused as such before any placement is tried.
    int rc = vsu_check_capacity(card, p->length);
    if (rc != 0) {
        unlock(&table->mutex);
        record_free(p);
        return rc;
    }
    if (request->logical_base == VSU_AUTO_BASE) {
        ULONG64 base = 0;
        ULONG64 length = p->length;
        rc = place(card, &base, &length);
        if (rc == 0 && length == 0) {
            rc = -KPAV_ENOSPC;
        }
        p->logical_base = base;
        p->length = length;
        if (rc != 0) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Unable to allocate LBA space for new %s.\n", card->name, VP);
        }
    } else {
        p->logical_base = request->logical_base;
        // A partition of no sectors would hold a slot and a name for nothing.
        rc = p->length == 0 ? -KPAV_EINVAL : check_range(card, p->logical_base, p->length);
    }
    if (rc == 0) {
        rc = vsu_reserve_slot(card, p);
        if (rc != 0) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Unable to allocate LBA space for new %s.\n", card->name, VP);
        }
    }
    if (rc != 0) {
        unlock(&table->mutex);
        record_free(p);
        return rc;
    }
    rc = bdev_discard_range(data, nullptr, p->logical_base, p->length, nullptr, nullptr, ~0ull, 1);
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Failed to clean %s region.\n", card->name, VP);
    } else {
        rc = persist(card, p, false);
        if (rc != 0) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Failed to persist new %s.\n", card->name, VP);
        }
    }
    if (rc != 0) {
        remove_and_free(table, p);
        unlock(&table->mutex);
        return rc;
    }
    InterlockedExchange64(&p->usage, 0);
    set_state(table, p, VSU_ONLINE);
    unlock(&table->mutex);
    if (kinfo_add(card, p) != 0) {
        kpav_print(KPAV_CLASS_WARNING, "%s: Unable to create kinfo nodes for %s %s.\n", card->name, VP, p->name);
    }
    rc = expose(card, p);
    if (rc != 0) {
        return rc;  // the partition stays, persisted; exposure can be retried
    }
    vsu_get(p);
    request->index = p->index;
    *out = p;
    return 0;
}

int vsu_delete(vsu* partition) {
    PAGED_CODE();
    vsu_card* card = partition->card;
    vsu_table* table = card != nullptr ? card->table : nullptr;
    if (table == nullptr) {
        vsu_put(partition);
        return -KPAV_ENXIO;
    }
    // The descriptor could not be rewritten: the partition would come back at the next attach
    // with its data discarded.
    if (card_read_only(card)) {
        vsu_put(partition);
        return -KPAV_EROFS;
    }
    lock(&table->mutex);
    vsu_put(partition);
    if (partition->state != VSU_ONLINE) {
        unlock(&table->mutex);
        return -KPAV_ENOENT;
    }
    int rc = unexpose(partition, VSU_UNEXPOSE_SURPRISE);
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Unable to offline %s prior to deletion. Error %d.\n", card->name, VP, rc);
        InterlockedAnd(&partition->flags, ~VSU_GOING_AWAY);
        unlock(&table->mutex);
        return rc;
    }
    kinfo_drop(partition);
    set_state(table, partition, VSU_DELETING);
    unlock(&table->mutex);
    rc = bdev_discard_range(card->data, nullptr, partition->logical_base, partition->length, nullptr, nullptr, ~0ull, 1);
    if (rc == 0) {
        rc = persist(card, partition, true);
    }
    if (rc != 0) {
        // Left in state 4: detach writes it deleted; a load finds it and finishes the deletion.
        return rc;
    }
    set_state(table, partition, VSU_DELETED);
    lock(&table->mutex);
    ULONG slot = partition->index;
    remove_and_free(table, partition);
    rc = release_slot(card, slot);
    unlock(&table->mutex);
    return rc;
}

int vsu_expose_all(vsu_card* card) {
    PAGED_CODE();
    vsu_table* table = card->table;
    if (table == nullptr) {
        return -KPAV_ENXIO;
    }
    int result = 0;
    lock(&table->mutex);
    for (ULONG i = 0; i < table->entries.count; i++) {
        vsu* p = table->partitions[i];
        if (p->state != VSU_ONLINE) {
            continue;
        }
        if (p->kinfo_dir == nullptr) {
            kinfo_add(card, p);
        }
        int rc = expose(card, p);
        if (rc != 0) {
            result = rc;
        }
    }
    unlock(&table->mutex);
    return result;
}

int vsu_unexpose_all(vsu_card* card, bool going_away, bool forced) {
    PAGED_CODE();
    vsu_table* table = card->table;
    if (table == nullptr) {
        return 0;
    }
    ULONG flags = (going_away ? VSU_UNEXPOSE_GOING_AWAY : 0) | (forced ? VSU_UNEXPOSE_FORCED : 0) | VSU_UNEXPOSE_SURPRISE;
    int result = 0;
    lock(&table->mutex);
    for (ULONG i = 0; i < table->entries.count; i++) {
        int rc = unexpose(table->partitions[i], flags);
        if (rc != 0) {
            result = rc;
        }
    }
    unlock(&table->mutex);
    return result;
}
