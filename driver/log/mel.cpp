#include "driver/log/mel.h"

#include "driver/log/mel_internal.h"
#include "driver/pipeline/channel_client.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/little_endian.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"

namespace {

ULONG popcount32(ULONG value) {
#if defined(_MSC_VER)
    return (ULONG)__popcnt(value);
#else
    return (ULONG)__builtin_popcount(value);
#endif
}

}  // namespace

// ---- Header codec

void mel_header_encode(UCHAR out[MEL_HEADER_BYTES], const mel_header* header) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    RtlZeroMemory(out, MEL_HEADER_BYTES);
    le_put_u64(out, MEL_MAGIC);
    le_put_u32(out + 8, header->version);
    le_put_u32(out + 12, header->primary);
    le_put_u32(out + 16, header->shadow);
    le_put_u32(out + 20, header->chips_per_bank);
    le_put_u32(out + 24, header->banks);
    le_put_u32(out + 28, header->planes);
    le_put_u32(out + 32, header->eb_count);
    le_put_u32(out + 36, header->day);
    for (ULONG i = 0; i < 2 * EB_MAX_BANKS; i++) {
        le_put_u32(out + 40 + 4 * i, header->masks[i]);
    }
}

int mel_header_decode(const UCHAR in[MEL_HEADER_BYTES], mel_header* out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (le_get_u64(in) != MEL_MAGIC) {
        return -KPAV_EINVAL;
    }
    out->version = le_get_u32(in + 8);
    out->primary = le_get_u32(in + 12);
    out->shadow = le_get_u32(in + 16);
    out->chips_per_bank = le_get_u32(in + 20);
    out->banks = le_get_u32(in + 24);
    out->planes = le_get_u32(in + 28);
    out->eb_count = le_get_u32(in + 32);
    out->day = le_get_u32(in + 36);
    for (ULONG i = 0; i < 2 * EB_MAX_BANKS; i++) {
        out->masks[i] = le_get_u32(in + 40 + 4 * i);
    }
    return 0;
}

// ---- The entity stream

ULONG mel_entity_kept_size(USHORT kind, ULONG size) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    switch (kind) {
        case MEL_MAPPED_OUT:
            return 6;
        case MEL_RETIRED_PADS:
            return 66;
        case MEL_ERASE_COUNT:
        case MEL_WEAR:
        case MEL_TIME:
            return 12;
        case MEL_END:
            return 8;
        default:
            return size;
    }
}

void mel_stream_init(mel_stream* stream) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    stream->have = 0;
    stream->size = 0;
    stream->skip_segment = false;
    stream->markers = 0;
    stream->last_count = 0;
}

int mel_stream_feed(mel_stream* stream, const UCHAR* segment, ULONG length, mel_entity_fn fn, void* context,
                    const char* name) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    stream->skip_segment = false;
    ULONG at = 0;
    while (at < length && !stream->skip_segment) {
        if (stream->size == 0) {
            // The 4-byte head, perhaps across a segment end.
            ULONG take = 4 - stream->have < length - at ? 4 - stream->have : length - at;
            RtlCopyMemory(stream->entity + stream->have, segment + at, take);
            stream->have += take;
            at += take;
            if (stream->have < 4) {
                break;
            }
            USHORT kind = le_get_u16(stream->entity);
            ULONG size = le_get_u16(stream->entity + 2);
            if (kind == 0xFFFF) {
                kpav_print(KPAV_CLASS_ERROR, "%s: MEL - unexpected erased space.\n", name);
                return -KPAV_EINVAL;
            }
            if (size < 4) {
                kpav_print(KPAV_CLASS_ERROR, "%s: MEL too small entity.\n", name);
                return -KPAV_EINVAL;
            }
            if (size > MEL_ENTITY_MAX) {
                kpav_print(KPAV_CLASS_ERROR, "%s: MEL too large entity.\n", name);
                return -KPAV_EINVAL;
            }
            stream->size = size;
        }
        ULONG take = stream->size - stream->have < length - at ? stream->size - stream->have : length - at;
        RtlCopyMemory(stream->entity + stream->have, segment + at, take);
        stream->have += take;
        at += take;
        if (stream->have < stream->size) {
            break;
        }
        USHORT kind = le_get_u16(stream->entity);
        ULONG size = stream->size;
        stream->have = 0;
        stream->size = 0;
        if (kind == MEL_END) {
            // The marker's count (a short marker counts nothing); the rest of the segment that
            // holds its end was never written.
            stream->markers++;
            stream->last_count = size >= 8 ? le_get_u32(stream->entity + 4) : 0;
            stream->skip_segment = true;
            continue;
        }
        if (fn != nullptr) {
            int rc = fn(context, kind, stream->entity, size);
            if (rc < 0) {
                return rc;
            }
        }
    }
    return 0;
}

