// The erase-block map on the media: writing a copy in full or appending to it, programming its
// segments, and loading the map back at bring-up from whichever copy is whole.
#include "driver/log/eb_header.h"
#include "driver/log/eb_media.h"
#include "driver/log/mel.h"
#include "driver/log/mel_internal.h"
#include "driver/pipeline/builders.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/little_endian.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"

namespace {

const char* name_of(const mel_record* mel) {
    return channel_name(mel->channel);
}

const store_geometry& geometry_of(const mel_record* mel) {
    return ebinfo_table(mel->channel)->geometry;
}

int read_segment(mel_record* mel, USHORT eb, ULONG segment, UCHAR* buffer, ULONG length) {
    media_address address{};
    address.eb = eb;
    address.offset = eb_segment_offset(mel->channel, eb, segment);
    return media_read_raw(mel->channel, &address, buffer, length, 0, nullptr, nullptr, nullptr);
}

// Programs the copy's next segment from `buffer`: 0; -KPAV_EAGAIN when the copy must be rewritten
// (its rewrite flag was raised meanwhile); -KPAV_ENOSPC when the copy is now full; else the
// program's or the read-back's error.
int program_segment(mel_record* mel, ULONG copy, const UCHAR* buffer) {
    nand_dev* channel = mel->channel;
    USHORT eb = mel->eb[copy];
    ULONG segments = geometry_of(mel).segments_per_eb;
    if (mel->next_segment[copy] >= segments) {
        return -KPAV_ENOSPC;
    }
    ULONG segment = mel->next_segment[copy]++;
    ULONG length = eb_segment_length(channel, eb, segment);
    int rc = eb_program_segments(channel, eb, segment, 1, buffer);
    if (rc != 0) {
        return rc;
    }
    if (mel->readback_buffer != nullptr) {
        rc = read_segment(mel, eb, segment, mel->readback_buffer, length);
        if (rc != 0) {
            return rc;
        }
    }
    if (mel->rewrite[copy] != 0) {
        return -KPAV_EAGAIN;
    }
    return mel->next_segment[copy] >= segments ? -KPAV_ENOSPC : 0;
}

// The usable length of the copy's next segment, passing over segments of banks out of use.
ULONG next_segment_length(mel_record* mel, ULONG copy) {
    ULONG segments = geometry_of(mel).segments_per_eb;
    while (mel->next_segment[copy] < segments) {
        ULONG length = eb_segment_length(mel->channel, mel->eb[copy], mel->next_segment[copy]);
        if (length != 0) {
            return length;
        }
        mel->next_segment[copy]++;
    }
    return 0;
}

// Appends the entities the copy lacks, then the end marker; programs whole segments as they fill
// and what is left (never an empty rest).
int append_entities(mel_record* mel, ULONG copy) {
    LONG count = 0;
    kpav_spin_lock(&mel->list_lock);
    mel_cursor end{mel->tail, mel->tail != nullptr ? (ULONG)mel->tail->used : 0};
    count = mel->entity_count;
    kpav_spin_unlock(&mel->list_lock);
    mel_cursor at = mel->cursor[copy];
    if (at.chunk == nullptr) {
        at.chunk = (mel_chunk*)ReadPointerAcquire((PVOID*)&mel->head);
        at.offset = 0;
    }
    if (at.chunk == end.chunk && at.offset == end.offset) {
        return 0;
    }
    UCHAR* buffer = mel->write_buffer;
    ULONG length = next_segment_length(mel, copy);
    if (length == 0 || length > mel->buffer_bytes) {
        return -KPAV_ENOSPC;
    }
    ULONG filled = 0;
    RtlFillMemory(buffer, length, 0xFF);
    auto put = [&](const UCHAR* bytes, ULONG size) -> int {
        while (size > 0) {
            ULONG take = length - filled < size ? length - filled : size;
            RtlCopyMemory(buffer + filled, bytes, take);
            filled += take;
            bytes += take;
            size -= take;
            if (filled == length) {
                int rc = program_segment(mel, copy, buffer);
                if (rc != 0) {
                    return rc;
                }
                length = next_segment_length(mel, copy);
                if (length == 0 || length > mel->buffer_bytes) {
                    return -KPAV_ENOSPC;
                }
                filled = 0;
                RtlFillMemory(buffer, length, 0xFF);
            }
        }
        return 0;
    };
    for (mel_chunk* chunk = at.chunk; chunk != nullptr;) {
        ULONG stop = chunk == end.chunk ? end.offset : (ULONG)ReadAcquire(&chunk->used);
        if (stop > at.offset) {
            int rc = put(chunk->data + at.offset, stop - at.offset);
            if (rc != 0) {
                return rc;
            }
        }
        if (chunk == end.chunk) {
            break;
        }
        chunk = (mel_chunk*)ReadPointerAcquire((PVOID*)&chunk->next);
        at.offset = 0;
    }
    UCHAR marker[8];
    le_put_u16(marker, MEL_END);
    le_put_u16(marker + 2, 8);
    le_put_u32(marker + 4, (ULONG)count);
    // The marker's last byte ends a segment: the put programmed it, and nothing is left.
    int rc = put(marker, sizeof marker);
    if (rc == 0 && filled != 0) {
        rc = program_segment(mel, copy, buffer);
    }
    if (rc == 0) {
        mel->cursor[copy] = end;
    }
    return rc;
}

void bank_masks(nand_dev* channel, USHORT eb, ULONG masks[2 * EB_MAX_BANKS]) {
    const eb_info* info = ebinfo_get(channel, eb);
    for (ULONG b = 0; b < EB_MAX_BANKS; b++) {
        masks[2 * b] = info != nullptr ? info->banks[b].raw_mask : 0;
        masks[2 * b + 1] = info != nullptr ? info->banks[b].effective_mask : 0;
    }
}

// Reads the block's header when no read of it was tried since the card started: the block's seed
// must be known before its old contents are check-read for the tail fill.
void learn_header(mel_record* mel, USHORT eb) {
    nand_dev* channel = mel->channel;
    const eb_info* info = ebinfo_get(channel, eb);
    if (info == nullptr || (info->header_flags & EB_HFLAG_TRIED) != 0) {
        return;
    }
    auto* pads = (UCHAR*)kpav_alloc(eb_header_pads_buffer_size(channel), KPAV_TAG_VML);
    auto* confirm = (UCHAR*)kpav_alloc(eb_header_confirm_size(channel), KPAV_TAG_VML);
    if (pads != nullptr && confirm != nullptr) {
        eb_header_read(channel, eb, pads, confirm);
    }
    kpav_free_if(pads, KPAV_TAG_VML);
    kpav_free_if(confirm, KPAV_TAG_VML);
}

// The full rewrite of one copy.
int write_copy(mel_record* mel, ULONG copy) {
    nand_dev* channel = mel->channel;
    USHORT eb = mel->eb[copy];
    eb_info* info = ebinfo_get(channel, eb);
    if (info == nullptr) {
        kpav_print(KPAV_CLASS_ERROR, "%s: MEL copy %u is not valid.\n", name_of(mel), (unsigned)copy);
        return -KPAV_EINVAL;
    }
    if (mel->valid[copy] != 0 && (mel->valid[0] == 0 || mel->valid[1] == 0)) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Too few valid copies of EB map.\n", name_of(mel));
        return -KPAV_EROFS;
    }
    if (mel->write_buffer == nullptr) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Inadequate memory available - MEL.\n", name_of(mel));
        return -KPAV_ENOMEM;
    }
    int rc = ebinfo_check_usable_pads(channel, eb);
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: MEL copy %d unmapped.\n", name_of(mel), (int)copy);
        return rc;
    }
    mel->valid[copy] = 0;
    mel->rewrite[copy] = 0;
    learn_header(mel, eb);
    rc = eb_fill_unwritten_tail(channel, eb, true);
    if (rc != 0) {
        return rc;
    }
    erase_result result{};
    rc = request_erase_sync(channel, eb, &result, 0);
    if (rc != 0) {
        return rc;
    }
    // The 480-bit record of pads that failed to erase: the seven words, then the status word.
    const eb_table* table = ebinfo_table(channel);
    ULONG chips = mel->chips_per_bank != 0 ? mel->chips_per_bank : 1;
    for (ULONG i = 0; i < EB_PAD_INDEXES; i++) {
        bool failed = i < 448 ? (result.values[i / 64] >> (i % 64) & 1) != 0 : (result.status >> (i - 448) & 1) != 0;
        if (failed && i / chips < table->geometry.banks && mel->total_pads != 0) {
            info->banks[i / chips].saved_mask &= ~(1u << (i % mel->total_pads));
        }
    }
    ebinfo_prepare_erased(channel, eb);

    const store_geometry& g = table->geometry;
    ULONG length = eb_segment_length(channel, eb, 0);
    ULONG at = g.packet_size + g.ecc_chunk_size;
    if (length == 0 || length > mel->buffer_bytes || at + MEL_HEADER_BYTES > length) {
        return -KPAV_EINVAL;
    }
    UCHAR* image = mel->write_buffer;
    RtlZeroMemory(image, length);
    mel_header header{};
    header.version = MEL_VERSION;
    header.primary = mel->eb[0];
    header.shadow = mel->eb[1];
    header.chips_per_bank = mel->chips_per_bank;
    header.banks = mel->banks;
    header.planes = mel->planes;
    header.eb_count = mel->eb_count;
    header.day = mel_today();
    bank_masks(channel, eb, header.masks);
    mel_header_encode(image + at, &header);
    RtlCopyMemory(mel->header[copy], image + at, MEL_HEADER_BYTES);
    rc = eb_header_write(channel, eb, image);
    if (rc != 0) {
        return rc;
    }
    mel->next_segment[copy] = 0;
    rc = program_segment(mel, copy, image);
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Program error detected writing MEL header copy %u (%d).\n", name_of(mel),
                   (unsigned)copy, rc);
        return rc;
    }
    mel->cursor[copy] = mel_cursor{};
    rc = append_entities(mel, copy);
    if (rc == 0) {
        mel->valid[copy] = 1;
    }
    return rc;
}

