#include "driver/pipeline/ebinfo.h"

#include "driver/pipeline/ebinfo_services.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"
#include "driver/platform/steps.h"

volatile LONG eb_headers_plain = 0;

namespace {

constexpr ULONG64 UNIX_EPOCH_SECONDS_SINCE_1601 = 11644473600ull;

ULONG popcount32(ULONG v) {
    ULONG n = 0;
    for (; v != 0; v &= v - 1) {
        n++;
    }
    return n;
}

// The position of the k-th set bit of `mask` (k from 1), -1 when it has fewer.
LONG nth_set_bit(ULONG mask, ULONG k) {
    for (LONG bit = 0; bit < 32; bit++) {
        if (((mask >> bit) & 1) != 0 && --k == 0) {
            return bit;
        }
    }
    return -1;
}

ULONG64 system_pick_clock() {
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    return (ULONG64)ticks.QuadPart * KeQueryTimeIncrement();
}

eb_info* record_of(eb_table* table, USHORT eb) {
    if (table == nullptr || table->info == nullptr || eb >= table->count) {
        return nullptr;
    }
    return &table->info[eb];
}

void history_append(eb_table* table, USHORT eb, UCHAR kind, ULONG time) {
    if (table->history == nullptr || table->history_size == 0) {
        return;
    }
    ULONG slot = (ULONG)InterlockedIncrement(&table->history_next) % table->history_size;
    table->history[slot].eb = eb;
    table->history[slot].kind = kind;
    table->history[slot].time = time;
}

void tell_log(eb_table* table, USHORT eb) {
    if (table->erase_notice != nullptr) {
        table->erase_notice(table->erase_context, eb);
    }
}

void clear_error_state(eb_table* table, eb_info* info) {
    kpav_spin_lock(&table->lock);
    RtlZeroMemory(info->error_level, sizeof(info->error_level));
    RtlZeroMemory(info->error_bitmap, sizeof(info->error_bitmap));
    RtlZeroMemory(info->bank_failed, sizeof(info->bank_failed));
    kpav_spin_unlock(&table->lock);
}

void clear_capacity_slots(eb_table* table, USHORT eb) {
    if (table->capacity_cache != nullptr && eb < table->count) {
        table->capacity_cache[eb].capacity = 0;
        table->capacity_cache[eb].stride_limit = 0;
    }
}

// The first B below `start` (stepping down one raw codeword at a time) that is larger than one
// codeword and a multiple of `multiple`; 0 when none.
ULONG step_down(ULONG64 start, ULONG codeword, ULONG multiple) {
    if (codeword == 0) {
        return 0;
    }
    ULONG64 value = start / codeword * codeword;
    for (; value > codeword; value -= codeword) {
        if (multiple == 0 || value % multiple == 0) {
            return (ULONG)value;
        }
    }
    return 0;
}

// Copies the saved mask of every bank into the raw mask and recomputes it.
void restore_saved_masks(nand_dev* channel, USHORT eb, eb_info* info, ULONG banks) {
    for (ULONG b = 0; b < banks; b++) {
        info->banks[b].raw_mask = info->banks[b].saved_mask;
        ebinfo_recompute_bank(channel, eb, b);
    }
}

ULONG bank_count(const eb_table* table) {
    return table->geometry.banks < EB_MAX_BANKS ? table->geometry.banks : EB_MAX_BANKS;
}

// Start steps.
int step_alloc_table(void* context) {
    nand_dev* channel = (nand_dev*)context;
    eb_table* table = channel->ebinfo;
    table->info = (eb_info*)kpav_zalloc((size_t)table->count * sizeof(eb_info), KPAV_TAG_VML);
    if (table->info == nullptr && table->count != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Failed to initialize EB info\n", nand_dev_name(channel));
        return -KPAV_ENOMEM;
    }
    table->history = (eb_history_entry*)kpav_zalloc(EB_HISTORY_ENTRIES * sizeof(eb_history_entry), KPAV_TAG_VML);
    if (table->history == nullptr) {
        kpav_free(table->info, KPAV_TAG_VML);
        table->info = nullptr;
        kpav_print(KPAV_CLASS_ERROR, "%s: Failed to initialize EB info\n", nand_dev_name(channel));
        return -KPAV_ENOMEM;
    }
    table->history_size = EB_HISTORY_ENTRIES;
    table->history_next = -1;
    ULONG now = ebinfo_unix_seconds();
    for (ULONG eb = 0; eb < table->count; eb++) {
        eb_info* info = &table->info[eb];
        for (ULONG i = 0; i < EB_PAD_INDEXES; i++) {
            info->detail[i] = 0xFFFF;
        }
        info->last_written_segment = EB_NONE;
        info->erased_prev = EB_NONE;
        info->erased_next = EB_NONE;
        for (ULONG b = 0; b < EB_MAX_BANKS; b++) {
            info->banks[b].marker = -1;
            info->banks[b].parity_pad = -1;
        }
        info->erase_time = now - 3600;
        info->header_state = table->geometry.erased_state ? EB_HEADER_ERASED : EB_HEADER_NONE;
    }
    return 0;
}

void undo_alloc_table(void* context) {
    eb_table* table = ((nand_dev*)context)->ebinfo;
    kpav_free(table->history, KPAV_TAG_VML);
    kpav_free(table->info, KPAV_TAG_VML);
    table->history = nullptr;
    table->info = nullptr;
}

int step_alloc_cache(void* context) {
    nand_dev* channel = (nand_dev*)context;
    eb_table* table = channel->ebinfo;
    table->capacity_cache =
        (eb_capacity_slot*)kpav_zalloc((size_t)(table->count + 1) * sizeof(eb_capacity_slot), KPAV_TAG_VML);
    if (table->capacity_cache == nullptr) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Failed to initialize EB cache\n", nand_dev_name(channel));
        return -KPAV_ENOMEM;
    }
    return 0;
}