LONG64 mel_marker_count(const UCHAR* bytes, ULONG length) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG end = length;
    while (end > 0 && bytes[end - 1] == 0xFF) {
        end--;
    }
    if (end < 8) {
        return -1;
    }
    const UCHAR* marker = bytes + end - 8;
    if (le_get_u16(marker) != MEL_END || le_get_u16(marker + 2) != 8) {
        return -1;
    }
    return le_get_u32(marker + 4);
}

ULONG pad_mask_weight(const ULONG bitmap[EB_PAD_WORDS]) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG total = 0;
    for (ULONG i = 0; i < EB_PAD_WORDS; i++) {
        total += popcount32(bitmap[i]);
    }
    return total;
}

// ---- The record and its list

mel_record* mel_of(nand_dev* channel) {
    eb_table* table = ebinfo_table(channel);
    return table != nullptr ? table->mel : nullptr;
}

int mel_entity_begin(mel_record* mel, USHORT kind, ULONG size, UCHAR** out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    *out = nullptr;
    if (size < 4 || size > MEL_ENTITY_MAX) {
        return -KPAV_EINVAL;
    }
    kpav_spin_lock(&mel->list_lock);
    mel_chunk* chunk = mel->tail;
    if (chunk == nullptr || MEL_CHUNK_DATA - (ULONG)chunk->used < size) {
        auto* fresh = (mel_chunk*)kpav_alloc(sizeof(mel_chunk), KPAV_TAG_MAL);
        if (fresh == nullptr) {
            kpav_spin_unlock(&mel->list_lock);
            return -KPAV_ENOMEM;
        }
        fresh->next = nullptr;
        fresh->used = 0;
        fresh->reserved = 0;
        // Linked before anything is written into it; walkers see its `used` of 0 until the
        // entity is published.
        if (chunk == nullptr) {
            WritePointerRelease((PVOID*)&mel->head, fresh);
        } else {
            WritePointerRelease((PVOID*)&chunk->next, fresh);
        }
        mel->tail = fresh;
        chunk = fresh;
    }
    UCHAR* entity = chunk->data + chunk->used;
    RtlZeroMemory(entity, size);
    le_put_u16(entity, kind);
    le_put_u16(entity + 2, (USHORT)size);
    *out = entity;
    return 0;  // list_lock stays held until mel_entity_publish
}

void mel_entity_publish(mel_record* mel, UCHAR* entity) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    mel_chunk* chunk = mel->tail;
    ULONG size = le_get_u16(entity + 2);
    WriteRelease(&chunk->used, chunk->used + (LONG)size);
    InterlockedIncrement(&mel->entity_count);
    kpav_spin_unlock(&mel->list_lock);
}

void mel_list_clear(mel_record* mel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&mel->list_lock);
    mel_chunk* chunk = mel->head;
    mel->head = mel->tail = nullptr;
    InterlockedExchange(&mel->entity_count, 0);
    InterlockedExchange(&mel->count_events, 0);
    mel->cursor[0] = mel->cursor[1] = mel_cursor{};
    kpav_spin_unlock(&mel->list_lock);
    while (chunk != nullptr) {
        mel_chunk* next = chunk->next;
        kpav_free(chunk, KPAV_TAG_MAL);
        chunk = next;
    }
}

mel_cursor mel_list_end(mel_record* mel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&mel->list_lock);
    mel_cursor end{mel->tail, mel->tail != nullptr ? (ULONG)mel->tail->used : 0};
    kpav_spin_unlock(&mel->list_lock);
    return end;
}

