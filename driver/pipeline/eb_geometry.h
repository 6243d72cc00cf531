// Erase-block geometry as the pipeline and its issue handlers read it: the erase-block
// information when it is there, else the channel's uniform geometry (every pad of every row
// holds one page). A byte offset of an erase block runs row by row, and within a row pad by pad.
#pragma once

#include "driver/platform/os.h"

struct nand_dev;

ULONG64 eb_row_capacity(nand_dev* channel, USHORT eb);
ULONG eb_pad_capacity(nand_dev* channel, USHORT eb, ULONG pad);
ULONG eb_pad_read_level(nand_dev* channel, USHORT eb, ULONG pad);
// The store tells the read levels that a block's erase count, write time or condition changed,
// and asks for the refresh of the dies' default levels.
void eb_read_levels_update(nand_dev* channel, USHORT eb);
void eb_read_levels_refresh(nand_dev* channel);
// Bytes an erase block holds: its rows x its row capacity.
ULONG64 eb_usable_length(nand_dev* channel, USHORT eb);

// A byte offset of an erase block as row, pad and offset within that pad's part of the row.
struct eb_place {
    ULONG64 row;
    ULONG pad;
    ULONG64 in_pad;
    ULONG64 pad_capacity;
};
// False when the offset lies at or past the block's end (or the block holds nothing).
bool eb_locate(nand_dev* channel, USHORT eb, ULONG64 offset, eb_place* place);
// The offset of page `page` (row x pads + pad) of the block.
ULONG64 eb_page_offset(nand_dev* channel, USHORT eb, ULONG page);