void undo_alloc_cache(void* context) {
    eb_table* table = ((nand_dev*)context)->ebinfo;
    kpav_free(table->capacity_cache, KPAV_TAG_VML);
    table->capacity_cache = nullptr;
}

int step_services(void*) {
    ebinfo_services_hold();
    return 0;
}

void undo_services(void*) {
    ebinfo_services_release();
}

const kpav_step ebinfo_steps[] = {
    {"erase-block records", step_alloc_table, undo_alloc_table},
    {"capacity cache", step_alloc_cache, undo_alloc_cache},
    {"erase-block services", step_services, undo_services},
};

}  // namespace

eb_table* ebinfo_table(const nand_dev* channel) {
    return channel != nullptr ? channel->ebinfo : nullptr;
}

eb_info* ebinfo_get(const nand_dev* channel, USHORT eb) {
    return record_of(ebinfo_table(channel), eb);
}

LONG mask_select_bit(ULONG enable, ULONG index, ULONG mask, ULONG seed) {
    UNREFERENCED_PARAMETER(index);
    if (enable == 0 || mask == 0) {
        return -1;
    }
    ULONG n = popcount32(mask);
    return nth_set_bit(mask, n - (seed % n));
}

ULONG ebinfo_unix_seconds() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    ULONG64 seconds = (ULONG64)now.QuadPart / 10000000ull;
    return seconds > UNIX_EPOCH_SECONDS_SINCE_1601 ? (ULONG)(seconds - UNIX_EPOCH_SECONDS_SINCE_1601) : 0;
}

const char* nand_dev_name(const nand_dev* channel) {
    return channel_name(channel);
}