void mel_set_no_map(mel_record* mel, bool none) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    mel->no_map = none ? 1 : 0;
    eb_table* table = ebinfo_table(mel->channel);
    if (none) {
        kpav_state_change(&table->device_state, EB_DEVICE_NO_MEL, 1, EB_DEVICE_READY);
    } else {
        kpav_state_change(&table->device_state, EB_DEVICE_READY, 1, EB_DEVICE_NO_MEL);
    }
}

void mel_report_write_failure(mel_record* mel) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    channel_client_ops(mel->channel)->set_write_reason(mel->channel, 1, 7);
}

ULONG mel_today() {
    return ebinfo_unix_seconds() / 86400;
}

int mel_apply_entity(mel_record* mel, USHORT kind, const UCHAR* entity, ULONG size) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if ((kind >> 8) != 1) {
        return 0;
    }
    if (size < 6) {
        return -KPAV_EINVAL;
    }
    USHORT eb = le_get_u16(entity + 4);
    eb_info* info = ebinfo_get(mel->channel, eb);
    if (info == nullptr) {
        return -KPAV_EINVAL;
    }
    switch (kind & 0xFF) {
        case 1:
            info->mel_mark = EB_MEL_MAPPED_OUT;
            break;
        case 2: {
            if (size < 66) {
                return -KPAV_EINVAL;
            }
            for (ULONG i = 0; i < EB_PAD_INDEXES; i++) {
                ULONG word = le_get_u32(entity + 6 + 4 * (i / 32));
                if ((word >> (i % 32) & 1) == 0 || mel->chips_per_bank == 0 || mel->total_pads == 0) {
                    continue;
                }
                ULONG bank = i / mel->chips_per_bank;
                ULONG pad = i % mel->total_pads;
                if (bank < EB_MAX_BANKS) {
                    info->banks[bank].saved_mask &= ~(1u << pad);
                }
            }
            break;
        }
        default:
            break;
    }
    return 0;
}

// ---- Creation and state

int mel_create(nand_dev* channel) {
    PAGED_CODE();
    eb_table* table = ebinfo_table(channel);
    if (table == nullptr) {
        return -KPAV_EINVAL;
    }
    auto* mel = (mel_record*)kpav_zalloc(sizeof(mel_record), KPAV_TAG_MAL);
    const store_geometry& g = table->geometry;
    ULONG planes = g.planes != 0 ? g.planes : 1;
    // A segment's raw bytes bound its usable ones: one page per pad of each plane.
    ULONG buffer = g.raw_page_size * g.total_pads * planes;
    if (mel != nullptr) {
        mel->buffer_bytes = buffer;
        mel->write_buffer = (UCHAR*)kpav_alloc(buffer, KPAV_TAG_VML);
        mel->readback_buffer = (UCHAR*)kpav_alloc(buffer, KPAV_TAG_VML);
    }
    if (mel == nullptr || mel->write_buffer == nullptr || mel->readback_buffer == nullptr) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Inadequate memory available - MEL.\n", channel_name(channel));
        if (mel != nullptr) {
            kpav_free_if(mel->write_buffer, KPAV_TAG_VML);
            kpav_free_if(mel->readback_buffer, KPAV_TAG_VML);
            kpav_free(mel, KPAV_TAG_MAL);
        }
        return -KPAV_ENOMEM;
    }
    mel->channel = channel;
    mel->eb[0] = mel->eb[1] = EB_NONE;
    mel->total_pads = g.total_pads;
    mel->planes = planes;
    mel->chips_per_bank = g.total_pads * planes;
    mel->banks = g.banks;
    kpav_spinlock_init(&mel->list_lock, "mel list");
    ExInitializeFastMutex(&mel->mutex);
    table->mel = mel;
    mel_reset(channel);
    return 0;
}

void mel_free(nand_dev* channel) {
    PAGED_CODE();
    eb_table* table = ebinfo_table(channel);
    mel_record* mel = table != nullptr ? table->mel : nullptr;
    if (mel == nullptr) {
        return;
    }
    table->mel = nullptr;
    mel_list_clear(mel);
    kpav_free_if(mel->write_buffer, KPAV_TAG_VML);
    kpav_free_if(mel->readback_buffer, KPAV_TAG_VML);
    kpav_free(mel, KPAV_TAG_MAL);
}

bool mel_present(nand_dev* channel) {
    return mel_of(channel) != nullptr;
}

