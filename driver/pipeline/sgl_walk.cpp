// The scatter-gather walk: DMA descriptors for a byte range of a request's mapped list.

#include "driver/pipeline/issue.h"
#include "driver/pipeline/pipeline_internal.h"

namespace {

constexpr ULONG64 span_4g = 0x100000000ull;

// The list behind a map, its pieces printed as a DMA fault needs them.
void dump_map(const dma_map* map, const char* prefix) {
    kpav_print(KPAV_CLASS_ERROR, "%s map %p offset %u size %u count %u\n", prefix, (const void*)map, map->offset,
               map->total_bytes, map->entries);
    if (map->first == nullptr) {
        return;
    }
    for (ULONG i = 0; i < map->entries; i++) {
        const sgl_entry* e = map->first + i;
        kpav_print(KPAV_CLASS_ERROR, "%s        mvec %d: size: %d paddr: %p\n", prefix, (int)i, (int)e->length,
                   (void*)(ULONG_PTR)e->bus_address);
        if (i == 0) {
            kpav_print(KPAV_CLASS_ERROR, "%s        map first skip %u\n", prefix, map->offset);
        }
        if (e == map->last) {
            ULONG64 described = 0;
            for (ULONG k = 0; k <= i; k++) {
                described += map->first[k].length;
            }
            ULONG64 wanted = (ULONG64)map->offset + map->total_bytes;
            kpav_print(KPAV_CLASS_ERROR, "%s        map last trunc %u\n", prefix,
                       (ULONG)(described > wanted ? described - wanted : 0));
        }
    }
}

void dump_list(velkor_request* request, const dma_map* map, const char* prefix) {
    sgl* list = request != nullptr ? request->list : nullptr;
    if (list != nullptr) {
        kpav_print(KPAV_CLASS_ERROR, "%s sglist %p num %u max %u size %u\n", prefix, (void*)list, list->used,
                   list->capacity, list->total_bytes);
    }
    dump_map(map, prefix);
}

struct run {
    ULONG64 address;
    ULONG64 length;
};

void emit(nand_dev* channel, const run& r, ULONG mode, ULONG bank_word) {
    if (r.length == 0) {
        return;
    }
    if (mode == SGL_WALK_CONTROL) {
        hw_dma_descriptor_a(channel, (ULONG)r.length, r.address, bank_word);
    } else {
        channel->ring.dma_irq_index = hw_dma_descriptor_b(channel, (ULONG)r.length, r.address);
    }
}

}  // namespace

ULONG sgl_walk(nand_dev* channel, velkor_request* request, const dma_map* map, ULONG offset, ULONG bytes, ULONG mode,
               ULONG bank_word) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (map == nullptr || map->first == nullptr || bytes == 0) {
        return 0;
    }
    ULONG available = map->total_bytes > offset ? map->total_bytes - offset : 0;
    bytes = bytes < available ? bytes : available;
    const sgl_entry* e = map->first;
    const sgl_entry* last = map->first + (map->entries - 1);
    ULONG64 skip = (ULONG64)map->offset + offset;
    while (e <= last && skip >= e->length && e->length != 0) {
        skip -= e->length;
        e++;
    }
    run current{0, 0};
    ULONG described = 0;
    ULONG left = bytes;
    for (; e <= last && left > 0; e++) {
        if (e->bus_address == 0 || e->length == 0) {
            kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 12321, "BAD SGL: state->cur_ptr = %p\n",
                        (const void*)e);
            dump_list(request, map, "bad dma: ");
            if (request != nullptr) {
                dump_request(request, "bad dma: ");
            }
            skip = 0;
            continue;  // nothing the card may reach is described by it
        }
        ULONG64 address = e->bus_address + skip;
        ULONG64 length = e->length - skip;
        skip = 0;
        length = length < left ? length : left;
        if (address % 8 != 0 || length % 8 != 0) {
            kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 12322, "Unaligned DMA addr 0x%llu len %lx\n",
                        (unsigned long long)address, (unsigned long)length);
            if (request != nullptr) {
                dump_request(request, "unaligned ");
            }
            dump_list(request, map, "bad sgl");
        }
        bool follows = current.length != 0 && current.address + current.length == address &&
                       current.address / span_4g == (address + length - 1) / span_4g;
        if (follows) {
            current.length += length;
        } else {
            emit(channel, current, mode, bank_word);
            current = {address, length};
        }
        described += (ULONG)length;
        left -= (ULONG)length;
    }
    emit(channel, current, mode, bank_word);
    return described;
}