int ebinfo_init(nand_dev* channel, const store_geometry* geometry) {
    PAGED_CODE();
    eb_table* table = (eb_table*)kpav_zalloc(sizeof(eb_table), KPAV_TAG_VML);
    if (table == nullptr) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Failed to initialize EB info\n", nand_dev_name(channel));
        return -KPAV_ENOMEM;
    }
    table->channel = channel;
    table->geometry = *geometry;
    table->count = geometry->eb_count > 65535 ? 65535 : geometry->eb_count;
    kpav_state_init(&table->device_state, EB_DEVICE_READY);
    kpav_spinlock_init(&table->lock);
    table->erased_head = EB_NONE;
    table->erased_tail = EB_NONE;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    ULONG64 seconds = (ULONG64)now.QuadPart / 10000000ull - UNIX_EPOCH_SECONDS_SINCE_1601;
    table->random[0] = (ULONG)seconds;
    table->random[1] = (ULONG)(seconds >> 32) != 0 ? (ULONG)(seconds >> 32) : 362436069u;
    if (geometry->randomizer_off) {
        InterlockedExchange(&eb_headers_plain, 1);
    }
    channel->ebinfo = table;
    int rc = kpav_steps_run(&table->start, ebinfo_steps, ARRAYSIZE(ebinfo_steps), channel, nand_dev_name(channel));
    if (rc != 0) {
        channel->ebinfo = nullptr;
        kpav_free(table, KPAV_TAG_VML);
        return rc;
    }
    // The erase-block map is loaded by its own code at bring-up; until it exists no block
    // carries a map mark.
    return 0;
}

void ebinfo_exit(nand_dev* channel) {
    PAGED_CODE();
    eb_table* table = ebinfo_table(channel);
    if (table == nullptr) {
        return;
    }
    kpav_steps_undo(&table->start, channel);
    kpav_state_change(&table->device_state, EB_DEVICE_GONE, 0);
    channel->ebinfo = nullptr;
    kpav_free(table, KPAV_TAG_VML);
}

namespace {

void stop_notify(nand_dev* channel, bool flagged) {
    eb_table* table = ebinfo_table(channel);
    if (table != nullptr) {
        kpav_state_change(&table->device_state, EB_DEVICE_STOPPING, 0);
    }
    const nand_dev_client_ops* ops = channel_client_ops(channel);
    if (ops != nullptr) {
        auto stop = flagged ? ops->flagged_stop : ops->stop;
        if (stop != nullptr) {
            stop(channel);
        }
    }
}

}  // namespace

void nand_dev_stop_notify(nand_dev* channel) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    stop_notify(channel, false);
}

void nand_dev_stop_notify_flagged(nand_dev* channel) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    stop_notify(channel, true);
}

int ebinfo_count_usable_pads(nand_dev* channel, ULONG* out_percent) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    if (table == nullptr || table->info == nullptr || table->count == 0 || table->geometry.total_pads == 0 ||
        table->geometry.banks == 0) {
        return -KPAV_ENOENT;
    }
    const store_geometry& g = table->geometry;
    ULONG reserve = g.reserve_share > 10000 ? 10000 : g.reserve_share;
    // Products of up to 65535 blocks x 30 pads x 8 banks x 10000 need 64 bits.
    ULONG64 denominator = (ULONG64)(10000 - reserve) * table->count * g.total_pads * g.banks / 10000;
    if (denominator == 0) {
        return -KPAV_ENOENT;
    }
    if (out_percent != nullptr) {
        ULONG64 pads = 0;
        for (ULONG eb = 0; eb < table->count; eb++) {
            const eb_info* info = &table->info[eb];
            if (info->mel_mark == EB_MEL_MAPPED_OUT) {
                continue;
            }
            for (ULONG b = 0; b < bank_count(table); b++) {
                pads += popcount32(info->banks[b].saved_mask);
            }
        }
        ULONG64 percent = pads * 100 / denominator;
        *out_percent = percent > 100 ? 100 : (ULONG)percent;
    }
    return 0;
}