// A block for a copy without one: the lowest of the first 100 that is not the other copy's
// and not mapped out. EB_NONE when there is none.
USHORT pick_copy_block(mel_record* mel, ULONG copy) {
    eb_table* table = ebinfo_table(mel->channel);
    ULONG limit = table->count < MEL_SEARCH_BLOCKS ? table->count : MEL_SEARCH_BLOCKS;
    for (ULONG eb = 0; eb < limit; eb++) {
        if (eb == mel->eb[1 - copy] || table->info[eb].mel_mark == EB_MEL_MAPPED_OUT) {
            continue;
        }
        return (USHORT)eb;
    }
    return EB_NONE;
}

void assign_blocks(mel_record* mel) {
    if (mel->no_map == 0) {
        return;
    }
    for (ULONG copy = 0; copy < 2; copy++) {
        if (mel->eb[copy] != EB_NONE) {
            continue;
        }
        mel->eb[copy] = pick_copy_block(mel, copy);
        eb_info* info = ebinfo_get(mel->channel, mel->eb[copy]);
        if (info != nullptr) {
            info->mel_mark = EB_MEL_COPY;
        }
    }
}

// Up to 32 attempts at one copy: 0 or the last attempt's error.
int write_attempts(mel_record* mel, ULONG copy, bool always_full) {
    int rc = -KPAV_EIO;
    bool failed = false;
    for (ULONG attempt = 0; attempt < MEL_WRITE_ATTEMPTS; attempt++) {
        bool full = always_full || failed || mel->no_map != 0 || mel->valid[copy] == 0;
        rc = full ? write_copy(mel, copy) : append_entities(mel, copy);
        if (rc == 0) {
            return 0;
        }
        failed = true;
    }
    return rc;
}