bool mel_no_map(nand_dev* channel) {
    mel_record* mel = mel_of(channel);
    return mel == nullptr || mel->no_map != 0;
}

USHORT mel_copy_eb(nand_dev* channel, ULONG copy) {
    mel_record* mel = mel_of(channel);
    return mel != nullptr && copy < 2 ? mel->eb[copy] : EB_NONE;
}

bool mel_copy_valid(nand_dev* channel, ULONG copy) {
    mel_record* mel = mel_of(channel);
    return mel != nullptr && copy < 2 && mel->valid[copy] != 0;
}

ULONG mel_entity_count(nand_dev* channel) {
    mel_record* mel = mel_of(channel);
    return mel != nullptr ? (ULONG)ReadNoFence(&mel->entity_count) : 0;
}

namespace {

void clear_copies(mel_record* mel) {
    for (ULONG c = 0; c < 2; c++) {
        eb_info* info = ebinfo_get(mel->channel, mel->eb[c]);
        if (info != nullptr && info->mel_mark == EB_MEL_COPY) {
            info->mel_mark = EB_MEL_NONE;
        }
        mel->eb[c] = EB_NONE;
        mel->valid[c] = 0;
        mel->next_segment[c] = 0;
    }
}

}  // namespace

void mel_reset(nand_dev* channel) {
    PAGED_CODE();
    mel_record* mel = mel_of(channel);
    if (mel == nullptr) {
        return;
    }
    ExAcquireFastMutex(&mel->mutex);
    clear_copies(mel);
    mel_list_clear(mel);
    eb_table* table = ebinfo_table(channel);
    mel->eb_count = table->count;
    mel->block_base = 0;
    for (ULONG eb = 0; eb < table->count; eb++) {
        ebinfo_reset_eb(channel, (USHORT)eb);
    }
    mel_set_no_map(mel, true);
    ExReleaseFastMutex(&mel->mutex);
}

void mel_discard(nand_dev* channel) {
    PAGED_CODE();
    mel_record* mel = mel_of(channel);
    if (mel == nullptr) {
        return;
    }
    ExAcquireFastMutex(&mel->mutex);
    mel_set_no_map(mel, true);
    clear_copies(mel);
    ExReleaseFastMutex(&mel->mutex);
}

void mel_set_write_hold(nand_dev* channel, int hold) {
    PAGED_CODE();
    mel_record* mel = mel_of(channel);
    if (mel == nullptr) {
        return;
    }
    ExAcquireFastMutex(&mel->mutex);
    mel->write_hold = hold != 0 ? 1 : 0;
    if (hold == 0) {
        mel_write_locked(mel, mel->no_map);
    }
    ExReleaseFastMutex(&mel->mutex);
}

int mel_write(nand_dev* channel, int full) {
    PAGED_CODE();
    mel_record* mel = mel_of(channel);
    if (mel == nullptr) {
        return -KPAV_EINVAL;
    }
    ExAcquireFastMutex(&mel->mutex);
    int rc = mel_write_locked(mel, full);
    ExReleaseFastMutex(&mel->mutex);
    return rc;
}

// ---- Events