void ebinfo_record_pad_error(nand_dev* channel, USHORT eb, ULONG pad_index, UCHAR level) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    eb_info* info = record_of(table, eb);
    const store_geometry& g = table != nullptr ? table->geometry : store_geometry{};
    if (info == nullptr || pad_index >= EB_PAD_INDEXES || g.planes == 0 || g.total_pads == 0) {
        return;
    }
    ULONG bank = pad_index / (g.planes * g.total_pads);
    ULONG pad = pad_index % g.total_pads;
    kpav_spin_lock(&table->lock);
    if (level > info->error_level[pad_index]) {
        info->error_level[pad_index] = level;
    }
    info->error_bitmap[pad_index / 32] |= 1u << (pad_index % 32);
    if (bank < EB_MAX_BANKS && pad < EB_MAX_PADS && table->pad_errors[bank][pad] != 255) {
        table->pad_errors[bank][pad]++;
    }
    kpav_spin_unlock(&table->lock);
}

void ebinfo_mark_failed_banks(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    eb_info* info = record_of(table, eb);
    if (info == nullptr) {
        return;
    }
    const store_geometry& g = table->geometry;
    for (ULONG b = 0; b < bank_count(table); b++) {
        if (info->bank_failed[b] == 0) {
            continue;
        }
        for (ULONG plane = 0; plane < g.planes; plane++) {
            for (ULONG pad = 0; pad < g.total_pads; pad++) {
                ebinfo_record_pad_error(channel, eb, (b * g.planes + plane) * g.total_pads + pad, EB_BANK_FAILED_LEVEL);
            }
        }
    }
}

void ebinfo_take_pad_error_counts(nand_dev* channel, UCHAR* out240) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    if (table == nullptr) {
        return;
    }
    kpav_spin_lock(&table->lock);
    if (out240 != nullptr) {
        RtlCopyMemory(out240, table->pad_errors, sizeof(table->pad_errors));
    }
    RtlZeroMemory(table->pad_errors, sizeof(table->pad_errors));
    kpav_spin_unlock(&table->lock);
}

void ebinfo_get_error_bitmap(nand_dev* channel, USHORT eb, ULONG out[EB_PAD_WORDS]) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    eb_info* info = record_of(table, eb);
    if (info == nullptr) {
        RtlZeroMemory(out, EB_PAD_WORDS * sizeof(ULONG));
        return;
    }
    kpav_spin_lock(&table->lock);
    RtlCopyMemory(out, info->error_bitmap, sizeof(info->error_bitmap));
    kpav_spin_unlock(&table->lock);
}

void ebinfo_merge_pad_mask(nand_dev* channel, USHORT eb, const ULONG words[EB_PAD_WORDS]) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_info* info = ebinfo_get(channel, eb);
    if (info == nullptr) {
        return;
    }
    for (ULONG i = 0; i < EB_PAD_WORDS; i++) {
        info->retired_pads[i] |= words[i];
    }
}

void ebinfo_recompute_bank(nand_dev* channel, USHORT eb, ULONG b) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    eb_info* info = record_of(table, eb);
    if (info == nullptr || b >= EB_MAX_BANKS) {
        return;
    }
    const store_geometry& g = table->geometry;
    eb_bank* bank = &info->banks[b];
    ULONG raw = bank->raw_mask;
    bank->parity_pad = g.parity_pad ? mask_select_bit(1, b, raw, info->seed) : -1;
    if (g.parity_pad) {
        bank->effective_mask = bank->parity_pad >= 0 ? raw & ~(1u << bank->parity_pad) : raw;
    } else {
        ULONG data = g.data_pads >= 32 ? 0xFFFFFFFFu : (1u << g.data_pads) - 1;
        bank->effective_mask = raw & data;
    }
    bank->usable_pads = popcount32(bank->effective_mask);
    bank->marker = -1;
    ULONG per_pad = g.packet_size_raw != 0 ? g.raw_page_size / g.packet_size_raw * g.packet_size_raw : 0;
    ULONG64 r = (ULONG64)bank->usable_pads * per_pad;
    ULONG raw_bytes;
    if (g.planes <= 1) {
        raw_bytes = step_down(r, g.codeword_raw, g.alignment);
        bank->plane_part[0] = raw_bytes;
        bank->plane_part[1] = 0;
    } else {
        bool relaxed = (info->flags & EB_FLAG_RELAXED_SPLIT) != 0;
        raw_bytes = step_down(2 * r, g.codeword_raw, relaxed ? g.alignment : g.planes * g.alignment);
        if (relaxed && g.alignment != 0) {
            bank->plane_part[0] = raw_bytes / g.planes / g.alignment * g.alignment;
        } else {
            bank->plane_part[0] = raw_bytes / g.planes;
        }
        bank->plane_part[1] = raw_bytes - bank->plane_part[0];
    }
    bank->raw_bytes = raw_bytes;
    bank->usable_bytes = g.codeword_raw != 0 ? raw_bytes / g.codeword_raw * g.ecc_chunk_size : 0;
    clear_capacity_slots(table, eb);
}

