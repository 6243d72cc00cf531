// Erase-block geometry as the pipeline reads it: the erase-block information when it is there,
// else the channel's uniform geometry (every pad of every row holds one page).

#include "driver/pipeline/pipeline_internal.h"

ULONG64 eb_row_capacity(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return ebinfo_row_capacity(channel, eb);
}

ULONG eb_pad_capacity(nand_dev* channel, USHORT eb, ULONG pad) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (pad >= channel->geometry.pads) {
        return 0;
    }
    return ebinfo_segment_capacity(channel, eb, pad);
}

ULONG eb_pad_read_level(nand_dev* channel, USHORT eb, ULONG pad) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return channel->owner->eb_pad_read_level(channel, eb, pad);
}

void eb_read_levels_update(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    channel->owner->readlevel_eb_update(channel, eb);
}

void eb_read_levels_refresh(nand_dev* channel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    channel->owner->readlevel_refresh_all(channel);
}

ULONG64 eb_usable_length(nand_dev* channel, USHORT eb) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return (ULONG64)channel->geometry.rows_per_eb * eb_row_capacity(channel, eb);
}

bool eb_locate(nand_dev* channel, USHORT eb, ULONG64 offset, eb_place* place) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG64 row_capacity = eb_row_capacity(channel, eb);
    if (row_capacity == 0 || offset >= eb_usable_length(channel, eb)) {
        return false;
    }
    ULONG64 rest = offset % row_capacity;
    for (ULONG pad = 0; pad < channel->geometry.pads; pad++) {
        ULONG capacity = eb_pad_capacity(channel, eb, pad);
        if (rest < capacity) {
            place->row = offset / row_capacity;
            place->pad = pad;
            place->in_pad = rest;
            place->pad_capacity = capacity;
            return true;
        }
        rest -= capacity;
    }
    return false;  // the pads hold less than the row capacity says
}

ULONG64 eb_page_offset(nand_dev* channel, USHORT eb, ULONG page) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG pads = channel->geometry.pads != 0 ? channel->geometry.pads : 1;
    ULONG64 offset = (ULONG64)(page / pads) * eb_row_capacity(channel, eb);
    for (ULONG pad = 0; pad < page % pads; pad++) {
        offset += eb_pad_capacity(channel, eb, pad);
    }
    return offset;
}
