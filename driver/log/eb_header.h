// The 48-byte header that opens every written erase block: the block's number, its wear, the
// seed of its data randomizer and the pad mask of bank 0, protected by a CRC and stored twice in
// the block's first packet, scrambled with the block's keystream unless headers are plain.
//
// First-packet buffer (packet size + ecc_chunk_size bytes): region 1 = [0, packet size) holds
// the header at 0-47 and then the payload the caller placed at offset 96, moved to 48; region 2
// = [packet size, packet size + ecc_chunk_size) starts with a second copy of the header. Each
// region is scrambled from its own byte 4 on.
#pragma once

#include "driver/platform/os.h"

struct nand_dev;

constexpr ULONG EB_HEADER_MAGIC = 0xFEEB1EF0u;
constexpr ULONG EB_HEADER_SIZE = 48;
constexpr ULONG EB_HEADER_PAYLOAD_OFFSET = 96;  // where the caller places the payload
constexpr UCHAR EB_HEADER_FILL = 0xA5;

#pragma pack(push, 1)
struct eb_header {
    USHORT seed;
    USHORT check;        // seed ^ 3 scrambled, ~seed plain
    USHORT version;      // 3 erased/opened, 4 written
    USHORT eb;
    ULONG pad_mask;      // bank 0's raw mask, bits 0-29
    ULONG magic;
    ULONG64 erase_time;  // Unix seconds
    ULONG erase_count;
    ULONG data_start;
    USHORT ecc_chunk_size;
    UCHAR zero;
    UCHAR fill[9];       // 0xA5
    ULONG crc;           // ~CRC-32K of bytes 0-43
};
#pragma pack(pop)
static_assert(sizeof(eb_header) == EB_HEADER_SIZE);
static_assert(offsetof(eb_header, pad_mask) == 8);
static_assert(offsetof(eb_header, magic) == 12);
static_assert(offsetof(eb_header, erase_time) == 16);
static_assert(offsetof(eb_header, erase_count) == 24);
static_assert(offsetof(eb_header, data_start) == 28);
static_assert(offsetof(eb_header, ecc_chunk_size) == 32);
static_assert(offsetof(eb_header, zero) == 34);
static_assert(offsetof(eb_header, crc) == 44);

// CRC-32K (polynomial 0x741B8CD7), reflected, init all ones; the stored value is the register
// inverted. Over "123456789": 0x2D3DD0AE.
ULONG crc32k(const void* data, ULONG length);
ULONG crc32k_update(ULONG register_value, const void* data, ULONG length);  // no final inversion

// The keystream word of a 15-bit value (W(0) = 0).
ULONG64 eb_keystream_word(ULONG x);
// XORs bytes [4, length) of a region with the keystream of `seed` (its own inverse).
void eb_scramble_region(UCHAR* region, ULONG length, ULONG seed);

// Fills `header` (0xA5 first, then the fields) from the values given; the CRC is not set.
void eb_header_fill(eb_header* header, USHORT seed, bool plain, UCHAR header_state, USHORT eb, ULONG pad_mask,
                    ULONG erase_time, ULONG erase_count, ULONG data_start, ULONG ecc_chunk_size);
// Lays out a first-packet buffer: header with its CRC at 0, payload moved from 96 to 48, the
// copy at `packet_size`; scrambles both regions unless `plain`.
void eb_header_build(const eb_header* header, UCHAR* buffer, ULONG packet_size, ULONG ecc_chunk_size, bool plain);
// The header of `eb` from its erase-block record laid into the first-packet buffer.
int eb_header_write(nand_dev* channel, USHORT eb, UCHAR* buffer);

// Decodes 48 raw bytes: 0; -KPAV_ENOENT when the first four are all ones (erased); -KPAV_EINVAL for
// a check word of neither form, a CRC mismatch, a version other than 3 or 4 or a wrong magic.
int eb_header_decode(eb_header* out, const UCHAR* raw);
// Unscrambles a first-packet buffer in place and moves the payload back to 96 (no CRC test):
// 0, -KPAV_ENOENT erased, -KPAV_EINVAL neither form.
int eb_first_packet_decode(UCHAR* buffer, ULONG packet_size, ULONG ecc_chunk_size);
ULONG eb_header_pad_mask(const eb_header* header);
// Takes a decoded header into the block's record: seed, header state, bank 0's raw mask (and
// its recomputation). -KPAV_EINVAL for a bad version, or when the erased-state switch is off.
int eb_header_apply(nand_dev* channel, USHORT eb, const eb_header* header);
