// Partitions at attach and detach: the descriptors read back and checked, half-done deletions
// finished, the compatibility partition, free space cleaned, usage counted; and the descriptors
// written back at detach. The descriptor slots' media: persisting and releasing a slot.
#include <cstdio>
#include <cstring>

#include "driver/block/bdev.h"
#include "driver/block/bdev_data.h"
#include "driver/block/bdev_read.h"
#include "driver/block/bio.h"
#include "driver/block/vsu_internal.h"
#include "driver/fmap/lrbtree.h"
#include "driver/log/datalog.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/kinfo.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/uuid.h"

using namespace vsu_detail;

namespace {

// Steps of the usage walk: at most this many sectors per walk of the map.
constexpr ULONG64 USAGE_STEP = 0x2000000;

// A sector buffer the card's DMA reaches; NULL without memory.
UCHAR* sector_buffer(const vsu_card* card) {
    return (UCHAR*)kpav_zalloc(card->sector_size, KPAV_TAG_VML);
}

// The partition a checked descriptor describes, in the lists and the table: 0 or the list's
// duplicate error.
int enter_loaded(vsu_card* card, ULONG slot, const vsu_descriptor& d) {
    PAGED_CODE();
    vsu* p = record_alloc(card);
    if (p == nullptr) {
        return -KPAV_ENOMEM;
    }
    bool deleted = vsu_type_is_zero(d.type);
    p->index = slot;
    p->state = deleted ? VSU_DELETED : VSU_ONLINE;
    std::memcpy(p->type, d.type, sizeof p->type);
    std::memcpy(p->identity, d.identity, sizeof p->identity);
    std::memcpy(p->name, d.name, sizeof d.name);
    p->name[sizeof d.name] = 0;
    p->sector_size = d.sector_size;
    p->logical_base = d.logical_base;
    p->length = deleted ? 0 : d.length;
    p->phys_min = deleted ? 0 : d.phys_min;
    p->phys_max = d.phys_max;
    p->usage = (LONG64)d.usage;
    p->discard_mark = d.discard_mark;
    p->descriptor_sector = VSU_SLOT_BASE + slot;
    // A deleted partition is on its way out: it takes part in no duplicate test.
    int rc = deleted ? 0 : list_enter(p);
    if (rc != 0) {
        record_free(p);
        return rc;
    }
    table_insert(card->table, p);
    return 0;
}

// An online partition whose range meets one already in the table.
bool overlaps_table(const vsu_table* table, const vsu_descriptor& d) {
    for (ULONG i = 0; i < table->entries.count; i++) {
        const vsu* p = table->partitions[i];
        if (p->state == VSU_ONLINE && d.length != 0 && p->length != 0 && d.logical_base < p->logical_base + p->length &&
            p->logical_base < d.logical_base + d.length) {
            return true;
        }
    }
    return false;
}

// Step 2: every slot read and checked. 0, or the error that ends the load.
int read_descriptors(vsu_card* card, UCHAR* sector) {
    PAGED_CODE();
    const ULONG64 capacity = logical_capacity(card);
    for (ULONG slot = 0; slot < VSU_SLOTS; slot++) {
        int rc = bdev_read_sync(card->data, VSU_SLOT_BASE + slot, 1, sector);
        if (rc != 0) {
            return rc;
        }
        vsu_descriptor_findings f;
        vsu_descriptor_decode(sector, card->sector_size, card->sector_size, capacity, &f);
        if (f.verdict == VSU_DESC_EMPTY) {
            continue;
        }
        if (f.verdict == VSU_DESC_BAD_MAGIC) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Corrupt %s descriptor block %llu: invalid magic.\n", card->name, VP,
                       (ULONG64)slot);
            return -KPAV_EINVAL;
        }
        if (f.too_new) {
            kpav_print(KPAV_CLASS_WARNING, "%s: %s descriptor too new (%d) for this software.  Attaching read-only.\n",
                       card->name, VP, (int)f.fields.version);
            set_read_only(card);
        }
        if (f.verdict == VSU_DESC_BAD_SIZE) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Corrupt %s descriptor block %llu: invalid size.\n", card->name, VP,
                       (ULONG64)slot);
            return -KPAV_EINVAL;
        }
        if (f.verdict == VSU_DESC_UNKNOWN_TYPE) {
            char text[PAV_UUID_TEXT_SIZE];
            pav_uuid_unparse(f.fields.type, text);
            kpav_print(KPAV_CLASS_ERROR, "%s: Unknown %s type %s in descriptor at %llu\n", card->name, VP, text,
                       (ULONG64)slot);
            return -KPAV_EINVAL;
        }
        if (f.sector_size_differs) {
            kpav_print(KPAV_CLASS_WARNING, "%s: Differing %s sector sizes not supported.  %s: %d device: %d.\n",
                       card->name, VP, VP, (int)f.fields.sector_size, (int)card->sector_size);
            kpav_print(KPAV_CLASS_WARNING, "%s: Not all %ss may be available.\n", card->name, VP);
            set_read_only(card);
            continue;
        }
        const vsu_descriptor& d = f.fields;
        if (f.verdict == VSU_DESC_BAD_RANGE) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Corrupt %s descriptor block %llu: invalid range.\n", card->name, VP,
                       (ULONG64)slot);
            return -KPAV_EINVAL;
        }
        if (!vsu_type_is_zero(d.type) && overlaps_table(card->table, d)) {
            kpav_print(KPAV_CLASS_ERROR, "%s: %s range %llu-%llu overlaps existing %s.\n", card->name, VP,
                       d.logical_base, d.logical_base + d.length, VP);
            return -KPAV_EINVAL;
        }
        rc = enter_loaded(card, slot, d);
        if (rc != 0) {
            return rc;
        }
    }
    return 0;
}