int read_header_into(mel_record* mel, USHORT eb, UCHAR* image);

}  // namespace

int mel_write_locked(mel_record* mel, int full) {
    PAGED_CODE();
    assign_blocks(mel);
    write_attempts(mel, 0, full != 0);
    int rc = write_attempts(mel, 1, full != 0);
    if (rc != 0) {
        mel_report_write_failure(mel);
    } else {
        mel_set_no_map(mel, false);
    }
    return 0;
}

int mel_refresh(nand_dev* channel) {
    PAGED_CODE();
    mel_record* mel = mel_of(channel);
    if (mel == nullptr) {
        return -KPAV_EINVAL;
    }
    mel_header primary{};
    if (mel_header_decode(mel->header[0], &primary) == 0 && mel_today() < primary.day + MEL_REFRESH_DAYS) {
        return 0;
    }
    ExAcquireFastMutex(&mel->mutex);
    assign_blocks(mel);
    write_attempts(mel, 0, true);
    int rc = write_attempts(mel, 1, true);
    if (rc != 0) {
        mel_report_write_failure(mel);
    } else {
        mel_set_no_map(mel, false);
    }
    ExReleaseFastMutex(&mel->mutex);
    return 0;
}

// ---- Loading

namespace {

// Reads the copy header of `eb` (after its block header) into `image` and checks it against the
// card: 0, the block header read's error, -KPAV_EIO when the header cannot be read, -KPAV_EINVAL
// for no map header, another card's geometry or a header that does not name this block.
int read_header_into(mel_record* mel, USHORT eb, UCHAR* image) {
    nand_dev* channel = mel->channel;
    ULONG pads_size = eb_header_pads_buffer_size(channel);
    ULONG confirm_size = eb_header_confirm_size(channel);
    auto* pads = (UCHAR*)kpav_alloc(pads_size, KPAV_TAG_VML);
    auto* confirm = (UCHAR*)kpav_alloc(confirm_size, KPAV_TAG_VML);
    int rc = pads != nullptr && confirm != nullptr ? eb_header_read(channel, eb, pads, confirm) : -KPAV_ENOMEM;
    kpav_free_if(pads, KPAV_TAG_VML);
    kpav_free_if(confirm, KPAV_TAG_VML);
    if (rc != 0) {
        return rc;
    }
    const store_geometry& g = geometry_of(mel);
    media_address address{};
    address.eb = eb;
    address.offset = g.packet_size + g.ecc_chunk_size;
    UCHAR* bytes = mel->readback_buffer;
    if (media_read_raw(channel, &address, bytes, MEL_HEADER_BYTES, 0, nullptr, nullptr, nullptr) != 0) {
        return -KPAV_EIO;
    }
    eb_info* info = ebinfo_get(channel, eb);
    if (info->condition < EB_COND_MGMT_READ || info->condition == EB_COND_BLANK) {
        info->condition = EB_COND_MGMT_READ;
    }
    mel_header header;
    if (mel_header_decode(bytes, &header) != 0) {
        return -KPAV_EINVAL;
    }
    eb_table* table = ebinfo_table(channel);
    const struct {
        const char* format;
        ULONG stored;
        ULONG device;
    } checks[] = {
        {"%s: MEL has geometry mismatch num planes %d != %d\n", header.planes, mel->planes},
        {"%s: MEL has geometry mismatch chips_per_bank %d != %d\n", header.chips_per_bank, mel->chips_per_bank},
        {"%s: MEL has geometry mismatch num banks %d != %d\n", header.banks, mel->banks},
        {"%s: MEL has geometry mismatch num blocks %d != %d\n", header.eb_count, table->count},
    };
    for (const auto& check : checks) {
        if (check.stored != check.device) {
            kpav_print(KPAV_CLASS_ERROR, check.format, name_of(mel), (int)check.stored, (int)check.device);
            return -KPAV_EINVAL;
        }
    }
    if (header.primary != eb && header.shadow != eb) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Failed to load MEL header in block %u - EB mismatch.\n", name_of(mel),
                   (unsigned)eb);
        return -KPAV_EINVAL;
    }
    for (ULONG b = 0; b < mel->banks && b < EB_MAX_BANKS; b++) {
        info->banks[b].raw_mask = header.masks[2 * b];
        ebinfo_recompute_bank(channel, eb, b);
        info->banks[b].saved_mask = info->banks[b].raw_mask;
    }
    RtlCopyMemory(image, bytes, MEL_HEADER_BYTES);
    return 0;
}