void ebinfo_recompute_eb(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    eb_info* info = record_of(table, eb);
    if (info == nullptr) {
        return;
    }
    kpav_spin_lock(&table->lock);
    RtlZeroMemory(info->error_level, sizeof(info->error_level));
    kpav_spin_unlock(&table->lock);
    restore_saved_masks(channel, eb, info, bank_count(table));
}

void ebinfo_reset_eb(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    eb_info* info = record_of(table, eb);
    if (info == nullptr) {
        return;
    }
    const store_geometry& g = table->geometry;
    clear_capacity_slots(table, eb);
    info->mel_mark = EB_MEL_NONE;
    info->header_flags = 0;
    info->seed = 0;
    info->header_state = g.erased_state ? EB_HEADER_ERASED : EB_HEADER_NONE;
    ULONG all = g.total_pads >= 32 ? 0xFFFFFFFFu : (1u << g.total_pads) - 1;
    for (ULONG b = 0; b < bank_count(table); b++) {
        info->banks[b].raw_mask = all;
        info->banks[b].saved_mask = all;
        ebinfo_recompute_bank(channel, eb, b);
    }
}

int ebinfo_check_usable_pads(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    eb_info* info = record_of(table, eb);
    if (info == nullptr) {
        return -KPAV_EINVAL;
    }
    for (ULONG b = 0; b < bank_count(table); b++) {
        if (popcount32(info->banks[b].saved_mask) <= table->geometry.min_usable_pads) {
            return -KPAV_ENOSPC;
        }
    }
    return 0;
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
    tell_log(table, eb);
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
    tell_log(table, eb);
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
        ULONG64 clock = table->pick_clock != nullptr ? table->pick_clock() : system_pick_clock();
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

namespace {

// Sum over the block's banks of their usable (or raw) bytes per segment: one row.
ULONG64 row_bytes(nand_dev* channel, USHORT eb, bool raw) {
    eb_table* table = ebinfo_table(channel);
    const eb_info* info = record_of(table, eb);
    if (info == nullptr) {
        return 0;
    }
    ULONG64 sum = 0;
    for (ULONG b = 0; b < bank_count(table); b++) {
        sum += raw ? info->banks[b].raw_bytes : info->banks[b].usable_bytes;
    }
    return sum;
}

}  // namespace

ULONG64 ebinfo_eb_capacity(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return row_bytes(channel, eb, false);
}

ULONG64 ebinfo_eb_base_capacity(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return row_bytes(channel, eb, true);
}

ULONG64 ebinfo_eb_cached_capacity(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    if (record_of(table, eb) == nullptr || table->capacity_cache == nullptr) {
        return 0;
    }
    eb_capacity_slot* slot = &table->capacity_cache[eb];
    if (slot->capacity == 0 && table->geometry.banks != 0) {
        slot->capacity = (ULONG64)(table->geometry.segments_per_eb / table->geometry.banks) * ebinfo_eb_capacity(channel, eb);
    }
    return slot->capacity;
}

ULONG64 ebinfo_stride_limit(nand_dev* channel, USHORT eb, const eb_layout* layout) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    if (record_of(table, eb) == nullptr || layout == nullptr) {
        return 0;
    }
    bool own = layout == &table->layout && table->capacity_cache != nullptr;
    if (own && table->capacity_cache[eb].stride_limit != 0) {
        return table->capacity_cache[eb].stride_limit;
    }
    ULONG64 capacity = ebinfo_eb_cached_capacity(channel, eb);
    ULONG64 reserved = (ULONG64)layout->end_reserve + layout->data_start;
    // A block smaller than its reserves holds no record: its limit is the data start.
    ULONG64 room = capacity > reserved ? capacity - reserved : 0;
    ULONG64 limit = layout->stride != 0 ? room / layout->stride * layout->stride + layout->data_start : layout->data_start;
    if (own) {
        table->capacity_cache[eb].stride_limit = limit;
    }
    return limit;
}

