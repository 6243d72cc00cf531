// Capacities and positions: rows and whole blocks, the stride limit, and the operations that
// turn byte offsets of a block into packed segment addresses and pads.
#include "driver/pipeline/ebinfo.h"

#include "driver/pipeline/ebinfo_internal.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

using namespace ebinfo_detail;

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