// The copy's entity count from its end marker (and its next segment), or a negative value: -1
// when the last written segment does not end in a marker, or a check read's error.
LONG64 find_end(mel_record* mel, USHORT eb, USHORT* out_next) {
    nand_dev* channel = mel->channel;
    ULONG segments = geometry_of(mel).segments_per_eb;
    ULONG last = 0;  // 0: none written
    ULONG previous = 0;
    ULONG s = 1;
    for (; s < segments; s++) {
        if (eb_segment_length(channel, eb, s) == 0) {
            continue;
        }
        int rc = media_page_check_read(channel, eb, s);
        if (rc == 1) {
            break;
        }
        if (rc != 0) {
            return rc;
        }
        previous = last;
        last = s;
    }
    eb_info* info = ebinfo_get(channel, eb);
    if (last == 0) {
        *out_next = 1;
        return 0;
    }
    info->last_written_segment = (USHORT)last;
    ebinfo_raise_condition(channel, eb, s >= segments ? EB_COND_FULL : EB_COND_MEL_PARTIAL);
    ULONG length = eb_segment_length(channel, eb, last);
    UCHAR* bytes = mel->readback_buffer;
    if (read_segment(mel, eb, last, bytes, length) != 0) {
        return -1;
    }
    ULONG end = length;
    while (end > 0 && bytes[end - 1] == 0xFF) {
        end--;
    }
    LONG64 count;
    if (end >= 8 || previous == 0) {
        count = mel_marker_count(bytes, end);
    } else {
        // The marker began in the segment before: its tail and this segment's head together.
        UCHAR joined[16];
        RtlCopyMemory(joined + 8, bytes, end);
        ULONG before = eb_segment_length(channel, eb, previous);
        if (before < 8 || read_segment(mel, eb, previous, bytes, before) != 0) {
            return -1;
        }
        RtlCopyMemory(joined, bytes + before - 8, 8);
        count = mel_marker_count(joined, 8 + end);
    }
    if (count < 0) {
        return -1;
    }
    *out_next = (USHORT)(last + 1);
    return count;
}

