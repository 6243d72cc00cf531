// What the data log writes into an LEB: entries opened by a one-byte opcode, each on an 8-byte
// boundary; data and system packets fill whole packet slots of P bytes counted from the head
// reserve. A packet opens with an 8-byte header that carries a 56-bit logical address. Reserved
// system addresses name the log's own records. The erase-block index (ebi) summarises the
// entries of an erase block as a list of 64-bit words.
#pragma once

#include "driver/platform/os.h"

struct pav_log;

enum log_opcode : UCHAR {
    LOG_OP_EB_OPENER = 0x84,
    LOG_OP_EB_CLOSE = 0x85,       // the erase-block index record: length T
    LOG_OP_CHECKPOINT = 0x87,     // 40
    LOG_OP_MD_REGION = 0x88,      // P
    LOG_OP_MD_HEADER = 0x89,      // 40
    LOG_OP_LARGE_NOTE = 0x8A,     // 4104
    LOG_OP_MD_END = 0x8B,         // 48
    LOG_OP_EBI_OFFSET = 0x8C,     // only inside an ebi list
    LOG_OP_NOTE_D = 0x8D,         // P
    LOG_OP_MD_BLOCK = 0x8E,       // P
    LOG_OP_NOTE_F = 0x8F,         // P
    LOG_OP_DATA = 0x90,           // 0x90-0x9F: P
    LOG_OP_SYSTEM = 0xA0,         // 0xA0-0xAF: P
    LOG_OP_PAD_F3 = 0xF3,         // 8: fills up to the next packet boundary
    LOG_OP_PAD_F7 = 0xF7,         // 8: the same
    LOG_OP_SPACE_FA = 0xFA,       // 8: handed to the caller
    LOG_OP_EMPTY = 0xFF,          // 8: the rest of the LEB is empty
};

constexpr ULONG LOG_ENTRY_ALIGN = 8;
constexpr ULONG PKT_HEADER_SIZE = 8;
constexpr ULONG64 LOG_ADDR_MASK = 0x00FFFFFFFFFFFFFFull;  // 56 bits; all ones: no address
constexpr ULONG64 LOG_ADDR_NONE = LOG_ADDR_MASK;

// The classes 0x9x and 0xAx folded to 0x90 and 0xA0.
inline UCHAR log_opcode_fold(UCHAR opcode) {
    UCHAR high = opcode & 0xF0;
    return high == 0x90 || high == 0xA0 ? high : opcode;
}

// Length of an entry in bytes for a log of packet size P and tail reserve T: 0, or -KPAV_EINVAL for
// an opcode that has none (0x84 and 0x8C included: the reader never walks them).
int log_entry_length_of(UCHAR opcode, ULONG packet_size, ULONG tail_reserve, ULONG* out);
int log_entry_length(const pav_log* log, UCHAR opcode, ULONG* out);

// The packet header: opcode; byte 1 address bits 48-55; bytes 2-3 LE bits 32-47; bytes 4-7 LE
// bits 0-31.
void pkt_header_encode(UCHAR out[PKT_HEADER_SIZE], UCHAR opcode, ULONG64 address);
void pkt_header_decode(const UCHAR in[PKT_HEADER_SIZE], UCHAR* opcode, ULONG64* address);
// The same eight bytes as one little-endian word.
ULONG64 pkt_header_word(UCHAR opcode, ULONG64 address);

// Reserved 56-bit system addresses.
constexpr ULONG64 SYS_ADDR_DATA_A = 0xFFFFFFFAF5C000ull;      // + 0..16383
constexpr ULONG64 SYS_ADDR_DATA_B = 0xFFFFFFFEF70000ull;      // validity-bitmap records and the like
constexpr ULONG64 SYS_ADDR_DATA_B_END = 0xFFFFFFFFF6FFFFull;  // inclusive
constexpr ULONG64 SYS_ADDR_ATTACH_DISCARD = 0xFFFFFFFFF70000ull;  // + 0..0x1FFFF
constexpr ULONG64 SYS_ADDR_EB_NOTE = 0xFFFFFFFFFC0000ull;     // + EB (88 bytes)
constexpr ULONG64 SYS_ADDR_EBO = 0xFFFFFFFFFE0000ull;         // + EB: the EB opener's number
constexpr ULONG64 SYS_ADDR_ONE_PACKET_NOTE = 0xFFFFFFFFFF79D0ull;  // + 0..15
constexpr ULONG64 SYS_ADDR_LEB_LIST_NOTE = 0xFFFFFFFFFF79E0ull;    // + 0..15
constexpr ULONG64 SYS_ADDR_DISCARD_NOTE = 0xFFFFFFFFFF79F0ull;     // + 0..15
constexpr ULONG64 SYS_ADDR_MD_REGION = 0xFFFFFFFFFF7A00ull;        // + 0..0x3FF
constexpr ULONG64 LOG_FIRST_SYSTEM_ADDR = 0x00FFFFFF00000000ull;   // data packets lie below

enum sys_addr_kind {
    SYS_KIND_OTHER = 0,
    SYS_KIND_EB_NOTE,
    SYS_KIND_DATA,  // both data-like ranges
    SYS_KIND_ATTACH_DISCARD,
    SYS_KIND_ONE_PACKET_NOTE,
    SYS_KIND_LEB_LIST_NOTE,
    SYS_KIND_DISCARD_NOTE,
    SYS_KIND_MD_REGION,
};
sys_addr_kind sys_addr_classify(ULONG64 address);

// The erase-block index: one decoded entry.
struct ebi_entry {
    ULONG64 offset;   // byte offset in the erase block
    UCHAR opcode;     // folded; 0x90 for a run of data packets
    ULONG64 address;  // 56 bits: the first address of a run
    ULONG count;      // packets (runs), else the count set by an offset word (1 by default)
};

// Walks an ebi list. `unit` is the growth of the running offset per counted entry (the packet
// size); `eighths` is the index kind 2, whose offsets count in units of 8 bytes; `capacity` the
// data capacity of the block: entries at or beyond it are dropped and runs are clipped to it.
// A zero word ends the list.
struct ebi_walk {
    const ULONG64* words;
    ULONG count;
    ULONG next;
    ULONG64 offset;
    ULONG unit;
    bool eighths;
    ULONG64 capacity;
};
void ebi_walk_init(ebi_walk* walk, const ULONG64* words, ULONG count, ULONG unit, bool eighths, ULONG64 capacity);
// 1 with an entry, 0 at the end of the list.
int ebi_walk_next(ebi_walk* walk, ebi_entry* out);
// Word encoders (what the index writer stores).
// A run of 2 to 128 data packets; a single packet is an entry word of opcode 0x90.
inline ULONG64 ebi_run_word(ULONG packets, ULONG64 first_address) {
    if (packets < 2) {
        return ((ULONG64)LOG_OP_DATA << 56) | (first_address & LOG_ADDR_MASK);
    }
    return ((ULONG64)(packets - 1) << 56) | (first_address & LOG_ADDR_MASK);
}
inline ULONG64 ebi_offset_word(ULONG offset_units, USHORT next_count) {
    return ((ULONG64)LOG_OP_EBI_OFFSET << 56) | ((ULONG64)next_count << 32) | offset_units;
}
inline ULONG64 ebi_entry_word(UCHAR opcode, ULONG64 address) {
    return ((ULONG64)opcode << 56) | (address & LOG_ADDR_MASK);
}