namespace {

// A pad retirement or mapping-out entity for `eb`, applied at once. Under the mutex.
int retire_pad_locked(mel_record* mel, USHORT eb, ULONG pad_index) {
    nand_dev* channel = mel->channel;
    eb_info* info = ebinfo_get(channel, eb);
    if (info == nullptr || mel->chips_per_bank == 0 || mel->total_pads == 0) {
        return -KPAV_EINVAL;
    }
    ULONG bank = pad_index / mel->chips_per_bank;
    ULONG pad = pad_index % mel->total_pads;
    if (bank >= EB_MAX_BANKS || pad_index >= EB_PAD_INDEXES) {
        return -KPAV_EINVAL;
    }
    if ((info->banks[bank].saved_mask & (1u << pad)) == 0) {
        return 1;
    }
    UCHAR* entity = nullptr;
    int result;
    if (ebinfo_check_usable_pads(channel, eb) != 0) {
        int rc = mel_entity_begin(mel, MEL_MAPPED_OUT, 6, &entity);
        if (rc != 0) {
            return rc;
        }
        le_put_u16(entity + 4, eb);
        result = 0;
    } else {
        int rc = mel_entity_begin(mel, MEL_RETIRED_PADS, 66, &entity);
        if (rc != 0) {
            return rc;
        }
        le_put_u16(entity + 4, eb);
        for (ULONG plane = 0; plane < mel->planes; plane++) {
            ULONG index = (bank * mel->planes + plane) * mel->total_pads + pad;
            UCHAR* word = entity + 6 + 4 * (index / 32);
            le_put_u32(word, le_get_u32(word) | 1u << (index % 32));
        }
        result = 1;
    }
    mel_entity_publish(mel, entity);
    mel_apply_entity(mel, le_get_u16(entity), entity, le_get_u16(entity + 2));
    return result;
}

int add_wear_locked(mel_record* mel, USHORT eb, const mel_wear* wear) {
    nand_dev* channel = mel->channel;
    const eb_info* info = ebinfo_get(channel, eb);
    bool have_count = true;
    ULONG64 count = wear != nullptr ? wear->erase_count : 0;
    if (count == 0 || count == ~0ull) {
        have_count = info != nullptr;
        count = info != nullptr ? (ULONG64)(ULONG)info->erase_count : 0;
    }
    ULONG64 figure = wear != nullptr ? wear->wear : 0;
    ULONG64 time = wear != nullptr && wear->time != 0 ? wear->time : ebinfo_unix_seconds();
    const struct {
        USHORT kind;
        ULONG64 value;
        bool wanted;
    } items[] = {{MEL_ERASE_COUNT, count, have_count}, {MEL_WEAR, figure, true}, {MEL_TIME, time, true}};
    for (const auto& item : items) {
        if (!item.wanted) {
            continue;
        }
        UCHAR* entity = nullptr;
        if (mel_entity_begin(mel, item.kind, 12, &entity) != 0) {
            return -KPAV_ENOMEM;
        }
        le_put_u64(entity + 4, item.value);
        mel_entity_publish(mel, entity);
    }
    return 1;
}

int report_pad_errors_locked(mel_record* mel, USHORT eb, const mel_wear* wear) {
    nand_dev* channel = mel->channel;
    ULONG bitmap[EB_PAD_WORDS] = {};
    ebinfo_get_error_bitmap(channel, eb, bitmap);
    ULONG n = pad_mask_weight(bitmap);
    if (n == 0) {
        return 1;
    }
    const eb_info* info = ebinfo_get(channel, eb);
    UCHAR* entity = nullptr;
    if (10 + 8 * n > MEL_ENTITY_MAX || mel_entity_begin(mel, MEL_PAD_ERRORS, 10 + 8 * n, &entity) != 0) {
        return -KPAV_ENOMEM;
    }
    le_put_u16(entity + 4, eb);
    le_put_u32(entity + 6, n);
    ULONG k = 0;
    for (ULONG i = 0; i < EB_PAD_INDEXES; i++) {
        if ((bitmap[i / 32] >> (i % 32) & 1) != 0) {
            UCHAR* e = entity + 10 + 8 * k++;
            le_put_u16(e, (USHORT)i);
            le_put_u16(e + 2, eb);
            le_put_u32(e + 4, info != nullptr ? info->error_level[i] : 0);
        }
    }
    mel_entity_publish(mel, entity);
    int result = 1;
    for (ULONG i = 0; i < EB_PAD_INDEXES; i++) {
        if ((bitmap[i / 32] >> (i % 32) & 1) == 0) {
            continue;
        }
        // An index in plane 1 is retired through its plane-0 twin (all planes of the pad go).
        ULONG index = i;
        if (mel->planes > 1 && (i / mel->total_pads) % mel->planes == 1) {
            index = i - mel->total_pads;
        }
        int rc = retire_pad_locked(mel, eb, index);
        result = rc < result ? rc : result;
    }
    int rc = add_wear_locked(mel, eb, wear);
    if (rc < 0) {
        result = rc;
    }
    return result;
}

bool device_failed(mel_record* mel) {
    return channel_failed(mel->channel);
}

}  // namespace

int mel_retire_pad(nand_dev* channel, USHORT eb, ULONG pad_index) {
    PAGED_CODE();
    mel_record* mel = mel_of(channel);
    if (mel == nullptr) {
        return -KPAV_EINVAL;
    }
    ExAcquireFastMutex(&mel->mutex);
    int rc = retire_pad_locked(mel, eb, pad_index);
    ExReleaseFastMutex(&mel->mutex);
    return rc;
}

