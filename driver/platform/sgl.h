// Scatter-gather lists: the physical pages of a data buffer as the card's DMA sees them, filled
// from kernel buffers or MDLs, and byte ranges carved out of them for a transfer.
#pragma once

#include "driver/platform/os.h"

// A piece of the buffer: at most a page long and never crossing a page boundary.
struct sgl_entry {
    ULONG length;
    ULONG64 bus_address;
};
static_assert(sizeof(sgl_entry) == 16 && offsetof(sgl_entry, bus_address) == 8);

// One pool allocation: this header, then `capacity` entries.
struct sgl {
    ULONG capacity;
    ULONG used;
    ULONG mapped;       // entries that range maps walk; the appenders advance it with `used`
    ULONG total_bytes;
};
static_assert(sizeof(sgl) == sizeof(sgl_entry), "the header takes the room of one entry");

inline sgl_entry* sgl_entries(sgl* list) {
    return (sgl_entry*)(list + 1);
}

// A byte range of a list: `count` entries from `first` to `last`, less `skip` bytes at the start
// of the first and `cut` bytes at the end of the last.
struct sgl_map {
    ULONG offset;
    ULONG size;
    ULONG count;
    ULONG skip;
    ULONG cut;
    sgl_entry* first;
    sgl_entry* last;
};

// All routines run at or below DISPATCH_LEVEL.

// 0, or -KPAV_ENOMEM with *list NULL. The counters start at 0.
int kpav_sgl_create(void* unused, sgl** list, ULONG capacity);
void kpav_sgl_free(sgl* list);

// Appends the pages of a kernel buffer: 0, or -KPAV_ENOMEM when the list fills first (the entries
// that fitted stay).
int kpav_sgl_map_bytes(sgl* list, const void* address, ULONG length);
// Appends the first `length` bytes the MDL describes, from its byte offset on: 0, -KPAV_ENOMEM when
// the list fills first, -KPAV_EINVAL when the MDL describes fewer bytes (nothing is appended).
int kpav_sgl_map_mdl(sgl* list, PMDL mdl, void* unused, ULONG length);
// The same for `length` bytes from `offset` bytes into what the MDL describes (a piece of a
// larger transfer): -KPAV_EINVAL when the range runs past the MDL's bytes.
int kpav_sgl_map_mdl_at(sgl* list, PMDL mdl, ULONG offset, ULONG length);
// Describes `size` bytes from `offset` of the mapped entries in *map: 0, with a smaller size
// when the entries end first; -KPAV_EINVAL, with only the offset set, when the offset lies past
// them.
int kpav_sgl_map_range(sgl* list, void* unused, sgl_map* map, ULONG offset, ULONG size);
// Prints the list (and the map, when given); with `data` set, an offset label per 16 bytes of
// each entry.
void kpav_sgl_dump(sgl* list, const sgl_map* map, const char* prefix, int data);