ULONG ebinfo_pad_page_count(nand_dev* channel, USHORT eb, ULONG b, bool rest) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    const eb_info* info = record_of(table, eb);
    if (info == nullptr || b >= EB_MAX_BANKS || table->geometry.codeword_raw == 0) {
        return 0;
    }
    const store_geometry& g = table->geometry;
    ULONG part = info->banks[b].plane_part[0];
    ULONG c = part / g.codeword_raw;
    ULONG r = part % g.codeword_raw;
    ULONG usable = c * g.ecc_chunk_size + (r < g.ecc_chunk_size ? r : g.ecc_chunk_size);
    if (!rest) {
        return usable;
    }
    return info->banks[b].usable_bytes > usable ? info->banks[b].usable_bytes - usable : 0;
}

LONG64 ebinfo_offset_to_pad(nand_dev* channel, USHORT eb, ULONG64 offset, ULONG64* out_address) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    const eb_info* info = record_of(table, eb);
    ULONG64 row_capacity = ebinfo_eb_capacity(channel, eb);
    if (info == nullptr || row_capacity == 0) {
        return -KPAV_EINVAL;  // a block with no usable pad holds no byte
    }
    ULONG banks = bank_count(table);
    ULONG64 rows = offset / row_capacity;
    ULONG64 rest = offset % row_capacity;
    ULONG64 segment = rows * banks;
    ULONG b = 0;
    while (b + 1 < banks && rest >= info->banks[b].usable_bytes) {
        rest -= info->banks[b].usable_bytes;
        b++;
        segment++;
    }
    if (segment >= table->geometry.segments_per_eb) {
        return -KPAV_EINVAL;
    }
    *out_address = eb_addr_pack(eb, (ULONG)segment, (ULONG)rest);
    return info->banks[b].usable_bytes;
}

ULONG64 ebinfo_capacity_to_pad(nand_dev* channel, USHORT eb, ULONG segment) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    const eb_info* info = record_of(table, eb);
    if (info == nullptr || table->geometry.banks == 0) {
        return 0;
    }
    ULONG banks = bank_count(table);
    ULONG64 capacity = (ULONG64)(segment / banks) * ebinfo_eb_capacity(channel, eb);
    for (ULONG b = 0; b < segment % banks; b++) {
        capacity += info->banks[b].usable_bytes;
    }
    return capacity;
}

ULONG64 ebinfo_addr_to_offset(nand_dev* channel, ULONG64 address, ULONG* out_length) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    USHORT eb = eb_addr_eb(address);
    eb_table* table = ebinfo_table(channel);
    const eb_info* info = record_of(table, eb);
    if (eb == EB_NONE || info == nullptr || table->geometry.banks == 0) {
        if (out_length != nullptr) {
            *out_length = 0;
        }
        return 0;
    }
    ULONG segment = eb_addr_segment(address);
    if (out_length != nullptr) {
        *out_length = info->banks[segment % bank_count(table)].usable_bytes;
    }
    return ebinfo_capacity_to_pad(channel, eb, segment) + eb_addr_offset(address);
}

