// The issue handlers: what each request type writes into the command ring when the issue loop
// takes it. A handler turns its request into NAND programs, transfer commands and DMA
// descriptors for the request's scatter-gather list, accounts the media bytes it writes against
// the open flush record, asks for the completions it will wait on, and for appends writes the
// records that open, index and close erase blocks.
//
// Handlers run under the channel's issue lock and never wait. An error goes into the request
// (REQ_FAILED and its status) and, where the append path says so, fails the channel.
#pragma once

#include "driver/pipeline/nand_dev.h"

struct dma_map;
struct sgl_entry;

// One handler per request type, indexed by request_type.
extern const request_issue_handler request_issue_table[REQUEST_TYPE_COUNT];

// Descriptor forms of the scatter-gather walk.
constexpr ULONG SGL_WALK_CONTROL = 0;  // control-window descriptors: host data to the card
constexpr ULONG SGL_WALK_PORT_B = 1;   // port B descriptors: card data to the host

// Writes DMA descriptors for `bytes` bytes of `map` from byte `offset` on: pieces that follow on
// from each other merge (never across 4 GiB); a piece without address or length, or one not on
// 8 bytes, is reported and the walk goes on. In port B form the last descriptor's first entry
// becomes the ring's DMA interrupt index. `bank_word` goes before each control-window
// descriptor when the ring asks for it. Returns the bytes described.
ULONG sgl_walk(nand_dev* channel, velkor_request* request, const dma_map* map, ULONG offset, ULONG bytes, ULONG mode,
               ULONG bank_word);

// The channel's back-end operations of the issue side: a flush record's row padded to its end
// (filler accounted, which issues the record), and the descriptors of a buffer-set transfer.
void issue_pad_row(nand_dev* channel, flush_record* record);
void issue_dma_transfer(nand_dev* channel, const ioc_transfer* transfer);

// The port A tag word of a request: its ring, its index, subtype 2.
ULONG issue_port_a_tag(const velkor_request* request);

// The media bytes a full index record of `ap` takes (whole packets of its geometry): an append
// point keeps this much room before the block's closing record.
ULONG issue_index_record_room(const append_point* ap);
