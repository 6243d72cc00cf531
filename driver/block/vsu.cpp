// Partition records: references, the driver-wide list with its duplicate tests and its waiters,
// the per-card table, lookups and usage accounting.
#include "driver/block/vsu.h"

#include <cstring>

#include "driver/block/bdev.h"
#include "driver/block/bdev_partition.h"
#include "driver/block/block_interface.h"
#include "driver/block/vsu_internal.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/memory.h"
#include "driver/platform/once.h"

namespace {

// Every partition of every card, for the identity and name duplicate tests; and the threads
// waiting for a partition to become unused.
struct vsu_globals {
    kpav_spinlock list_lock;
    LIST_ENTRY list;
    kpav_spinlock wait_lock;
    kpav_cv unused;
};
vsu_globals globals;
volatile LONG globals_once = KPAV_ONCE_NOT_RUN;

void globals_init() {
    kpav_spinlock_init(&globals.list_lock, "vsu list");
    InitializeListHead(&globals.list);
    kpav_spinlock_init(&globals.wait_lock, "vsu waiters");
    kpav_cv_init(&globals.unused, "vsu unused");
}

vsu_globals* g() {
    kpav_run_once(&globals_once, globals_init);
    return &globals;
}

}  // namespace

// ---- References

int vsu_get(vsu* partition) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    // Counted first, then the flag tested: whoever sets "going away" and then reads the count
    // either sees this reference or is seen here.
    InterlockedIncrement(&partition->refcount);
    if ((ReadAcquire(&partition->flags) & VSU_GOING_AWAY) != 0) {
        vsu_put(partition);
        return -KPAV_ENXIO;
    }
    return 0;
}

void vsu_put(vsu* partition) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (InterlockedDecrement(&partition->refcount) == 0 && (ReadAcquire(&partition->flags) & VSU_GOING_AWAY) != 0) {
        vsu_globals* gl = g();
        kpav_spin_lock(&gl->wait_lock);
        kpav_cv_broadcast(&gl->unused);
        kpav_spin_unlock(&gl->wait_lock);
    }
}

namespace vsu_detail {

void wait_unused(vsu* partition) {
    PAGED_CODE();
    vsu_globals* gl = g();
    InterlockedOr(&partition->flags, VSU_GOING_AWAY);
    kpav_spin_lock(&gl->wait_lock);
    while (ReadAcquire(&partition->refcount) != 0) {
        kpav_cv_timedwait(&gl->unused, &gl->wait_lock, KPAV_NO_TIMEOUT, false);
    }
    kpav_spin_unlock(&gl->wait_lock);
}

// ---- Records

vsu* record_alloc(vsu_card* card) {
    PAGED_CODE();
    auto* p = (vsu*)kpav_zalloc(sizeof(vsu), KPAV_TAG_ATO);
    if (p == nullptr) {
        return nullptr;
    }
    p->index = VSU_NO_SLOT;
    p->descriptor_sector = ~0ull;
    p->card = card;
    p->card_device = card->data;
    p->sector_size = card->sector_size;
    ExInitializeFastMutex(&p->mutex);
    InitializeListHead(&p->link);
    return p;
}

void record_free(vsu* partition) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_free(partition, KPAV_TAG_ATO);
}

int list_enter(vsu* partition) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    vsu_globals* gl = g();
    int rc = 0;
    kpav_spin_lock(&gl->list_lock);
    for (LIST_ENTRY* e = gl->list.Flink; e != &gl->list; e = e->Flink) {
        const vsu* other = CONTAINING_RECORD(e, vsu, link);
        if (std::memcmp(other->identity, partition->identity, sizeof other->identity) == 0) {
            rc = -VSU_EDUPLICATE_ID;
            break;
        }
        if (partition->name[0] != 0 && std::strcmp(other->name, partition->name) == 0) {
            rc = -KPAV_EEXIST;
            break;
        }
    }
    if (rc == 0) {
        InsertTailList(&gl->list, &partition->link);
    }
    kpav_spin_unlock(&gl->list_lock);
    return rc;
}

void list_leave(vsu* partition) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    vsu_globals* gl = g();
    kpav_spin_lock(&gl->list_lock);
    if (!IsListEmpty(&partition->link)) {
        RemoveEntryList(&partition->link);
        InitializeListHead(&partition->link);
    }
    kpav_spin_unlock(&gl->list_lock);
}

// ---- The table

vsu_table* table_create() {
    PAGED_CODE();
    auto* t = (vsu_table*)kpav_zalloc(sizeof(vsu_table), KPAV_TAG_ATO);
    if (t == nullptr) {
        return nullptr;
    }
    ExInitializeFastMutex(&t->mutex);
    kpav_spinlock_init(&t->entries.lock, "vsu table");
    t->entries.slots = t->slots;
    return t;
}

void table_free(vsu_table* table) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_free(table, KPAV_TAG_ATO);
}

void table_insert(vsu_table* table, vsu* partition) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&table->entries.lock);
    ULONG count = table->entries.count;
    ULONG at = 0;
    while (at < count && table->slots[at].base <= partition->logical_base) {
        at++;
    }
    for (ULONG i = count; i > at; i--) {
        table->slots[i] = table->slots[i - 1];
        table->partitions[i] = table->partitions[i - 1];
    }
    mdt_partition& slot = table->slots[at];
    slot.base = partition->logical_base;
    slot.length = partition->length;
    slot.state = partition->state;
    slot.used = 0;
    slot.usage = &partition->usage;
    table->partitions[at] = partition;
    table->entries.count = count + 1;
    table->length_sum += partition->length;
    if (partition->index < VSU_SLOTS) {
        table->slots_held |= 1ull << partition->index;
    }
    kpav_spin_unlock(&table->entries.lock);
}

