// The erase-block map's record, shared by its list and event code (mel.cpp) and its media code
// (mel_media.cpp).
#pragma once

#include "driver/log/mel.h"
#include "driver/pipeline/nand_dev.h"

struct mel_chunk {
    mel_chunk* next;
    volatile LONG used;  // bytes of `data` holding entities (published with release)
    ULONG reserved;
    UCHAR data[MEL_CHUNK_DATA];
};
static_assert(sizeof(mel_chunk) == MEL_CHUNK_BYTES);

// How much of the list a copy holds: up to `offset` of `chunk` (NULL: nothing yet).
struct mel_cursor {
    mel_chunk* chunk;
    ULONG offset;
};

struct mel_record {
    nand_dev* channel;
    // Geometry words.
    ULONG chips_per_bank;  // total pads x planes
    ULONG total_pads;
    ULONG banks;
    ULONG planes;
    ULONG eb_count;
    ULONG block_base;
    // Per copy (0 primary, 1 shadow).
    UCHAR rewrite[2];
    ULONG valid[2];
    USHORT eb[2];
    USHORT next_segment[2];
    UCHAR header[2][MEL_HEADER_BYTES];
    mel_cursor cursor[2];
    // The entity list: appended to under list_lock, walked without it (bytes below a chunk's
    // `used` never change, and a chunk's `next` is set before the chunk is seen).
    mel_chunk* head;
    mel_chunk* tail;
    kpav_spinlock list_lock;
    volatile LONG entity_count;
    volatile LONG count_events;
    // Segment-sized buffers: the write buffer and the read-back buffer.
    UCHAR* write_buffer;
    UCHAR* readback_buffer;
    ULONG buffer_bytes;
    UCHAR write_hold;
    UCHAR no_map;
    FAST_MUTEX mutex;
};

mel_record* mel_of(nand_dev* channel);
// Appends an entity of `kind` and `size` bytes (payload zeroed) and returns it through *out: 0 or
// -KPAV_ENOMEM. Up to DISPATCH_LEVEL; the entity becomes visible to walkers when `publish` runs.
int mel_entity_begin(mel_record* mel, USHORT kind, ULONG size, UCHAR** out);
void mel_entity_publish(mel_record* mel, UCHAR* entity);
// Frees every entity.
void mel_list_clear(mel_record* mel);
// The cursor at the end of the list.
mel_cursor mel_list_end(mel_record* mel);
// Applies a loaded entity's decision to the blocks: 0, or -KPAV_EINVAL for a block outside the card.
int mel_apply_entity(mel_record* mel, USHORT kind, const UCHAR* entity, ULONG size);
// Sets or clears the no-map flag (and the table's device state between ready and no-map).
void mel_set_no_map(mel_record* mel, bool none);
// The client's failure report of a copy that could not be written (slot 3, values 1 and 7).
void mel_report_write_failure(mel_record* mel);
ULONG mel_today();

// Media (mel_media.cpp), under the mutex.
int mel_write_locked(mel_record* mel, int full);