struct read_context {
    mel_record* mel;
};

int store_entity(void* context, USHORT kind, const UCHAR* entity, ULONG size) {
    mel_record* mel = ((read_context*)context)->mel;
    ULONG kept = mel_entity_kept_size(kind, size);
    UCHAR* stored = nullptr;
    if (mel_entity_begin(mel, kind, kept, &stored) != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Inadequate memory available - MEL entity.\n", name_of(mel));
        return -KPAV_ENOMEM;
    }
    RtlCopyMemory(stored + 4, entity + 4, (size < kept ? size : kept) - 4);
    mel_entity_publish(mel, stored);
    if ((kind >> 8) == 1) {
        int rc = mel_apply_entity(mel, kind, stored, kept);
        if (rc != 0) {
            kpav_print(KPAV_CLASS_ERROR, "%s: MEL cannot apply action (%d).\n", name_of(mel), rc);
        }
    } else if (kind == MEL_COUNTS && kept >= 24) {
        InterlockedIncrement(&mel->count_events);
        eb_table* table = ebinfo_table(mel->channel);
        for (ULONG i = 0; i < 3; i++) {
            InterlockedExchangeAdd((volatile LONG*)&table->error_totals[i], (LONG)le_get_u32(stored + 12 + 4 * i));
        }
    }
    return 0;
}

int read_entities(mel_record* mel, USHORT eb) {
    nand_dev* channel = mel->channel;
    auto* stream = (mel_stream*)kpav_alloc(sizeof(mel_stream), KPAV_TAG_MAL);
    if (stream == nullptr) {
        return -KPAV_ENOMEM;
    }
    mel_stream_init(stream);
    read_context context{mel};
    ULONG segments = geometry_of(mel).segments_per_eb;
    int rc = 0;
    for (ULONG s = 1; s < segments && rc == 0; s++) {
        ULONG length = eb_segment_length(channel, eb, s);
        if (length == 0) {
            continue;
        }
        int status = read_segment(mel, eb, s, mel->readback_buffer, length);
        if (status == PAV_ERASED_MEDIA) {
            break;
        }
        if (status != 0) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Error (%d) reading %u bytes from MEL @ %u:%u (%u:%llu).\n", name_of(mel),
                       status, length, (unsigned)eb, (unsigned)s, (unsigned)eb,
                       (unsigned long long)eb_segment_offset(channel, eb, s));
            rc = status;
            break;
        }
        rc = mel_stream_feed(stream, mel->readback_buffer, length, store_entity, &context, name_of(mel));
    }
    kpav_free(stream, KPAV_TAG_MAL);
    return rc;
}

