// Preparation of a request before it is queued: by type, the completion ring that will report
// it, the flush records it will need, the bytes it moves, the read levels that apply, and the
// DMA mapping of its scatter-gather list. And the IOC buffer sets issue handlers lend to
// requests.
#pragma once

#include "driver/pipeline/owners.h"
#include "driver/pipeline/request.h"

// 0, -KPAV_EIO on a failed or exiting channel, or the type handler's error (logged "<dev>: Request
// <type> <request> invalid|unsupported <error>", flag bit 30 set). At most DISPATCH_LEVEL.
int request_prepare(velkor_request* request);
// Sets the head's pending and queued counts and prepares every member; on the first error every
// member fails with it. 0 or the error (the chain's earlier error when it has one).
int request_chain_prepare(velkor_request* head);
// Maps the request's list for DMA: 0, -KPAV_EINVAL without a context, or the list's error.
int request_dma_map(velkor_request* request, bool to_host);
// Sets the flush records `size` bytes of this request take (with the owner's words) and the
// bytes it moves. 0.
int compute_flushes_needed(nand_dev* channel, velkor_request* request, ULONG size, const void* owner);
// pages(n): whole pages of n bytes, plus one when n is at least a page.
ULONG64 flush_pages(const nand_dev* channel, ULONG64 bytes);

// IOC buffer sets. 0 or -KPAV_ENOMEM (logged with `name`; nothing is left allocated).
// PASSIVE_LEVEL.
int ioc_alloc(ioc_bufs* bufs, ULONG count, ULONG size, void* ignored1, void* ignored2, const char* name);
void ioc_free(ioc_bufs* bufs);
// Maps a slot and hands its transfer to the ring's descriptor writer. 0 or the list's error.
int ioc_slot_map(velkor_request* request, ioc_bufs* bufs, ULONG slot, bool to_host);
// The same for `bytes` bytes of the slot's buffer from byte `offset` on (-KPAV_EINVAL past its
// end).
int ioc_slot_map_range(velkor_request* request, ioc_bufs* bufs, ULONG slot, ULONG offset, ULONG bytes, bool to_host);
void ioc_slot_submit_dma(velkor_request* request, dma_map* map, bool to_host);
// Releases a busy slot: clears its bits and the word of a waiter.
void ioc_slot_release(ioc_bufs* bufs, ULONG slot);