int mel_add_wear_entities(nand_dev* channel, USHORT eb, const mel_wear* wear) {
    PAGED_CODE();
    mel_record* mel = mel_of(channel);
    if (mel == nullptr) {
        return -KPAV_EINVAL;
    }
    ExAcquireFastMutex(&mel->mutex);
    int rc = add_wear_locked(mel, eb, wear);
    ExReleaseFastMutex(&mel->mutex);
    return rc;
}

int mel_report_pad_errors(nand_dev* channel, USHORT eb, const mel_wear* wear) {
    PAGED_CODE();
    mel_record* mel = mel_of(channel);
    if (mel == nullptr || device_failed(mel)) {
        return -KPAV_EINVAL;
    }
    ExAcquireFastMutex(&mel->mutex);
    int result = report_pad_errors_locked(mel, eb, wear);
    if (mel->write_hold == 0) {
        int rc = mel_write_locked(mel, 0);
        result = rc < 0 ? rc : result;
    }
    ExReleaseFastMutex(&mel->mutex);
    return result;
}

int mel_log_counts_event(nand_dev* channel, ULONG64 value, ULONG c1, ULONG c2, ULONG c3) {
    PAGED_CODE();
    mel_record* mel = mel_of(channel);
    if (mel == nullptr) {
        return -KPAV_EINVAL;
    }
    if (c1 == 0 && c2 == 0 && c3 == 0) {
        return 0;
    }
    eb_table* table = ebinfo_table(channel);
    ExAcquireFastMutex(&mel->mutex);
    InterlockedExchangeAdd((volatile LONG*)&table->error_totals[0], (LONG)c1);
    InterlockedExchangeAdd((volatile LONG*)&table->error_totals[1], (LONG)c2);
    InterlockedExchangeAdd((volatile LONG*)&table->error_totals[2], (LONG)c3);
    int rc = 0;
    if ((ULONG)ReadNoFence(&mel->count_events) >= MEL_COUNT_LIMIT) {
        rc = -KPAV_E2BIG;
    } else {
        UCHAR* entity = nullptr;
        rc = mel_entity_begin(mel, MEL_COUNTS, 24, &entity);
        if (rc == 0) {
            le_put_u64(entity + 4, value);
            le_put_u32(entity + 12, c1);
            le_put_u32(entity + 16, c2);
            le_put_u32(entity + 20, c3);
            mel_entity_publish(mel, entity);
            InterlockedIncrement(&mel->count_events);
            if (mel->write_hold == 0) {
                mel_write_locked(mel, 0);
            }
        }
    }
    ExReleaseFastMutex(&mel->mutex);
    return rc;
}

