// Builders of the common media operations: each takes a request from the pool, fills it as one
// request type and either runs it synchronously (submit, wait, free, return the status) or
// submits it with a completion callback. Every builder may wait for a request (below
// DISPATCH_LEVEL) and returns -KPAV_ENOMEM when none can be had (a failed channel).
#pragma once

#include "driver/pipeline/owners.h"
#include "driver/pipeline/request.h"

// The synchronous sequence: marks the chain waited on and freed by the caller, validates it
// (printing it on an error, which still submits it to complete through the Fail Q), submits,
// waits, frees it and returns its status.
int request_submit_wait(tavrin_ioctx* ioctx);

// The result record of a synchronous erase: zeroed before the erase.
struct erase_result {
    ULONG64 values[7];
    ULONG status;
};

// Builder flag bits.
constexpr ULONG BUILD_HIGH_PRIORITY = 0x2;
constexpr ULONG BUILD_FLUSH_JOIN_IF_JOINING = 0x4;  // joins the flush unless the controller is flushless
constexpr ULONG BUILD_FLUSH_JOIN = 0x8;
constexpr ULONG BUILD_GROOMER = 0x10;

int request_barrier_sync(append_point* ap, ULONG flags);
// The block an advance step closed (65535: none), told to the log that asked for the step.
using advance_notice_fn = void (*)(void* arg, USHORT closed_eb);
// *out_closed (when given) receives whether the step closed the block; `notice` (when given)
// learns the closed block with `arg` once the step succeeded.
int request_advance_append_point_sync(append_point* ap, USHORT eb, UCHAR* out_closed, advance_notice_fn notice,
                                      void* arg);
int request_open_append_point_sync(append_point* ap);
// 0 at once when the append point is not open; *out_eb receives the closed block.
int request_close_append_point_sync(append_point* ap, USHORT* out_eb);
int request_erase_sync(nand_dev* channel, USHORT eb, erase_result* result, ULONG64 flags);
int request_page_program_sync(nand_dev* channel, USHORT eb, USHORT page, const void* buffer, ULONG size,
                              void* ignored1, void* ignored2, int extra);

// Fills `request` as an append of the packet header (and the data that follows it in the
// request's inline area: at most REQUEST_INLINE_BYTES). 0 or -KPAV_EINVAL, -KPAV_ENOMEM from the
// mapping.
int request_prepare_append(velkor_request* request, append_point* ap, const void* header, ULONG size, ULONG flags);

// The append notice's callback: the chain's status, where the data landed, the caller's argument.
using append_notice_fn = int (*)(int status, const pav_addr_block* runs, void* arg);
// Submits an append of `count` packets of the geometry's packet size from `packets`. The
// notice (when given) runs at completion. The submit's result, -KPAV_ENOMEM without a request,
// -KPAV_EFAULT when the buffer cannot be mapped.
int request_submit_append(append_point* ap, append_notice_fn notice, void* ignored1, const ULONG geometry[2],
                          ULONG64 header_word, ULONG count, const void* packets, void* ignored2, void* arg);

// Reads `size` bytes at `address` into `buffer`. The offset must be a multiple of 8 and the
// size too ("unaligned read", "invalid size", -KPAV_EINVAL, nothing taken from the pool);
// -KPAV_EFAULT when the buffer cannot be mapped.
int media_read_raw(nand_dev* channel, const media_address* address, void* buffer, ULONG size, ULONG64 flags,
                   void* recovery, void* ignored, void* arg);
// Reads `count` system packets at `address`; `done` (the chunked erase-block read's completion)
// runs with `arg` in the request's done_arg. The submit's result.
int media_read_packets_async(nand_dev* channel, const media_address* address, void* buffer, ULONG count,
                             request_done_fn done, void* ignored, void* arg);
// A check read of `size` bytes: the card reads and checks them, no data comes back.
int request_read_aligned(nand_dev* channel, const media_address* address, ULONG size);

// The holder of a masked page read: the caller's request and the 256-byte area the page's
// masked bytes land in.
struct masked_read_holder {
    velkor_request* request;
    UCHAR area[256];
};
// Fills holder->request as a read of the page of `eb` that holds stride position
// start + step x index + extra; *out_first gets the stride index of the page's first position.
// 0 or -KPAV_EINVAL (a position past the block).
int request_prepare_masked_page_read(nand_dev* channel, const eb_stride* stride, masked_read_holder* holder,
                                     USHORT eb, ULONG index, ULONG extra, LONG64* out_first);
// The stride index of the first position in the page that holds position `index` (+ extra).
LONG64 stride_index_of_page(nand_dev* channel, const eb_stride* stride, USHORT eb, ULONG index, ULONG extra);
