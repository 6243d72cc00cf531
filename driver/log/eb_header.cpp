#include "driver/log/eb_header.h"

#include "driver/pipeline/ebinfo.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"

namespace {

constexpr ULONG CRC32K_REFLECTED = 0xEB31D82Eu;  // 0x741B8CD7 bit-reversed

struct crc_table {
    ULONG entries[256];
    constexpr crc_table() : entries() {
        for (ULONG i = 0; i < 256; i++) {
            ULONG r = i;
            for (int bit = 0; bit < 8; bit++) {
                r = (r & 1) != 0 ? (r >> 1) ^ CRC32K_REFLECTED : r >> 1;
            }
            entries[i] = r;
        }
    }
};

constexpr crc_table crc_entries;
static_assert(crc_entries.entries[128] == 0xEB31D82Eu);

constexpr USHORT SCRAMBLED_CHECK = 3;

ULONG64 load64(const UCHAR* p) {
    ULONG64 v;
    RtlCopyMemory(&v, p, sizeof(v));
    return v;
}

void store64(UCHAR* p, ULONG64 v) {
    RtlCopyMemory(p, &v, sizeof(v));
}

// Which form a header's first four bytes take: 1 scrambled, 0 plain, -22 neither, -2 erased.
int header_form(const UCHAR* raw) {
    if (raw[0] == 0xFF && raw[1] == 0xFF && raw[2] == 0xFF && raw[3] == 0xFF) {
        return -KPAV_ENOENT;
    }
    USHORT seed = (USHORT)(raw[0] | raw[1] << 8);
    USHORT check = (USHORT)(raw[2] | raw[3] << 8);
    if (seed == (USHORT)(check ^ SCRAMBLED_CHECK)) {
        return 1;
    }
    if (seed == (USHORT)~check) {
        return 0;
    }
    return -KPAV_EINVAL;
}

}  // namespace

ULONG crc32k_update(ULONG r, const void* data, ULONG length) {
    const UCHAR* p = (const UCHAR*)data;
    for (ULONG i = 0; i < length; i++) {
        r = crc_entries.entries[(r ^ p[i]) & 0xFF] ^ (r >> 8);
    }
    return r;
}

ULONG crc32k(const void* data, ULONG length) {
    return ~crc32k_update(0xFFFFFFFFu, data, length);
}

ULONG64 eb_keystream_word(ULONG x) {
    ULONG state = x & 0x7FFF;
    ULONG64 word = 0;
    for (int i = 0; i < 64; i++) {
        ULONG bit = state & 1;
        word |= (ULONG64)bit << i;
        state >>= 1;
        if (bit != 0) {
            state ^= 0x7BD8;
        }
    }
    return word;
}

void eb_scramble_region(UCHAR* region, ULONG length, ULONG seed) {
    if (length <= 4) {
        return;
    }
    // Bytes 4-7 take the upper half of W(seed), every later 8 bytes a whole word.
    ULONG64 first = eb_keystream_word(seed & 0x7FFF);
    ULONG head_end = length < 8 ? length : 8;
    for (ULONG k = 4; k < head_end; k++) {
        region[k] ^= (UCHAR)(first >> (8 * k));
    }
    ULONG k = 8;
    for (; k + 8 <= length; k += 8) {
        store64(region + k, load64(region + k) ^ eb_keystream_word((seed + k / 8) & 0x7FFF));
    }
    if (k < length) {
        ULONG64 word = eb_keystream_word((seed + k / 8) & 0x7FFF);
        for (ULONG m = 0; k + m < length; m++) {
            region[k + m] ^= (UCHAR)(word >> (8 * m));
        }
    }
}

void eb_header_fill(eb_header* header, USHORT seed, bool plain, UCHAR header_state, USHORT eb, ULONG pad_mask,
                    ULONG erase_time, ULONG erase_count, ULONG data_start, ULONG ecc_chunk_size) {
    RtlFillMemory(header, sizeof(*header), EB_HEADER_FILL);
    header->seed = seed;
    header->check = plain ? (USHORT)~seed : (USHORT)(seed ^ SCRAMBLED_CHECK);
    if (header_state == EB_HEADER_ERASED) {
        header->version = 3;
    } else if (header_state == EB_HEADER_WRITTEN) {
        header->version = 4;
    }
    header->eb = eb;
    header->pad_mask = pad_mask & 0x3FFFFFFFu;
    header->magic = EB_HEADER_MAGIC;
    header->erase_time = erase_time;
    header->erase_count = erase_count;
    header->data_start = data_start;
    header->ecc_chunk_size = (USHORT)ecc_chunk_size;
    header->zero = 0;
}

