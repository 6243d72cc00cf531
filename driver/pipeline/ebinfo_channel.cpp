// What the channel asks of the erase-block information per request. Before the card's table
// exists every answer is the channel's uniform geometry: every pad of a row holds one page,
// every lane carries data, seeds are 0, and nothing is counted or kept.
#include "driver/pipeline/eb_geometry.h"
#include "driver/pipeline/ebinfo.h"

#include "driver/pipeline/ebinfo_internal.h"
#include "driver/platform/kassert.h"

using namespace ebinfo_detail;

ULONG64 ebinfo_row_capacity(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (ebinfo_table(channel) == nullptr) {
        return (ULONG64)channel->geometry.pads * channel->geometry.page_size;
    }
    return ebinfo_eb_capacity(channel, eb);
}

ULONG ebinfo_segment_capacity(nand_dev* channel, USHORT eb, ULONG bank) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (ebinfo_table(channel) == nullptr) {
        return channel->geometry.page_size;
    }
    const eb_info* info = ebinfo_get(channel, eb);
    return info != nullptr && bank < EB_MAX_BANKS ? info->banks[bank].usable_bytes : 0;
}

ULONG ebinfo_lane_mask(nand_dev* channel, USHORT eb, ULONG bank) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (ebinfo_table(channel) == nullptr) {
        return 0xFFFFFFFFu;
    }
    const eb_info* info = ebinfo_get(channel, eb);
    return info != nullptr && bank < EB_MAX_BANKS ? info->banks[bank].effective_mask : 0;
}

USHORT ebinfo_seed(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const eb_info* info = ebinfo_get(channel, eb);
    return info != nullptr ? info->seed : 0;
}

CHAR ebinfo_condition(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const eb_info* info = ebinfo_get(channel, eb);
    return info != nullptr ? info->condition : (CHAR)EB_COND_UNKNOWN;
}

void ebinfo_set_flags(nand_dev* channel, USHORT eb, ULONG bits) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_info* info = ebinfo_get(channel, eb);
    if (info != nullptr) {
        InterlockedOr(&info->flags, (LONG)bits);
    }
}

bool ebinfo_count_reads(nand_dev* channel, USHORT eb, ULONG reads, ULONG64* out_count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_info* info = ebinfo_get(channel, eb);
    if (info == nullptr) {
        return false;
    }
    *out_count = (ULONG64)(InterlockedExchangeAdd64(&info->read_count, reads) + reads);
    return true;
}

UCHAR ebinfo_error_snapshot(nand_dev* channel, USHORT eb, ULONG counters[EB_PAD_WORDS]) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ebinfo_get_error_bitmap(channel, eb, counters);
    const eb_info* info = ebinfo_get(channel, eb);
    return info != nullptr ? info->mel_mark : EB_MEL_NONE;
}

void ebinfo_erase_completed(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ebinfo_raise_condition(channel, eb, EB_COND_BLANK);
    ebinfo_note_erase(channel, eb);
    eb_read_levels_update(channel, eb);
}
