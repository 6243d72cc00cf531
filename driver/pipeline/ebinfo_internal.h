// What the erase-block information's files share: record lookup, the history ring, the error
// state's reset, the capacity cache and the bank count. Not for use outside the table's files.
#pragma once

#include "driver/pipeline/ebinfo.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/memory.h"
#include "driver/platform/sync.h"

namespace ebinfo_detail {

inline ULONG popcount32(ULONG v) {
    ULONG n = 0;
    for (; v != 0; v &= v - 1) {
        n++;
    }
    return n;
}

// The position of the k-th set bit of `mask` (k from 1), -1 when it has fewer.
inline LONG nth_set_bit(ULONG mask, ULONG k) {
    for (LONG bit = 0; bit < 32; bit++) {
        if (((mask >> bit) & 1) != 0 && --k == 0) {
            return bit;
        }
    }
    return -1;
}

inline eb_info* record_of(eb_table* table, USHORT eb) {
    if (table == nullptr || table->info == nullptr || eb >= table->count) {
        return nullptr;
    }
    return &table->info[eb];
}

inline void history_append(eb_table* table, USHORT eb, UCHAR kind, ULONG time) {
    if (table->history == nullptr || table->history_size == 0) {
        return;
    }
    ULONG slot = (ULONG)InterlockedIncrement(&table->history_next) % table->history_size;
    table->history[slot].eb = eb;
    table->history[slot].kind = kind;
    table->history[slot].time = time;
}

inline void clear_error_state(eb_table* table, eb_info* info) {
    kpav_spin_lock(&table->lock);
    RtlZeroMemory(info->error_level, sizeof(info->error_level));
    RtlZeroMemory(info->error_bitmap, sizeof(info->error_bitmap));
    RtlZeroMemory(info->bank_failed, sizeof(info->bank_failed));
    kpav_spin_unlock(&table->lock);
}

inline void clear_capacity_slots(eb_table* table, USHORT eb) {
    if (table->capacity_cache != nullptr && eb < table->count) {
        table->capacity_cache[eb].capacity = 0;
        table->capacity_cache[eb].stride_limit = 0;
    }
}

inline ULONG bank_count(const eb_table* table) {
    return table->geometry.banks < EB_MAX_BANKS ? table->geometry.banks : EB_MAX_BANKS;
}

// Copies the saved mask of every bank into the raw mask and recomputes it.
void restore_saved_masks(nand_dev* channel, USHORT eb, eb_info* info, ULONG banks);

// The owning log learns of an erase or a preparation through the channel's client.
void tell_client_erased(nand_dev* channel, USHORT eb);

}  // namespace ebinfo_detail