void eb_header_build(const eb_header* header, UCHAR* buffer, ULONG packet_size, ULONG ecc_chunk_size, bool plain) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_header h = *header;
    h.crc = ~crc32k(&h, offsetof(eb_header, crc));
    RtlCopyMemory(buffer, &h, sizeof(h));
    RtlMoveMemory(buffer + EB_HEADER_SIZE, buffer + EB_HEADER_PAYLOAD_OFFSET, packet_size - EB_HEADER_SIZE);
    RtlCopyMemory(buffer + packet_size, &h, sizeof(h));
    if (!plain) {
        eb_scramble_region(buffer, packet_size, h.seed);
        eb_scramble_region(buffer + packet_size, ecc_chunk_size, h.seed);
    }
}

int eb_header_write(nand_dev* channel, USHORT eb, UCHAR* buffer) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    const eb_info* info = ebinfo_get(channel, eb);
    if (info == nullptr) {
        return -KPAV_EINVAL;
    }
    const store_geometry& g = table->geometry;
    if (g.ecc_chunk_size < EB_HEADER_SIZE || g.packet_size < EB_HEADER_PAYLOAD_OFFSET) {
        return -KPAV_EINVAL;  // the copy and the payload move would not fit the buffer
    }
    eb_header header;
    bool plain = ReadNoFence(&eb_headers_plain) != 0;
    eb_header_fill(&header, info->seed, plain, info->header_state, eb, info->banks[0].raw_mask, info->erase_time,
                   (ULONG)info->erase_count, table->layout.data_start, g.ecc_chunk_size);
    eb_header_build(&header, buffer, g.packet_size, g.ecc_chunk_size, plain);
    return 0;
}

int eb_header_decode(eb_header* out, const UCHAR* raw) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    int form = header_form(raw);
    if (form < 0) {
        return form;
    }
    UCHAR copy[EB_HEADER_SIZE];
    RtlCopyMemory(copy, raw, sizeof(copy));
    if (form == 1) {
        eb_scramble_region(copy, sizeof(copy), (ULONG)(copy[0] | copy[1] << 8));
    }
    RtlCopyMemory(out, copy, sizeof(copy));
    if (crc32k(copy, offsetof(eb_header, crc)) != (ULONG)~out->crc) {
        return -KPAV_EINVAL;
    }
    if ((out->version != 3 && out->version != 4) || out->magic != EB_HEADER_MAGIC) {
        return -KPAV_EINVAL;
    }
    return 0;
}

int eb_first_packet_decode(UCHAR* buffer, ULONG packet_size, ULONG ecc_chunk_size) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    int form = header_form(buffer);
    if (form < 0) {
        return form;
    }
    if (packet_size < EB_HEADER_PAYLOAD_OFFSET || ecc_chunk_size < EB_HEADER_SIZE) {
        return -KPAV_EINVAL;
    }
    if (form == 1) {
        ULONG seed = (ULONG)(buffer[0] | buffer[1] << 8);
        eb_scramble_region(buffer, packet_size, seed);
        eb_scramble_region(buffer + packet_size, ecc_chunk_size, seed);
    }
    RtlMoveMemory(buffer + EB_HEADER_PAYLOAD_OFFSET, buffer + EB_HEADER_SIZE, packet_size - EB_HEADER_SIZE);
    return 0;
}

ULONG eb_header_pad_mask(const eb_header* header) {
    return header->pad_mask & 0x3FFFFFFFu;
}

int eb_header_apply(nand_dev* channel, USHORT eb, const eb_header* header) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    eb_table* table = ebinfo_table(channel);
    eb_info* info = ebinfo_get(channel, eb);
    if (info == nullptr || (header->version != 3 && header->version != 4)) {
        return -KPAV_EINVAL;
    }
    info->seed = header->seed;
    if (!table->geometry.erased_state) {
        info->header_state = EB_HEADER_NONE;
        return -KPAV_EINVAL;
    }
    info->header_state = header->version == 3 ? EB_HEADER_ERASED : EB_HEADER_WRITTEN;
    info->banks[0].raw_mask = eb_header_pad_mask(header);
    ebinfo_recompute_bank(channel, eb, 0);
    return 0;
}