// Step 3: each deleted partition's slot released and the partition removed.
int finish_deletions(vsu_card* card) {
    PAGED_CODE();
    vsu_table* table = card->table;
    for (ULONG i = 0; i < table->entries.count;) {
        vsu* p = table->partitions[i];
        if (p->state != VSU_DELETED) {
            i++;
            continue;
        }
        int rc = release_slot(card, p->index);
        if (rc != 0) {
            return rc;
        }
        remove_and_free(table, p);
    }
    return 0;
}

// Step 4: a card without partitions gets one over its whole capacity.
int create_compatibility(vsu_card* card) {
    PAGED_CODE();
    const char* data_name = card->data->name[0] != 0 ? card->data->name : "pav?";
    kpav_print(KPAV_CLASS_NORMAL, "%s: Device has no %ss.  Creating compatibility %s %s.\n", card->name, VP, VP,
               data_name);
    vsu* p = record_alloc(card);
    if (p == nullptr) {
        return -KPAV_ENOMEM;
    }
    std::memcpy(p->identity, card->identity, sizeof p->identity);
    vsu_type_of(card->extended_mode != 0 ? 2 : 1, p->type);
    p->logical_base = 0;
    p->length = logical_capacity(card);
    p->phys_min = p->phys_max = card->capacity;
    std::snprintf(p->name, sizeof p->name, "%s", data_name);
    int rc = vsu_reserve_slot(card, p);
    if (rc != 0) {
        record_free(p);
    }
    return rc;
}