int mel_user_event(nand_dev* channel, const UCHAR event[MEL_USER_EVENT_BYTES]) {
    PAGED_CODE();
    mel_record* mel = mel_of(channel);
    if (mel == nullptr || device_failed(mel)) {
        return -KPAV_EINVAL;
    }
    ULONG eb = le_get_u32(event);
    ULONG type = le_get_u32(event + 4);
    eb_table* table = ebinfo_table(channel);
    if (eb >= table->count) {
        kpav_print(KPAV_CLASS_ERROR, "%s: MEL User event: Invalid LEB %4u passed in (%4u blocks)\n",
                   channel_name(channel), eb, table->count);
        return -KPAV_EINVAL;
    }
    mel_wear wear{le_get_u64(event + 968), le_get_u64(event + 976), le_get_u64(event + 984)};
    switch (type) {
        case 1: {
            for (ULONG i = 0; i < EB_PAD_INDEXES; i++) {
                UCHAR level = event[8 + i];
                if (level != 0) {
                    ebinfo_record_pad_error(channel, (USHORT)eb, i, (UCHAR)(level | 0x80));
                }
            }
            int rc = mel_report_pad_errors(channel, (USHORT)eb, &wear);
            ebinfo_recompute_eb(channel, (USHORT)eb);
            return rc < 0 ? rc : 0;
        }
        case 2:
        case 3:
        case 4:
            return 0;
        case 5: {
            eb_info* info = ebinfo_get(channel, (USHORT)eb);
            ExAcquireFastMutex(&mel->mutex);
            bool holds_copy = eb == mel->eb[0] || eb == mel->eb[1];
            int result = 0;
            ULONG n = 0;
            for (ULONG i = 0; i < EB_PAD_INDEXES; i++) {
                n += le_get_u16(event + 8 + 2 * i) != 0xFFFF ? 1 : 0;
            }
            if (holds_copy) {
                for (ULONG i = 0; i < EB_PAD_INDEXES; i++) {
                    USHORT index = le_get_u16(event + 8 + 2 * i);
                    if (index == 0xFFFF || index >= EB_PAD_INDEXES) {
                        continue;
                    }
                    ULONG bank = index / mel->chips_per_bank;
                    if (bank < EB_MAX_BANKS) {
                        info->banks[bank].saved_mask &= ~(1u << (index % mel->total_pads));
                    }
                }
                mel->rewrite[eb == mel->eb[0] ? 0 : 1] = 1;
                result = ebinfo_check_usable_pads(channel, (USHORT)eb);
            }
            UCHAR* entity = nullptr;
            if (result == 0 && 26 + 4 * n <= MEL_ENTITY_MAX &&
                mel_entity_begin(mel, MEL_USER_PADS, 26 + 4 * n, &entity) == 0) {
                le_put_u16(entity + 4, (USHORT)eb);
                le_put_u64(entity + 6, le_get_u64(event + 992));
                le_put_u64(entity + 14, le_get_u64(event + 1000));
                le_put_u32(entity + 22, n);
                ULONG k = 0;
                for (ULONG i = 0; i < EB_PAD_INDEXES; i++) {
                    USHORT index = le_get_u16(event + 8 + 2 * i);
                    if (index != 0xFFFF) {
                        le_put_u16(entity + 26 + 4 * k, index);
                        le_put_u16(entity + 28 + 4 * k, (USHORT)i);
                        k++;
                    }
                }
                mel_entity_publish(mel, entity);
                if (!holds_copy && eb < mel->eb_count) {
                    for (ULONG i = 0; i < EB_PAD_INDEXES; i++) {
                        USHORT index = le_get_u16(event + 8 + 2 * i);
                        if (index != 0xFFFF && index < EB_PAD_INDEXES) {
                            int rc = retire_pad_locked(mel, (USHORT)eb, index % mel->chips_per_bank < mel->total_pads
                                                                               ? index
                                                                               : index - mel->total_pads);
                            result = rc < 0 ? rc : result;
                        }
                    }
                }
                int rc = add_wear_locked(mel, (USHORT)eb, &wear);
                result = rc < 0 ? rc : result;
                if (mel->write_hold == 0) {
                    rc = mel_write_locked(mel, holds_copy ? 1 : 0);
                    result = rc < 0 ? rc : result;
                }
            } else if (result == 0) {
                result = -KPAV_ENOMEM;
            }
            ExReleaseFastMutex(&mel->mutex);
            ebinfo_recompute_eb(channel, (USHORT)eb);
            return result < 0 ? result : 0;
        }
        case 6:
            return mel_log_counts_event(channel, le_get_u64(event + 8), le_get_u32(event + 16), le_get_u32(event + 20),
                                        le_get_u32(event + 24));
        default:
            return -KPAV_EINVAL;
    }
}

