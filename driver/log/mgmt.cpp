#include "driver/log/mgmt.h"

#include "driver/log/log_entry.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"

namespace {

ULONG round_up(ULONG value, ULONG unit) {
    return unit == 0 ? value : (value + unit - 1) / unit * unit;
}

ULONG planes_of(const eb_table* table) {
    ULONG planes = table->geometry.planes;
    return planes == 0 ? 1 : planes > 2 ? 2 : planes;
}

ULONG banks_of(const eb_table* table) {
    return table->geometry.banks < EB_MAX_BANKS ? table->geometry.banks : EB_MAX_BANKS;
}

void map_set(UCHAR* map, ULONG eb, UCHAR state) {
    map[eb / 4] = (UCHAR)((map[eb / 4] & ~(3u << (2 * (eb % 4)))) | (state & 3u) << (2 * (eb % 4)));
}

}  // namespace

ULONG mgmt_region_size(const store_geometry* g) {
    ULONG size = round_up(MGMT_REGION_BYTES, g->ecc_chunk_size);
    ULONG least = g->packet_size + g->ecc_chunk_size;
    if (size < least) {
        size = least;
    }
    return round_up(size, 2 * g->packet_size);
}

UCHAR mgmt_state_map_get(const UCHAR* map, ULONG eb) {
    if (eb >= MGMT_STATE_MAP_BLOCKS) {
        return MGMT_STATE_UNKNOWN;
    }
    return (UCHAR)((map[eb / 4] >> (2 * (eb % 4))) & 3u);
}

ULONG mgmt_state_map_build(nand_dev* channel, UCHAR* map, USHORT eb, mgmt_state_fn state, void* context) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    if (table == nullptr) {
        return 0;
    }
    ULONG blocks = table->count < MGMT_STATE_MAP_BLOCKS ? table->count : MGMT_STATE_MAP_BLOCKS;
    ULONG size = (blocks + 3) / 4;
    RtlZeroMemory(map, size);
    for (ULONG e = 0; e < blocks; e++) {
        UCHAR value;
        if (state != nullptr) {
            value = state(context, (USHORT)e);
        } else if (e == eb) {
            value = MGMT_STATE_WRITTEN;
        } else if (table->info[e].mel_mark != EB_MEL_NONE) {
            value = MGMT_STATE_RETIRED;
        } else {
            value = MGMT_STATE_ERASED;
        }
        map_set(map, e, value);
    }
    return size;
}

namespace {

// The bank-mask words of a block: per bank `planes` words, from its raw and effective masks or
// from its saved mask.
void get_masks(nand_dev* channel, USHORT eb, ULONG words[MGMT_BANK_WORDS], bool saved) {
    RtlZeroMemory(words, MGMT_BANK_WORDS * sizeof(ULONG));
    eb_table* table = ebinfo_table(channel);
    const eb_info* info = ebinfo_get(channel, eb);
    if (info == nullptr) {
        return;
    }
    ULONG planes = planes_of(table);
    for (ULONG b = 0; b < banks_of(table); b++) {
        const eb_bank& bank = info->banks[b];
        words[b * planes] = saved ? bank.saved_mask : bank.raw_mask;
        if (planes > 1) {
            words[b * planes + 1] = saved ? bank.saved_mask : bank.effective_mask;
        }
    }
}

}  // namespace

void eb_get_raw_masks(nand_dev* channel, USHORT eb, ULONG words[MGMT_BANK_WORDS]) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    get_masks(channel, eb, words, false);
}

void eb_get_saved_masks(nand_dev* channel, USHORT eb, ULONG words[MGMT_BANK_WORDS]) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    get_masks(channel, eb, words, true);
}

void eb_set_bank_masks(nand_dev* channel, USHORT eb, const ULONG words[MGMT_BANK_WORDS]) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    eb_info* info = ebinfo_get(channel, eb);
    if (info == nullptr) {
        return;
    }
    ULONG planes = planes_of(table);
    for (ULONG b = 0; b < banks_of(table); b++) {
        info->banks[b].raw_mask = words[b * planes];
        info->banks[b].saved_mask = words[b * planes];
        ebinfo_recompute_bank(channel, eb, b);
    }
}

int mgmt_header_build(nand_dev* channel, UCHAR* buffer, ULONG size, USHORT eb, const eb_layout* layout,
                      mgmt_header** out_record) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    const eb_info* info = ebinfo_get(channel, eb);
    if (size < MGMT_REGION_BYTES) {
        return -KPAV_EINVAL;
    }
    // The head reserve is larger than the opener's buffer: the fill stops at the buffer's end.
    RtlFillMemory(buffer, layout->data_start < size ? layout->data_start : size, MGMT_FILL);
    mgmt_header* record = (mgmt_header*)(buffer + 96);
    RtlZeroMemory(record, sizeof(*record));
    pkt_header_encode((UCHAR*)record, MGMT_OPCODE, mgmt_ebo_number(eb));
    record->one8 = 1;
    record->version = MGMT_VERSION;
    record->data_start = layout->data_start;
    if (info != nullptr) {
        record->eb_flags = (info->flags & EB_FLAG_RELAXED_SPLIT) != 0 ? 2 : 0;
        record->erase_count = (ULONG)info->erase_count;
        record->erase_time = info->erase_time;
        eb_get_raw_masks(channel, eb, record->bank_masks);
    }
    record->identity = table != nullptr ? table->geometry.identity_word : 0;
    record->map_present = 1;
    mgmt_state_map_build(channel, record->state_map, eb, nullptr, nullptr);
    record->one104 = 1;
    record->one168 = 1;
    record->sector_size = layout->sector_size;
    record->end_reserve = layout->end_reserve;
    if (out_record != nullptr) {
        *out_record = record;
    }
    return 0;
}

int eb_note_build(nand_dev* channel, eb_note* note, USHORT eb, UCHAR state) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const eb_info* info = ebinfo_get(channel, eb);
    if (info == nullptr) {
        return -KPAV_ENOENT;
    }
    RtlZeroMemory(note, sizeof(*note));
    pkt_header_encode(note->header, LOG_OP_SYSTEM, SYS_ADDR_EB_NOTE + eb);
    note->erase_count = (ULONG)info->erase_count;
    note->erase_time = info->erase_time;
    note->state = state;
    eb_get_saved_masks(channel, eb, note->saved_masks);
    return 0;
}

void mgmt_log_slot_fill(mgmt_log_slot* slot, const mgmt_header* header) {
    RtlZeroMemory(slot, sizeof(*slot));
    slot->fast_rescan = header->fast_rescan;
    slot->incompatible = header->format_flags & 1;
    slot->sparse = (header->format_flags >> 2) & 1;
    slot->log_id = header->log_id;
    slot->format_sequence = header->format_sequence;
    RtlCopyMemory(slot->volume_id, header->volume_id, sizeof(slot->volume_id));
    slot->sector_size = header->sector_size;
    slot->capacity = header->capacity;
    slot->logical_capacity = header->logical_capacity;
    slot->log_flag0 = header->log_flags & 1;
    slot->log_flag1 = (header->log_flags >> 1) & 1;
}