// Step 5: gaps of the logical space no partition covers are discarded; so is the range of a
// partition whose discard mark lies ahead of the log.
int clean_free_space(vsu_card* card) {
    PAGED_CODE();
    vsu_table* table = card->table;
    const ULONG64 capacity = logical_capacity(card);
    ULONG64 at = 0;
    for (ULONG i = 0; i <= table->entries.count; i++) {
        ULONG64 end = i < table->entries.count ? table->partitions[i]->logical_base : capacity;
        if (end > capacity) {
            end = capacity;
        }
        if (end > at) {
            int rc = bdev_discard_range(card->data, nullptr, at, end - at, nullptr, nullptr, ~0ull, 1);
            if (rc != 0) {
                return rc;
            }
        }
        if (i < table->entries.count) {
            const vsu* p = table->partitions[i];
            at = at > p->logical_base + p->length ? at : p->logical_base + p->length;
        }
    }
    pav_log* log = card->mdt->log;
    ULONG64 position = log->append_leb != PAV_NO_LEB ? log->lebs[log->append_leb].sequence << 24 : 0;
    for (ULONG i = 0; i < table->entries.count; i++) {
        vsu* p = table->partitions[i];
        if (p->state == VSU_ONLINE && p->discard_mark > position) {
            int rc = bdev_discard_range(card->data, nullptr, p->logical_base, p->length, nullptr, nullptr,
                                        p->discard_mark, 1);
            if (rc != 0) {
                return rc;
            }
        }
    }
    return 0;
}

}  // namespace

namespace vsu_detail {

bool card_read_only(const vsu_card* card) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return (ReadAcquire(&card->read_only) & 1) != 0 || card->read_only_state == VSU_READ_ONLY_STATE;
}

void set_read_only(vsu_card* card) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_print(KPAV_CLASS_WARNING, "%s: Setting device %s to read-only\n", card->name, card->name);
    InterlockedOr(&card->read_only, 1);
    auto* data = (bdev_data*)card->data->owner;
    data->read_only_switch |= 1;
}

int persist(vsu_card* card, vsu* partition, bool deleted) {
    PAGED_CODE();
    UCHAR* sector = sector_buffer(card);
    if (sector == nullptr) {
        return -KPAV_ENOMEM;
    }
    vsu_descriptor d;
    vsu_descriptor_of(partition, deleted, &d);
    vsu_descriptor_encode(&d, sector, card->sector_size);
    int rc = datalog_internal_write(card->data, VSU_SLOT_BASE + partition->index, nullptr, sector);
    kpav_free(sector, KPAV_TAG_VML);
    return rc;
}

int release_slot(vsu_card* card, ULONG slot) {
    PAGED_CODE();
    return bdev_discard_range(card->data, nullptr, VSU_SLOT_BASE + slot, 1, nullptr, nullptr, ~0ull, 1);
}

int count_usage(vsu_card* card, vsu* partition) {
    PAGED_CODE();
    ULONG64 mapped = 0;
    for (ULONG64 at = 0; at < partition->length;) {
        ULONG64 step = partition->length - at < USAGE_STEP ? partition->length - at : USAGE_STEP;
        lrbtree_range range{};
        ULONG64 start = partition->logical_base + at;
        int rc = lrbtree_enumerate(card->mdt->map, &range, &lrbtree_count_mapped, &mapped, 0, start, start + step);
        if (rc != 0) {
            return rc;
        }
        at += step;
    }
    InterlockedExchange64(&partition->usage, (LONG64)mapped);
    return 0;
}

}  // namespace vsu_detail

int vsu_check_capacity(const vsu_card* card, ULONG64 length) {
    const vsu_table* table = card->table;
    const ULONG64 capacity = logical_capacity(card);
    if (table->length_sum > capacity || length > capacity - table->length_sum) {
        kpav_print(KPAV_CLASS_ERROR, "%s: %s would exceed available capacity: (desired: %llu reserved: %llu total: %llu).\n",
                   card->name, VP, length, table->length_sum, capacity);
        return -KPAV_EFBIG;
    }
    return 0;
}