int ebinfo_addr_advance(nand_dev* channel, ULONG64* address, ULONG64 n) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    USHORT eb = eb_addr_eb(*address);
    eb_table* table = ebinfo_table(channel);
    const eb_info* info = record_of(table, eb);
    if (info == nullptr || table->geometry.banks == 0) {
        return -KPAV_EINVAL;
    }
    ULONG banks = bank_count(table);
    ULONG segment = eb_addr_segment(*address);
    ULONG64 offset = eb_addr_offset(*address);
    for (;;) {
        if (segment >= table->geometry.segments_per_eb) {
            return -KPAV_EINVAL;
        }
        ULONG raw = info->banks[segment % banks].raw_bytes;
        if (offset + n < raw) {
            offset += n;
            break;
        }
        n -= raw > offset ? raw - offset : 0;
        offset = 0;
        segment++;
        if (n == 0) {
            if (segment >= table->geometry.segments_per_eb) {
                return -KPAV_EINVAL;
            }
            break;
        }
    }
    *address = eb_addr_pack(eb, segment, (ULONG)offset);
    return 0;
}

LONG ebinfo_addr_normalize(nand_dev* channel, ULONG64 address, LONG failed_pad) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    USHORT eb = eb_addr_eb(address);
    eb_table* table = ebinfo_table(channel);
    const eb_info* info = record_of(table, eb);
    if (info == nullptr || table->geometry.banks == 0) {
        return -KPAV_EINVAL;
    }
    const store_geometry& g = table->geometry;
    ULONG banks = bank_count(table);
    ULONG segment = eb_addr_segment(address);
    ULONG64 offset = eb_addr_offset(address);
    // An offset that runs past its segment's raw bytes carries into the following segments.
    for (;;) {
        ULONG raw = info->banks[segment % banks].raw_bytes;
        if (raw == 0 || offset < raw) {
            break;
        }
        offset -= raw;
        segment++;
    }
    ULONG b = segment % banks;
    const eb_bank* bank = &info->banks[b];
    if (bank->usable_pads == 0) {
        return -KPAV_EINVAL;  // a failed bank has no pad to hold the byte
    }
    bool second = g.planes > 1 && offset >= bank->plane_part[0];
    ULONG64 within = second ? offset - bank->plane_part[0] : offset;
    ULONG k = (ULONG)(within % bank->usable_pads);
    LONG pad = nth_set_bit(bank->effective_mask, k + 1);
    if (pad == failed_pad && bank->parity_pad >= 0) {
        pad = bank->parity_pad;
    }
    LONG index = (LONG)(g.total_pads * g.planes * b) + pad;
    return second ? index + (LONG)g.total_pads : index;
}

ULONG64 ebinfo_map_packet_addr(nand_dev* channel, const eb_layout* layout, ULONG64* address, ULONG length) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    USHORT eb = eb_addr_eb(*address);
    ULONG segment_length = 0;
    ULONG64 position = ebinfo_addr_to_offset(channel, *address, &segment_length);
    ULONG64 limit = ebinfo_stride_limit(channel, eb, layout);
    ULONG offset = eb_addr_offset(*address);
    ULONG64 segment_start = position - offset;
    ULONG64 segment_end = segment_start + segment_length;
    if (offset + (ULONG64)length <= segment_length && position + length <= limit) {
        return 0;
    }
    ULONG64 target = segment_end;
    if (limit >= segment_start && limit < segment_end) {
        target = limit;  // the limit's own segment ends at the limit
    }
    if (target < position) {
        target = position;  // never backwards
    }
    ULONG64 skipped = target - position;
    *address = eb_addr_pack(eb, eb_addr_segment(*address), (ULONG)(target - segment_start));
    if (layout != nullptr && layout->stride != 0 && target > layout->data_start) {
        ULONG64 into = (target - layout->data_start) % layout->stride;
        skipped += into != 0 ? layout->stride - into : 0;
    }
    return skipped;
}
