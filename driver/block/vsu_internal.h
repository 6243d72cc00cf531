// What the partition files share: records, the driver-wide list, the table and the descriptor
// slots' media. Not for use outside them.
#pragma once

#include "driver/block/vsu.h"
#include "driver/platform/kassert.h"

namespace vsu_detail {

constexpr const char* VP = "Virtual Partition";

// The table's and a partition's mutexes are held across waits for the media (reads and writes
// of descriptors, discards): taken with kernel APCs off, at PASSIVE_LEVEL.
inline void lock(FAST_MUTEX* mutex) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    KeEnterCriticalRegion();
    ExAcquireFastMutexUnsafe(mutex);
}
inline void unlock(FAST_MUTEX* mutex) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    ExReleaseFastMutexUnsafe(mutex);
    KeLeaveCriticalRegion();
}

// Records ("ato4"), with the card's sector size and data device; NULL without memory.
vsu* record_alloc(vsu_card* card);
void record_free(vsu* partition);
// The driver-wide list: 0, -1027 for an identity in use, -KPAV_EEXIST for a name in use.
int list_enter(vsu* partition);
void list_leave(vsu* partition);
// Sets "going away" and waits until no reference is left. PASSIVE_LEVEL.
void wait_unused(vsu* partition);

vsu_table* table_create();
void table_free(vsu_table* table);
// Entered in logical-base order, its length added to the sum and its slot marked held.
void table_insert(vsu_table* table, vsu* partition);
void table_remove(vsu_table* table, vsu* partition);
void set_state(vsu_table* table, vsu* partition, ULONG state);
// Out of the list and the table, and freed.
void remove_and_free(vsu_table* table, vsu* partition);

// The card's logical capacity: extended or normal.
inline ULONG64 logical_capacity(const vsu_card* card) {
    return card->extended_mode != 0 ? card->extended_capacity : card->capacity;
}
bool card_read_only(const vsu_card* card);
// Sets the card read-only (its data device refuses writes) with the message.
void set_read_only(vsu_card* card);

// Writes the partition's descriptor into its slot (`deleted`: with a zero type) and waits.
int persist(vsu_card* card, vsu* partition, bool deleted);
// Releases a slot sector in the forward map (its mapping removed) and waits.
int release_slot(vsu_card* card, ULONG slot);
// Counts the mapped sectors of the partition's range into its usage. PASSIVE_LEVEL.
int count_usage(vsu_card* card, vsu* partition);

// Exposure of one partition; its kinfo directory.
int expose(vsu_card* card, vsu* partition);
int unexpose(vsu* partition, ULONG flags);
int kinfo_add(vsu_card* card, vsu* partition);
void kinfo_drop(vsu* partition);

}  // namespace vsu_detail

// Slot reservation for a new partition: the capacity check, the first free slot, the default
// name; the partition goes online into the lists and the table. 0, -KPAV_EFBIG, -KPAV_ENOSPC or
// the list's duplicate error (nothing entered then).
int vsu_reserve_slot(vsu_card* card, vsu* partition);
// The sum of the partitions' lengths with `length` more stays within the logical capacity: 0, or
// -KPAV_EFBIG with the capacity message.
int vsu_check_capacity(const vsu_card* card, ULONG64 length);
