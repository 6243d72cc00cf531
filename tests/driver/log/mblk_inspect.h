// Test-only views into a log's block table, for checks that need more than the interface shows.
#pragma once

#include "driver/log/mblk_table.h"

// Blocks the table holds, retired ones still referenced included.
inline ULONG64 mblk_blocks_in_use(const pav_log* log) {
    return log->mblks->blocks_in_use;
}

// Whether `block` is still linked in the hash chain of `key` (the block itself may be gone).
inline bool mblk_in_chain(const pav_log* log, ULONG64 key, const mblk* block) {
    for (const mblk* b = log->mblks->hash[mblk_hash(key)]; b != nullptr; b = b->hash_next) {
        if (b == block) return true;
    }
    return false;
}

// Records on the driver-wide reserve list, every table's.
inline ULONG64 mblk_reserve_count() {
    return mblk_records.reserve_count;
}

// Releases a block as a for-each callback may, under the table's lock.
inline void mblk_release_locked(pav_log* log, mblk* block) {
    kpav_spin_lock(&log->mblks->lock);
    mblk_release(log, block, true);
    kpav_spin_unlock(&log->mblks->lock);
}
