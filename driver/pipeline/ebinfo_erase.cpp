// Erase bookkeeping: conditions, header seeds, erases and preparations with their history, and
// the erased list that the log takes new blocks from.
#include "driver/pipeline/ebinfo.h"

#include "driver/pipeline/ebinfo_internal.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

using namespace ebinfo_detail;


void ebinfo_detail::tell_client_erased(nand_dev* channel, USHORT eb) {
    channel_client_ops(channel)->eb_erased(channel, eb);
}

void ebinfo_raise_condition(nand_dev* channel, USHORT eb, CHAR condition) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_info* info = ebinfo_get(channel, eb);
    if (info != nullptr && (condition > info->condition || info->condition == EB_COND_BLANK)) {
        info->condition = condition;
    }
}

USHORT ebinfo_next_seed(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    if (table == nullptr || table->geometry.randomizer_off || ReadNoFence(&eb_headers_plain) != 0) {
        return 0;
    }
    for (;;) {
        table->random[0] = table->random[0] * 69069u + 123u;
        ULONG y = table->random[1];
        y ^= y << 13;
        y ^= y >> 17;
        y ^= y << 5;
        table->random[1] = y;
        ULONG result = ((table->random[0] & 0xFFFF) + y) & 0x7FFF;
        if (result >= 1 && result <= 32766) {
            return (USHORT)result;
        }
    }
}

void ebinfo_note_erase(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    eb_info* info = record_of(table, eb);
    if (info == nullptr) {
        return;
    }
    InterlockedIncrement(&table->erase_counter);
    table->erased_total += ebinfo_eb_cached_capacity(channel, eb);
    info->seed = 0;
    info->header_state = table->geometry.erased_state ? EB_HEADER_ERASED : EB_HEADER_NONE;
    InterlockedIncrement(&info->erase_count);
    info->erase_time = ebinfo_unix_seconds();
    history_append(table, eb, 1, info->erase_time);
    RtlZeroMemory(info->bank_words, sizeof(info->bank_words));
    info->last_written_segment = EB_NONE;
    info->header_flags &= (UCHAR)~EB_HFLAG_READ_FAILED;
    tell_client_erased(channel, eb);
    info->scanned_records = 0;
    RtlZeroMemory(info->retired_pads, sizeof(info->retired_pads));
    InterlockedExchange64(&info->read_count, 0);
}

void ebinfo_prepare_erased(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    eb_info* info = record_of(table, eb);
    if (info == nullptr) {
        return;
    }
    if (info->condition == EB_COND_REERASE) {
        ebinfo_note_erase(channel, eb);
        ebinfo_raise_condition(channel, eb, EB_COND_BLANK);
    }
    for (ULONG i = 0; i < EB_PAD_INDEXES; i++) {
        info->detail[i] = 0xFFFF;
    }
    info->seed = ebinfo_next_seed(channel);
    info->header_state = table->geometry.erased_state ? EB_HEADER_ERASED : EB_HEADER_NONE;
    info->header_flags &= (UCHAR)~EB_HFLAG_BLANK;
    clear_error_state(table, info);
    if (info->mel_mark == EB_MEL_NONE && (info->flags & EB_FLAG_RELAXED_SPLIT) == 0) {
        InterlockedOr(&info->flags, EB_FLAG_RELAXED_SPLIT);
    }
    restore_saved_masks(channel, eb, info, bank_count(table));
    info->erase_time = ebinfo_unix_seconds();
    tell_client_erased(channel, eb);
    history_append(table, eb, 0, info->erase_time);
}

void ebinfo_erased_list_add(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    eb_info* info = record_of(table, eb);
    if (info == nullptr || info->erased_prev != EB_NONE || info->erased_next != EB_NONE || table->erased_head == eb) {
        return;
    }
    table->erased_count++;
    table->erased_list_capacity += ebinfo_eb_cached_capacity(channel, eb);
    // Before the first member that is strictly more worn: ties go behind.
    USHORT after = EB_NONE;
    USHORT at = table->erased_head;
    while (at != EB_NONE && table->info[at].erase_count <= info->erase_count) {
        after = at;
        at = table->info[at].erased_next;
    }
    info->erased_prev = after;
    info->erased_next = at;
    if (after == EB_NONE) {
        table->erased_head = eb;
    } else {
        table->info[after].erased_next = eb;
    }
    if (at == EB_NONE) {
        table->erased_tail = eb;
    } else {
        table->info[at].erased_prev = eb;
    }
}

int ebinfo_pick_erased_eb(nand_dev* channel, USHORT* out_eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    if (table == nullptr || table->erased_head == EB_NONE) {
        return -KPAV_ENOSPC;
    }
    USHORT chosen = table->erased_head;
    if (table->info[chosen].erased_next != EB_NONE) {
        // Spread the pick over the run of least-worn members.
        LONG least = table->info[chosen].erase_count;
        ULONG64 run = 0;
        for (USHORT at = chosen; at != EB_NONE && table->info[at].erase_count <= least; at = table->info[at].erased_next) {
            run++;
        }
        ULONG64 clock = table->pick_clock();
        ULONG64 steps = clock * 100 / 1000 % run;
        for (; steps != 0; steps--) {
            chosen = table->info[chosen].erased_next;
        }
    }
    eb_info* info = &table->info[chosen];
    if (info->erased_prev == EB_NONE) {
        table->erased_head = info->erased_next;
    } else {
        table->info[info->erased_prev].erased_next = info->erased_next;
    }
    if (info->erased_next == EB_NONE) {
        table->erased_tail = info->erased_prev;
    } else {
        table->info[info->erased_next].erased_prev = info->erased_prev;
    }
    info->erased_prev = EB_NONE;
    info->erased_next = EB_NONE;
    ULONG64 capacity = ebinfo_eb_cached_capacity(channel, chosen);
    table->erased_list_capacity = table->erased_list_capacity > capacity ? table->erased_list_capacity - capacity : 0;
    table->erased_count--;
    *out_eb = chosen;
    return 0;
}