void mel_alert_leb(nand_dev* channel, USHORT eb, int report) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    mel_record* mel = mel_of(channel);
    if (mel == nullptr) {
        return;
    }
    ULONG copy = eb == mel->eb[0] ? 0 : eb == mel->eb[1] ? 1 : 2;
    if (copy == 2) {
        kpav_print(KPAV_CLASS_ERROR, "%s: MEL alerted with invalid LEB %4u (%4u, %4u)\n", channel_name(channel), eb,
                   mel->eb[0], mel->eb[1]);
        return;
    }
    if (report == 0) {
        return;
    }
    ULONG bitmap[EB_PAD_WORDS] = {};
    ebinfo_error_snapshot(channel, eb, bitmap);
    ULONG n = pad_mask_weight(bitmap);
    if (n != 0) {
        const eb_info* info = ebinfo_get(channel, eb);
        UCHAR* entity = nullptr;
        if (10 + 8 * n <= MEL_ENTITY_MAX && mel_entity_begin(mel, MEL_PAD_ERRORS, 10 + 8 * n, &entity) == 0) {
            le_put_u16(entity + 4, eb);
            le_put_u32(entity + 6, n);
            ULONG k = 0;
            for (ULONG i = 0; i < EB_PAD_INDEXES; i++) {
                if ((bitmap[i / 32] >> (i % 32) & 1) != 0) {
                    UCHAR* e = entity + 10 + 8 * k++;
                    le_put_u16(e, (USHORT)i);
                    le_put_u16(e + 2, eb);
                    le_put_u32(e + 4, (ULONG)info->detail[i] << 16 | info->error_level[i]);
                }
            }
            mel_entity_publish(mel, entity);
        }
        if (mel_entity_begin(mel, MEL_RETIRED_PADS, 66, &entity) == 0) {
            le_put_u16(entity + 4, eb);
            for (ULONG w = 0; w < EB_PAD_WORDS; w++) le_put_u32(entity + 6 + 4 * w, bitmap[w]);
            mel_entity_publish(mel, entity);
        }
    }
    mel->rewrite[copy] = 1;
    eb_info* info = ebinfo_get(channel, eb);
    for (ULONG i = 0; i < EB_PAD_INDEXES && info != nullptr; i++) {
        if ((bitmap[i / 32] >> (i % 32) & 1) != 0 && mel->chips_per_bank != 0) {
            ULONG bank = i / mel->chips_per_bank;
            if (bank < EB_MAX_BANKS) {
                InterlockedAnd((volatile LONG*)&info->banks[bank].saved_mask, ~(LONG)(1u << (i % mel->total_pads)));
            }
        }
    }
    ebinfo_check_usable_pads(channel, eb);
}

int mel_get_entries(nand_dev* channel, const char* identity, UCHAR* buffer, ULONG length) {
    PAGED_CODE();
    mel_record* mel = mel_of(channel);
    if (mel == nullptr || length < 4) {
        return -KPAV_EINVAL;
    }
    ExAcquireFastMutex(&mel->mutex);
    ULONG64 total = MEL_ENTRIES_HEAD_BYTES;
    for (mel_chunk* c = (mel_chunk*)ReadPointerAcquire((PVOID*)&mel->head); c != nullptr;
         c = (mel_chunk*)ReadPointerAcquire((PVOID*)&c->next)) {
        total += (ULONG)ReadAcquire(&c->used);
    }
    int rc = 0;
    if (total > length) {
        le_put_u32(buffer, (ULONG)(total + 4096));
        rc = -KPAV_ENOSPC;
    } else {
        eb_table* table = ebinfo_table(channel);
        mel_header primary{};
        mel_header_decode(mel->header[0], &primary);
        UCHAR* p = buffer;
        le_put_u32(p, (ULONG)total);
        le_put_u32(p + 4, mel->total_pads);
        le_put_u32(p + 8, mel->planes);
        le_put_u32(p + 12, mel->banks);
        le_put_u32(p + 16, table->count);
        le_put_u32(p + 20, 4);
        le_put_u32(p + 24, primary.day);
        RtlZeroMemory(p + 28, MEL_IDENTITY_BYTES);
        for (ULONG i = 0; identity != nullptr && i + 1 < MEL_IDENTITY_BYTES && identity[i] != 0; i++) {
            p[28 + i] = (UCHAR)identity[i];
        }
        le_put_u32(p + 157, mel->eb[0]);
        le_put_u32(p + 161, mel->eb[1]);
        ULONG64 at = MEL_ENTRIES_HEAD_BYTES;
        for (mel_chunk* c = (mel_chunk*)ReadPointerAcquire((PVOID*)&mel->head); c != nullptr;
             c = (mel_chunk*)ReadPointerAcquire((PVOID*)&c->next)) {
            ULONG used = (ULONG)ReadAcquire(&c->used);
            if (at + used > total) {
                used = (ULONG)(total - at);  // entities alerted meanwhile wait for the next call
            }
            RtlCopyMemory(buffer + at, c->data, used);
            at += used;
        }
    }
    ExReleaseFastMutex(&mel->mutex);
    return rc;
}
