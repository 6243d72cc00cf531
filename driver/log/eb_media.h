// The erase-block level media operations of the store, each a hardware request of the channel:
// reading an erase block's header back (with its retry pass and blank detection), checking
// whether a segment is still erased, programming whole segments, and filling the unwritten tail
// of a block with fill programs.
//
// Segments are numbered as in the erase-block information: segment s is bank s mod banks of row
// s / banks, and holds that bank's usable bytes of the row.
#pragma once

#include "driver/platform/os.h"

struct nand_dev;

// Fill programs cover at most this many segments each.
constexpr ULONG EB_FILL_RUN_SEGMENTS = 1024;

// The byte offset of a segment in its block and its usable length (0: no such segment).
ULONG64 eb_segment_offset(nand_dev* channel, USHORT eb, ULONG segment);
ULONG eb_segment_length(nand_dev* channel, USHORT eb, ULONG segment);

// Bytes of the buffers eb_header_read takes: one packet per data pad, and the confirm read's
// first packet plus one chunk.
ULONG eb_header_pads_buffer_size(nand_dev* channel);
ULONG eb_header_confirm_size(nand_dev* channel);

// Reads the header of `eb` back and takes it into the block's record. 0 when a header was
// chosen (the block's condition goes to at least 1); -KPAV_ENOENT when the block is blank (header
// flag 2, condition 9); -KPAV_EIO when neither pass chose a header (header flag 1); another read
// error as the read gave it (header flag 1). `pads` holds eb_header_pads_buffer_size bytes,
// `confirm` eb_header_confirm_size. PASSIVE_LEVEL.
int eb_header_read(nand_dev* channel, USHORT eb, UCHAR* pads, UCHAR* confirm);

// One pad's first packet as a header candidate for `eb`: 0 with the decoded header; -KPAV_ENOENT
// for erased media; -KPAV_EINVAL for a header that does not decode or names another block or chunk
// size.
struct eb_header;
int eb_header_candidate(nand_dev* channel, USHORT eb, const UCHAR* slot, eb_header* out);

// 1 when the segment reads as erased, else the check read's status (0: written).
int media_page_check_read(nand_dev* channel, USHORT eb, ULONG segment);
// Programs `count` whole segments from `first` with the bytes of `data` (their usable lengths
// one after the other): 0 or the first failure.
int eb_program_segments(nand_dev* channel, USHORT eb, ULONG first, ULONG count, const UCHAR* data);
// One fill program over `count` segments from `first`: the request's status, -KPAV_ENOMEM without
// one.
int request_fill_pages_sync(nand_dev* channel, USHORT eb, ULONG first, ULONG count);
// Fills the segments of `eb` behind its last written one up to the limit (the whole block, or
// the card's fill rows), in runs of EB_FILL_RUN_SEGMENTS. Segments whose check read fails are
// not taken for the tail: only a segment that reads as erased starts it. 0 or the first fill
// failure.
int eb_fill_unwritten_tail(nand_dev* channel, USHORT eb, bool whole);
