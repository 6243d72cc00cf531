// Range locks of the data log: which logical sector ranges are in flight. The table is the
// pipeline's in-flight range table (data writes enter it as they queue); the log sizes it,
// queries it, and takes writes out of it when they complete. Exclusive holders (the log's own
// one-block writes, tests) acquire a range through a gate that makes the check and the entry
// one step and wait while an overlapping range is held.
#pragma once

#include "driver/pipeline/range_table.h"
#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct velkor_request;

constexpr ULONG LBA_RANGE_SLOTS = 4096;
constexpr ULONG64 LBA_RANGE_MIN_SLOT = 8188;  // sectors a slot covers at least

struct lba_range_locks {
    lba_range_table table;
    kpav_spinlock gate;  // acquirers: the overlap check and the entry happen under it
    kpav_cv released;    // woken under the gate when a range leaves
};

// 4096 slots of capacity / 4096 sectors, halved until each covers at least 8188 sectors.
int datalog_range_table_init(lba_range_locks* locks, ULONG64 capacity);
void datalog_range_table_free(lba_range_locks* locks);

// Looks at every slot that can hold a range overlapping [start, start + count) and at the large
// list; among the overlapping ranges takes the one that starts lowest (ties: the longest).
// Returns 0 when none overlaps, else the overlapping length clipped to the request, with the
// distance from `start` to the overlap in *out_offset. Slot locks are taken one at a time.
ULONG64 lba_range_lock(lba_range_table* table, ULONG64 start, ULONG64 count, ULONG64* out_offset);
// Takes every request of the chain that holds a range out of the table.
void lba_range_unlock(lba_range_table* table, velkor_request* head);

// Enters `request` (its range_lba, range_count) once no held range overlaps it, waiting up to
// `timeout_us` (KPAV_NO_TIMEOUT: no limit): 0, or -KPAV_EBUSY when the wait timed out. Below
// DISPATCH_LEVEL.
int lba_range_acquire(lba_range_locks* locks, velkor_request* request, LONGLONG timeout_us);
void lba_range_release(lba_range_locks* locks, velkor_request* request);
