#include "driver/platform/sgl.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"

namespace {

constexpr ULONG sgl_page_size = 4096;

void append(sgl* list, ULONG length, ULONG64 bus_address) {
    sgl_entry* entry = &sgl_entries(list)[list->used];
    entry->length = length;
    entry->bus_address = bus_address;
    list->used++;
    list->mapped++;
    list->total_bytes += length;
}

}  // namespace

int kpav_sgl_create(void* unused, sgl** list, ULONG capacity) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(unused);
    auto* created = (sgl*)kpav_alloc(((size_t)capacity + 1) * sizeof(sgl_entry), KPAV_TAG_VML);
    *list = created;
    if (created == nullptr) {
        return -KPAV_ENOMEM;
    }
    created->capacity = capacity;
    created->used = 0;
    created->mapped = 0;
    created->total_bytes = 0;
    return 0;
}

void kpav_sgl_free(sgl* list) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (list != nullptr) {
        kpav_free(list, KPAV_TAG_VML);
    }
}

int kpav_sgl_map_bytes(sgl* list, const void* address, ULONG length) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    auto* next = (const UCHAR*)address;
    while (length > 0) {
        if (list->used == list->capacity) {
            return -KPAV_ENOMEM;
        }
        ULONG in_page = sgl_page_size - (ULONG)((ULONG_PTR)next % sgl_page_size);
        ULONG piece = in_page < length ? in_page : length;
        auto bus_address = (ULONG64)MmGetPhysicalAddress((PVOID)next).QuadPart;
        kpav_assert(bus_address != 0);
        append(list, piece, bus_address);
        next += piece;
        length -= piece;
    }
    return 0;
}

int kpav_sgl_map_mdl(sgl* list, PMDL mdl, void* unused, ULONG length) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(unused);
    return kpav_sgl_map_mdl_at(list, mdl, 0, length);
}

int kpav_sgl_map_mdl_at(sgl* list, PMDL mdl, ULONG start, ULONG length) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    // The frame array covers only the bytes the MDL describes; a longer range would hand the
    // card pages that belong to someone else.
    if (start > MmGetMdlByteCount(mdl) || length > MmGetMdlByteCount(mdl) - start) {
        return -KPAV_EINVAL;
    }
    PPFN_NUMBER frames = MmGetMdlPfnArray(mdl);
    ULONG offset = MmGetMdlByteOffset(mdl) + start;
    ULONG page = offset / sgl_page_size;
    ULONG in_page = offset % sgl_page_size;
    while (length > 0) {
        if (list->used == list->capacity) {
            return -KPAV_ENOMEM;
        }
        ULONG room = sgl_page_size - in_page;
        ULONG piece = room < length ? room : length;
        append(list, piece, (ULONG64)frames[page] * sgl_page_size + in_page);
        length -= piece;
        in_page = 0;
        page++;
    }
    return 0;
}

int kpav_sgl_map_range(sgl* list, void* unused, sgl_map* map, ULONG offset, ULONG size) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    UNREFERENCED_PARAMETER(unused);
    // A map that is returned describes exactly what was found, never what a caller's record
    // held before: an offset past the end must not leave stale entries to program DMA from.
    RtlZeroMemory(map, sizeof *map);
    map->offset = offset;
    sgl_entry* entries = sgl_entries(list);
    ULONG remaining = offset;
    ULONG index = 0;
    while (index < list->mapped && remaining >= entries[index].length) {
        remaining -= entries[index].length;
        index++;
    }
    if (index == list->mapped) {
        return -KPAV_EINVAL;
    }
    map->first = &entries[index];
    map->last = map->first;
    map->skip = remaining;
    map->count = 1;
    map->size = entries[index].length - remaining;
    for (index++; map->size < size && index < list->mapped; index++) {
        map->size += entries[index].length;
        map->count++;
        map->last = &entries[index];
    }
    if (map->size >= size) {
        map->cut = map->size - size;
        map->size = size;
    }
    return 0;
}

void kpav_sgl_dump(sgl* list, const sgl_map* map, const char* prefix, int data) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_print(KPAV_CLASS_NORMAL, "%s sglist %p num %u max %u size %u\n", prefix, list, list->used, list->capacity,
               list->total_bytes);
    if (map != nullptr) {
        kpav_print(KPAV_CLASS_NORMAL, "%s map %p offset %u size %u count %u\n", prefix, map, map->offset, map->size,
                   map->count);
    }
    sgl_entry* entries = sgl_entries(list);
    for (ULONG i = 0; i < list->used; i++) {
        sgl_entry* entry = &entries[i];
        kpav_print(KPAV_CLASS_NORMAL, "%s        mvec %d: size: %d paddr: %p\n", prefix, (int)i, (int)entry->length,
                   (PVOID)(ULONG_PTR)entry->bus_address);
        if (map != nullptr && entry == map->first) {
            kpav_print(KPAV_CLASS_NORMAL, "%s        map first skip %u\n", prefix, map->skip);
        }
        if (map != nullptr && entry == map->last) {
            kpav_print(KPAV_CLASS_NORMAL, "%s        map last trunc %u\n", prefix, map->cut);
        }
        if (data) {
            for (ULONG at = 0; at < entry->length; at += 16) {
                kpav_dbgprint("\n%04d:", (int)at);
            }
            kpav_dbgprint("\n");
        }
    }
}