void table_remove(vsu_table* table, vsu* partition) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&table->entries.lock);
    ULONG count = table->entries.count;
    for (ULONG at = 0; at < count; at++) {
        if (table->partitions[at] != partition) {
            continue;
        }
        for (ULONG i = at; i + 1 < count; i++) {
            table->slots[i] = table->slots[i + 1];
            table->partitions[i] = table->partitions[i + 1];
        }
        table->entries.count = count - 1;
        table->length_sum -= partition->length;
        if (partition->index < VSU_SLOTS) {
            table->slots_held &= ~(1ull << partition->index);
        }
        break;
    }
    kpav_spin_unlock(&table->entries.lock);
}

void set_state(vsu_table* table, vsu* partition, ULONG state) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&table->entries.lock);
    partition->state = state;
    for (ULONG i = 0; i < table->entries.count; i++) {
        if (table->partitions[i] == partition) {
            table->slots[i].state = state;
        }
    }
    kpav_spin_unlock(&table->entries.lock);
}

void remove_and_free(vsu_table* table, vsu* partition) {
    PAGED_CODE();
    list_leave(partition);
    table_remove(table, partition);
    record_free(partition);
}

}  // namespace vsu_detail

// ---- Lookups

int vsu_find_by_devnum(ULONG number, vsu** out, vsu_table* table) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    *out = nullptr;
    // The control interface names a partition by its device number, the slot index plus
    // PARTITION_DEVNUM_BASE; the disk shell by its slot index. The two never meet.
    if (number >= PARTITION_DEVNUM_BASE) {
        number -= PARTITION_DEVNUM_BASE;
    }
    int rc = -KPAV_ENOENT;
    kpav_spin_lock(&table->entries.lock);
    for (ULONG i = 0; i < table->entries.count; i++) {
        vsu* p = table->partitions[i];
        if (p->index == number && p->state == VSU_ONLINE && vsu_get(p) == 0) {
            *out = p;
            rc = 0;
            break;
        }
    }
    kpav_spin_unlock(&table->entries.lock);
    return rc;
}

int vsu_find_next(ULONG64* cursor, vsu** out, vsu_table* table) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    *out = nullptr;
    int rc = -KPAV_ENOENT;
    kpav_spin_lock(&table->entries.lock);
    for (ULONG i = 0; i < table->entries.count; i++) {
        vsu* p = table->partitions[i];
        if (p->logical_base >= *cursor && p->state == VSU_ONLINE && vsu_get(p) == 0) {
            *out = p;
            *cursor = p->logical_base + p->length;
            rc = 0;
            break;
        }
    }
    kpav_spin_unlock(&table->entries.lock);
    if (rc != 0) {
        *cursor = ~0ull;
    }
    return rc;
}

int vsu_open_bdev(vsu* partition, bdev** out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    *out = nullptr;
    bdev* device = partition->device;
    if ((ReadAcquire(&partition->flags) & VSU_EXPOSED) == 0 || device == nullptr) {
        return -KPAV_ENODEV;
    }
    int rc = device->ops->open != nullptr ? device->ops->open(device) : 0;
    if (rc == 0) {
        *out = device;
    }
    return rc;
}

int vsu_account_sectors(vsu_card* card, ULONG64 base, ULONG64 count, LONG64 delta) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    vsu_table* table = card->table;
    if (table == nullptr) {
        return -KPAV_ENXIO;
    }
    int rc = 0;
    kpav_spin_lock(&table->entries.lock);
    for (ULONG i = 0; i < table->entries.count; i++) {
        vsu* p = table->partitions[i];
        if (base < p->logical_base || base - p->logical_base >= p->length) {
            continue;
        }
        if (p->state != VSU_ONLINE) {
            break;
        }
        if (count > p->logical_base + p->length - base) {
            rc = -KPAV_EINVAL;
        } else {
            InterlockedExchangeAdd64(&p->usage, delta);
        }
        break;
    }
    kpav_spin_unlock(&table->entries.lock);
    return rc;
}

void vsu_notify_bdevs(vsu_card* card, int event) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    vsu_table* table = card->table;
    if (table == nullptr) {
        return;
    }
    kpav_spin_lock(&table->entries.lock);
    for (ULONG i = 0; i < table->entries.count; i++) {
        bdev* device = table->partitions[i]->device;
        if (device != nullptr && device->iface != nullptr && device->iface->ops != nullptr &&
            device->iface->ops->notify != nullptr) {
            device->iface->ops->notify(device, event);
        }
    }
    kpav_spin_unlock(&table->entries.lock);
}

void vsu_descriptor_of(const vsu* partition, bool deleted, vsu_descriptor* out) {
    std::memset(out, 0, sizeof *out);
    out->sector_size = partition->sector_size;
    std::memcpy(out->name, partition->name, sizeof out->name);
    if (!deleted) {
        std::memcpy(out->type, partition->type, sizeof out->type);
    }
    std::memcpy(out->identity, partition->identity, sizeof out->identity);
    out->logical_base = partition->logical_base;
    out->length = partition->length;
    out->phys_min = partition->phys_min;
    out->phys_max = partition->phys_max;
    out->usage = (ULONG64)ReadNoFence64(&partition->usage);
    out->discard_mark = partition->discard_mark;
}