int vsu_reserve_slot(vsu_card* card, vsu* partition) {
    PAGED_CODE();
    vsu_table* table = card->table;
    int capacity_rc = vsu_check_capacity(card, partition->length);
    if (capacity_rc != 0) {
        return capacity_rc;
    }
    // The first slot that is neither held by a partition nor mapped in the forward map.
    ULONG slot = VSU_NO_SLOT;
    for (ULONG s = 0; s < VSU_SLOTS && slot == VSU_NO_SLOT; s++) {
        if ((table->slots_held & (1ull << s)) != 0) {
            continue;
        }
        ULONG64 mapped = 0;
        lrbtree_range range{};
        int rc = lrbtree_enumerate(card->mdt->map, &range, &lrbtree_count_mapped, &mapped, 0, VSU_SLOT_BASE + s,
                                   VSU_SLOT_BASE + s + 1);
        if (rc == 0 && mapped == 0) {
            slot = s;
        }
    }
    if (slot == VSU_NO_SLOT) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Unable to reserve mdt for vsu.\n", card->name);
        return -KPAV_ENOSPC;
    }
    partition->index = slot;
    partition->descriptor_sector = VSU_SLOT_BASE + slot;
    if (partition->name[0] == 0) {
        std::snprintf(partition->name, sizeof partition->name, "pav%uvp%u", (unsigned)card->number, (unsigned)slot);
    }
    if (partition->state != VSU_CREATING) {
        partition->state = VSU_ONLINE;
    }
    int rc = list_enter(partition);
    if (rc != 0) {
        partition->index = VSU_NO_SLOT;
        partition->descriptor_sector = ~0ull;
        return rc;
    }
    table_insert(table, partition);
    return 0;
}

int vsu_load_all(vsu_card* card) {
    PAGED_CODE();
    card->table = table_create();
    if (card->table == nullptr) {
        return -KPAV_ENOMEM;
    }
    vsu_table* table = card->table;
    UCHAR* sector = sector_buffer(card);
    if (sector == nullptr) {
        return -KPAV_ENOMEM;
    }
    lock(&table->mutex);
    int rc = read_descriptors(card, sector);
    if (rc == 0 && !card_read_only(card) && (card->attach_flags & VSU_ATTACH_CLEAN) == 0) {
        rc = finish_deletions(card);
    }
    if (rc == 0 && table->entries.count == 0) {
        rc = create_compatibility(card);
    }
    unlock(&table->mutex);
    kpav_free(sector, KPAV_TAG_VML);
    if (rc != 0) {
        return rc;
    }
    // Writes and trims account their sectors to the partitions from now on.
    card->mdt->partitions = &table->entries;
    if ((card->attach_flags & VSU_ATTACH_CLEAN) != 0) {
        return 0;
    }
    if (!card_read_only(card)) {
        rc = clean_free_space(card);
        if (rc != 0) {
            return rc;
        }
    }
    for (ULONG i = 0; i < table->entries.count; i++) {
        vsu* p = table->partitions[i];
        if (p->state == VSU_ONLINE) {
            rc = count_usage(card, p);
            if (rc != 0) {
                return rc;
            }
        }
    }
    return 0;
}

void vsu_unload_all(vsu_card* card) {
    PAGED_CODE();
    vsu_table* table = card->table;
    if (table == nullptr) {
        return;
    }
    card->mdt->partitions = nullptr;
    lock(&table->mutex);
    while (table->entries.count != 0) {
        vsu* p = table->partitions[table->entries.count - 1];
        if (p->index < VSU_SLOTS && p->state != VSU_DELETED && !card_read_only(card)) {
            int rc = persist(card, p, p->state == VSU_DELETING);
            if (rc != 0) {
                kpav_print(KPAV_CLASS_ERROR, "%s: Failed to persist %s %s (%d).\n", card->name, VP, p->name, rc);
            }
        }
        kinfo_drop(p);
        remove_and_free(table, p);
    }
    unlock(&table->mutex);
    if (table->kinfo_dir != nullptr) {
        kinfo_remove(&table->kinfo_dir);
    }
    table_free(table);
    card->table = nullptr;
}
