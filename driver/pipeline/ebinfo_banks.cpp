// The banks of an erase block: which pads hold data and parity, and what one segment carries.
#include "driver/pipeline/ebinfo.h"

#include "driver/pipeline/ebinfo_internal.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

using namespace ebinfo_detail;

namespace {

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

}  // namespace

void ebinfo_detail::restore_saved_masks(nand_dev* channel, USHORT eb, eb_info* info, ULONG banks) {
    for (ULONG b = 0; b < banks; b++) {
        info->banks[b].raw_mask = info->banks[b].saved_mask;
        ebinfo_recompute_bank(channel, eb, b);
    }
}

LONG mask_select_bit(ULONG enable, ULONG index, ULONG mask, ULONG seed) {
    UNREFERENCED_PARAMETER(index);
    if (enable == 0 || mask == 0) {
        return -1;
    }
    ULONG n = popcount32(mask);
    return nth_set_bit(mask, n - (seed % n));
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
