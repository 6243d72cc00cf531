// IOC buffer sets: fixed buffers, each with its scatter-gather list and DMA map, lent by slot.

#include "driver/pipeline/pipeline_internal.h"
#include "driver/pipeline/prepare.h"
#include "driver/platform/memory.h"

namespace {

void free_block(void* block, ULONG tag) {
    if (block != nullptr) {
        kpav_free(block, tag);
    }
}

int refuse(ioc_bufs* bufs, const char* format, const char* name) {
    kpav_print(KPAV_CLASS_ERROR, format, name != nullptr ? name : "");
    ioc_free(bufs);
    return -KPAV_ENOMEM;
}

}  // namespace

int ioc_alloc(ioc_bufs* bufs, ULONG count, ULONG size, void* ignored1, void* ignored2, const char* name) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ignored1);
    UNREFERENCED_PARAMETER(ignored2);
    RtlZeroMemory(bufs, sizeof *bufs);
    bufs->state = -1;
    bufs->size = size;
    bufs->count = count;
    bufs->flags = (volatile LONG*)kpav_zalloc((size_t)count * sizeof(LONG) + 1, KPAV_TAG_VML);
    bufs->bufs = (ioc_buf*)kpav_zalloc((size_t)count * sizeof(ioc_buf) + 1, KPAV_TAG_VML);
    if (bufs->flags == nullptr || bufs->bufs == nullptr) {
        return refuse(bufs, "%s: Inadequate memory (IOC).\n", name);
    }
    for (ULONG i = 0; i < count; i++) {
        ioc_buf* b = &bufs->bufs[i];
        b->data = kpav_alloc(size, KPAV_TAG_VML);
        if (b->data == nullptr) {
            return refuse(bufs, "%s: Inadequate memory (IOC).\n", name);
        }
        if (kpav_sgl_create(nullptr, &b->list, ((size + 4095) >> 12) + 2) != 0 ||
            kpav_sgl_map_bytes(b->list, b->data, size) != 0) {
            return refuse(bufs, "%s: Failed to allocate sgl (IOC).\n", name);
        }
        b->map = (dma_map*)kpav_zalloc(sizeof(dma_map), KPAV_TAG_ATO);
        if (b->map == nullptr) {
            return refuse(bufs, "%s: Failed to map DMA (IOC).\n", name);
        }
    }
    return 0;
}

void ioc_slot_release(ioc_bufs* bufs, ULONG slot) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (slot >= bufs->count) {
        return;
    }
    LONG was = InterlockedAnd(&bufs->flags[slot], ~(IOC_SLOT_BUSY | IOC_SLOT_MAPPED));
    volatile LONG* waiter = bufs->bufs[slot].waiter;
    if ((was & IOC_SLOT_MAPPED) != 0 && waiter != nullptr) {
        bufs->bufs[slot].waiter = nullptr;
        WriteRelease(waiter, 0);
    }
}

void ioc_free(ioc_bufs* bufs) {
    PAGED_CODE();
    if (bufs->bufs != nullptr) {
        for (ULONG i = 0; i < bufs->count; i++) {
            ioc_buf* b = &bufs->bufs[i];
            if (bufs->flags != nullptr && (bufs->flags[i] & IOC_SLOT_BUSY) != 0) {
                ioc_slot_release(bufs, i);
            }
            free_block(b->data, KPAV_TAG_VML);
            free_block(b->map, KPAV_TAG_ATO);
            kpav_sgl_free(b->list);
        }
        free_block(bufs->bufs, KPAV_TAG_VML);
    }
    free_block((void*)bufs->flags, KPAV_TAG_VML);
    bufs->bufs = nullptr;
    bufs->flags = nullptr;
    bufs->size = 0;
    bufs->count = 0;
    bufs->state = -1;
}

int ioc_slot_map(velkor_request* request, ioc_bufs* bufs, ULONG slot, bool to_host) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (slot >= bufs->count) {
        return -KPAV_EINVAL;
    }
    return ioc_slot_map_range(request, bufs, slot, 0, bufs->bufs[slot].list->total_bytes, to_host);
}

int ioc_slot_map_range(velkor_request* request, ioc_bufs* bufs, ULONG slot, ULONG offset, ULONG bytes, bool to_host) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (slot >= bufs->count || offset > bufs->bufs[slot].list->total_bytes ||
        bytes > bufs->bufs[slot].list->total_bytes - offset) {
        return -KPAV_EINVAL;
    }
    ioc_buf* b = &bufs->bufs[slot];
    if ((LONG)b->list->mapped < 0) {
        return (LONG)b->list->mapped;
    }
    dma_map* map = b->map;
    map->offset = offset;
    map->total_bytes = offset + bytes;
    map->entries = b->list->used;
    map->first = b->list->used != 0 ? &sgl_entries(b->list)[0] : nullptr;
    map->last = b->list->used != 0 ? &sgl_entries(b->list)[b->list->used - 1] : nullptr;
    InterlockedOr(&bufs->flags[slot], IOC_SLOT_MAPPED);
    ioc_slot_submit_dma(request, map, to_host);
    return 0;
}

void ioc_slot_submit_dma(velkor_request* request, dma_map* map, bool to_host) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    nand_dev* channel = request->channel;
    ioc_transfer transfer;
    transfer.channel = channel;
    transfer.request = request;
    transfer.map = map;
    // The transfer starts in the entry that holds the map's offset.
    transfer.first = map->first;
    transfer.start_offset = map->offset;
    while (transfer.first != nullptr && transfer.first != map->last && transfer.start_offset >= transfer.first->length) {
        transfer.start_offset -= transfer.first->length;
        transfer.first++;
    }
    transfer.remaining = map->total_bytes > map->offset ? map->total_bytes - map->offset : 0;
    transfer.to_host = to_host;
    channel->backend->dma_transfer(channel, &transfer);
}