// Rewrites the copy that was not selected, then any copy flagged or nearly full.
int sync_copies(mel_record* mel, ULONG selected) {
    ULONG other = 1 - selected;
    int rc = write_copy(mel, other);
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Cannot update copy %u of MEL block.\n", name_of(mel), (unsigned)other);
        return rc;
    }
    ULONG limit = geometry_of(mel).segments_per_eb - 1;
    for (ULONG copy = 0; copy < 2; copy++) {
        if (mel->rewrite[copy] == 0 && mel->next_segment[copy] < limit) {
            continue;
        }
        rc = write_copy(mel, copy);
        bool full = mel->next_segment[copy] >= limit;
        if (full) {
            kpav_print(KPAV_CLASS_WARNING, "Warning: cannot shrink MEL, failures may go unrecorded.\n");
        }
        if (full || rc != 0) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Cannot compact LEB copy %u.\n", name_of(mel), (unsigned)copy);
            return -KPAV_EIO;
        }
    }
    return 0;
}

}  // namespace

int mel_load(nand_dev* channel) {
    PAGED_CODE();
    mel_record* mel = mel_of(channel);
    if (mel == nullptr) {
        return -KPAV_EINVAL;
    }
    mel_reset(channel);
    ExAcquireFastMutex(&mel->mutex);
    eb_table* table = ebinfo_table(channel);
    ULONG limit = table->count < MEL_SEARCH_BLOCKS ? table->count : MEL_SEARCH_BLOCKS;
    UCHAR image[MEL_HEADER_BYTES];
    USHORT found = EB_NONE;
    int rc = -KPAV_ENOENT;
    for (ULONG eb = 0; eb < limit; eb++) {
        if (channel_failed(channel)) {
            rc = -1030;
            break;
        }
        rc = read_header_into(mel, (USHORT)eb, image);
        if (rc == 0) {
            found = (USHORT)eb;
            break;
        }
        if (rc == -1025) {
            break;
        }
    }
    if (found == EB_NONE) {
        if (rc != -1030 && rc != -1025) {
            kpav_print(KPAV_CLASS_ERROR, "%s: No MEL found.\n", channel_name(channel));
            rc = -KPAV_ENOENT;
        }
        ExReleaseFastMutex(&mel->mutex);
        return rc;
    }
    mel_header header;
    mel_header_decode(image, &header);
    // Copies the header names outside the card are none (never a block number cut to 16 bits).
    USHORT ebs[2] = {header.primary < table->count ? (USHORT)header.primary : EB_NONE,
                     header.shadow < table->count ? (USHORT)header.shadow : EB_NONE};
    if (ebs[1] == ebs[0]) {
        ebs[1] = EB_NONE;  // two copies never share a block: writing one would erase the other
    }
    bool usable[2] = {false, false};
    auto names_same_pair = [&](const UCHAR* other) {
        mel_header h;
        return mel_header_decode(other, &h) == 0 && h.primary == header.primary && h.shadow == header.shadow;
    };
    if (found == ebs[0]) {
        usable[0] = true;
        RtlCopyMemory(mel->header[0], image, MEL_HEADER_BYTES);
        UCHAR other[MEL_HEADER_BYTES];
        if (ebs[1] == EB_NONE || ebs[1] == ebs[0] || read_header_into(mel, ebs[1], other) != 0) {
            kpav_print(KPAV_CLASS_ERROR, "%s: Primary MEL block %u points to invalid shadow @ %u\n",
                       channel_name(channel), (unsigned)ebs[0], (unsigned)ebs[1]);
        } else if (!names_same_pair(other)) {
            kpav_print(KPAV_CLASS_ERROR,
                       "%s: Primary MEL block %u and shadow disagree as to MEL block locations; trusting primary.\n",
                       channel_name(channel), (unsigned)ebs[0]);
        } else {
            usable[1] = true;
            RtlCopyMemory(mel->header[1], other, MEL_HEADER_BYTES);
        }
    } else {
        usable[1] = true;
        RtlCopyMemory(mel->header[1], image, MEL_HEADER_BYTES);
        // A primary further on was not searched yet: it is read before it is given up.
        UCHAR other[MEL_HEADER_BYTES];
        if (ebs[0] != EB_NONE && ebs[0] > found && read_header_into(mel, ebs[0], other) == 0 &&
            names_same_pair(other)) {
            usable[0] = true;
            RtlCopyMemory(mel->header[0], other, MEL_HEADER_BYTES);
        } else {
            kpav_print(KPAV_CLASS_ERROR, "%s: First located MEL @ %u is *not* primary, assuming primary @ %u is corrupted.\n",
                       channel_name(channel), (unsigned)found, (unsigned)ebs[0]);
            RtlCopyMemory(mel->header[0], image, MEL_HEADER_BYTES);
        }
    }
    if (header.version < MEL_VERSION_MIN) {
        ExReleaseFastMutex(&mel->mutex);
        return -KPAV_EINVAL;
    }
    LONG64 counts[2] = {-1, -1};
    USHORT next[2] = {1, 1};
    for (ULONG c = 0; c < 2; c++) {
        if (usable[c] && ebs[c] != EB_NONE) {
            counts[c] = find_end(mel, ebs[c], &next[c]);
        }
    }
    if (counts[0] < 0 && counts[1] < 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Failed to read either copy of the MEL.\n", channel_name(channel));
        ExReleaseFastMutex(&mel->mutex);
        return -KPAV_EIO;
    }
    ULONG selected = counts[1] > counts[0] ? 1 : 0;
    bool differ = counts[0] != counts[1];
    if (differ) {
        counts[1 - selected] = -1;
        kpav_print(KPAV_CLASS_ERROR, "%s: MEL sizes differ, selected %d.\n", channel_name(channel), (int)selected);
    }
    rc = read_entities(mel, ebs[selected]);
    if (rc != 0 && counts[1 - selected] >= 0) {
        mel_list_clear(mel);
        selected = 1 - selected;
        counts[1 - selected] = -1;
        differ = true;
        rc = read_entities(mel, ebs[selected]);
    }
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: Unable to load MEL from any valid block.\n", channel_name(channel));
        mel_list_clear(mel);
        ExReleaseFastMutex(&mel->mutex);
        return rc;
    }
    mel->eb[0] = ebs[0];
    mel->eb[1] = ebs[1];
    for (ULONG c = 0; c < 2; c++) {
        if (mel->eb[c] == EB_NONE) {
            mel->eb[c] = pick_copy_block(mel, c);  // the copy the header could not place
        }
    }
    for (ULONG c = 0; c < 2; c++) {
        // A copy kept whose header names other blocks than the pair now in use is written again.
        mel_header named;
        if (usable[c] && (mel_header_decode(mel->header[c], &named) != 0 || named.primary != mel->eb[0] ||
                          named.shadow != mel->eb[1])) {
            mel->rewrite[c] = 1;
        }
    }
    for (ULONG c = 0; c < 2; c++) {
        eb_info* info = ebinfo_get(channel, mel->eb[c]);
        if (info != nullptr) {
            info->mel_mark = EB_MEL_COPY;
        }
        mel->valid[c] = counts[c] >= 0 ? 1 : 0;
        mel->next_segment[c] = counts[c] >= 0 ? next[c] : 0;
    }
    mel_cursor end = mel_list_end(mel);
    mel->cursor[0] = mel->cursor[1] = end;
    rc = 0;
    if (differ) {
        rc = sync_copies(mel, selected);
    }
    for (ULONG eb = 0; eb < table->count && table->capacity_cache != nullptr; eb++) {
        table->capacity_cache[eb] = eb_capacity_slot{};
    }
    mel_set_no_map(mel, false);
    mel->cursor[0] = mel->cursor[1] = mel_list_end(mel);
    for (ULONG c = 0; c < 2; c++) {
        if (mel->rewrite[c] == 0) {
            continue;
        }
        for (ULONG attempt = 0; attempt < MEL_WRITE_ATTEMPTS; attempt++) {
            rc = write_copy(mel, c);
            if (rc == 0) {
                break;
            }
        }
    }
    ExReleaseFastMutex(&mel->mutex);
    return rc;
}
