// Pad errors of the erase blocks: error levels and bitmaps, the per-bank pad counters, failed
// banks, retired pads and the share of usable pads.
#include "driver/pipeline/ebinfo.h"

#include "driver/pipeline/ebinfo_internal.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

using namespace ebinfo_detail;

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
