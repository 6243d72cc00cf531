// The erase-block information of a card: one record per erase block (which pads of each bank
// hold data, what one page row carries, wear, header seed and state, map mark, condition, health)
// and the device-wide tables beside them (the erased list sorted by wear, the capacity cache,
// the per-bank pad error counters, the erase-history ring, the seed generator). The position
// operations turn positions in an erase block into segment, byte and pad coordinates.
//
// A segment is one bank's part of one page row: segment s belongs to bank s mod banks and row
// s / banks. A pad index names one pad of one plane of one bank: (bank x planes + plane) x
// total pads + pad. A packed erase-block address holds the block in bits 0-15, the segment in
// bits 16-31 and the byte offset within the segment in bits 32-63.
#pragma once

#include "driver/platform/os.h"
#include "driver/platform/steps.h"
#include "driver/platform/sync.h"

struct nand_dev;

constexpr ULONG EB_MAX_BANKS = 8;
constexpr ULONG EB_MAX_PADS = 30;
constexpr ULONG EB_PAD_INDEXES = 480;  // 8 banks x 2 planes x 30 pads
constexpr ULONG EB_PAD_WORDS = 15;     // 480 bits
constexpr USHORT EB_NONE = 65535;
constexpr UCHAR EB_BANK_FAILED_LEVEL = 192;

// eb_info flags (changed only by atomic OR).
constexpr LONG EB_FLAG_GROOM_A = 0x4;
constexpr LONG EB_FLAG_GROOM_B = 0x8;  // also: a stored record off the stride grid
constexpr LONG EB_FLAG_RELAXED_SPLIT = 0x10;

// Header states, map marks, header flags.
constexpr UCHAR EB_HEADER_ERASED = 2;
constexpr UCHAR EB_HEADER_WRITTEN = 3;
constexpr UCHAR EB_HEADER_NONE = 255;
constexpr UCHAR EB_MEL_NONE = 0;
constexpr UCHAR EB_MEL_COPY = 1;
constexpr UCHAR EB_MEL_MAPPED_OUT = 2;
constexpr UCHAR EB_HFLAG_READ_FAILED = 1;
constexpr UCHAR EB_HFLAG_BLANK = 2;
constexpr UCHAR EB_HFLAG_TRIED = 4;

// Conditions: mostly raised (a value is replaced only by a higher one, or when it is 9).
enum eb_condition : CHAR {
    EB_COND_UNKNOWN = 0,
    EB_COND_HEADER_READ = 1,
    EB_COND_MGMT_READ = 2,
    EB_COND_MEL_PARTIAL = 3,
    EB_COND_OPEN = 4,          // last segment still erased
    EB_COND_FULL = 5,
    EB_COND_NOTED = 6,
    EB_COND_ERASE_FIRST = 7,
    EB_COND_REERASE = 8,
    EB_COND_BLANK = 9,
};

// Device states of the table.
constexpr ULONG EB_DEVICE_READY = 1;
constexpr ULONG EB_DEVICE_NO_MEL = 2;
constexpr ULONG EB_DEVICE_STOPPING = 8;
constexpr ULONG EB_DEVICE_GONE = 9;

constexpr ULONG EB_HISTORY_ENTRIES = 1024;

struct store_geometry;
struct eb_table;
struct eb_info;
struct eb_layout;

// Whether headers are written plain (seed 0, no keystream): driver-wide, turned on when any card
// runs in ECC bypass mode.
extern volatile LONG eb_headers_plain;

// The table of a card (NULL before ebinfo_init).
eb_table* ebinfo_table(const nand_dev* channel);
// The record of `eb`, NULL when there is none.
eb_info* ebinfo_get(const nand_dev* channel, USHORT eb);

// ---- What the channel asks per request (ebinfo_channel.cpp). Before the card's table exists
// each answers with the channel's uniform geometry: every pad of a row holds one page, every lane
// carries data, seeds are 0, nothing is counted or kept. At most DISPATCH_LEVEL.
// Bytes one row of the block holds across its banks.
ULONG64 ebinfo_row_capacity(nand_dev* channel, USHORT eb);
// Bytes one row of the block holds on `bank` (0 for a bank out of use).
ULONG ebinfo_segment_capacity(nand_dev* channel, USHORT eb, ULONG bank);
// The lanes of `bank` that hold data in the block (all ones without a table).
ULONG ebinfo_lane_mask(nand_dev* channel, USHORT eb, ULONG bank);
// The block's data-randomizer seed (1..32766; 0 writes and reads it plain).
USHORT ebinfo_seed(nand_dev* channel, USHORT eb);
CHAR ebinfo_condition(nand_dev* channel, USHORT eb);
// ORs bits into the block's flag word.
void ebinfo_set_flags(nand_dev* channel, USHORT eb, ULONG bits);
// Counts `reads` page reads of the block: false when they are not counted, else true with the
// block's read count after them.
bool ebinfo_count_reads(nand_dev* channel, USHORT eb, ULONG reads, ULONG64* out_count);
// Copies the block's error bitmap under the table's lock; returns its map mark.
UCHAR ebinfo_error_snapshot(nand_dev* channel, USHORT eb, ULONG counters[EB_PAD_WORDS]);
// An erase of the block completed: its condition rises to blank and the erase is noted.
void ebinfo_erase_completed(nand_dev* channel, USHORT eb);

// The k-th set bit of `mask` (from bit 0), k = n - (seed mod n) with n its population; -1 when
// `enable` is 0 or the mask is empty.
LONG mask_select_bit(ULONG enable, ULONG index, ULONG mask, ULONG seed);

// Unix seconds now (the system time, 100 ns since 1601).
ULONG ebinfo_unix_seconds();

// Creation and teardown. PASSIVE_LEVEL.
int ebinfo_init(nand_dev* channel, const store_geometry* geometry);
void ebinfo_exit(nand_dev* channel);
// The device goes away: state 8 (waking waiters on a change), then the client's stop operation.
void nand_dev_stop_notify(nand_dev* channel);
void nand_dev_stop_notify_flagged(nand_dev* channel);
const char* nand_dev_name(const nand_dev* channel);

// Percentage of usable pads over all blocks not mapped out: -KPAV_ENOENT without blocks or pads.
int ebinfo_count_usable_pads(nand_dev* channel, ULONG* out_percent);
void ebinfo_record_pad_error(nand_dev* channel, USHORT eb, ULONG pad_index, UCHAR level);
void ebinfo_mark_failed_banks(nand_dev* channel, USHORT eb);
void ebinfo_take_pad_error_counts(nand_dev* channel, UCHAR* out240);
void ebinfo_get_error_bitmap(nand_dev* channel, USHORT eb, ULONG out[EB_PAD_WORDS]);
void ebinfo_merge_pad_mask(nand_dev* channel, USHORT eb, const ULONG words[EB_PAD_WORDS]);

void ebinfo_note_erase(nand_dev* channel, USHORT eb);
void ebinfo_prepare_erased(nand_dev* channel, USHORT eb);
void ebinfo_reset_eb(nand_dev* channel, USHORT eb);
void ebinfo_recompute_eb(nand_dev* channel, USHORT eb);
void ebinfo_recompute_bank(nand_dev* channel, USHORT eb, ULONG bank);
int ebinfo_check_usable_pads(nand_dev* channel, USHORT eb);
// Raises the condition: a value is replaced only by a higher one, or when it is 9 (blank).
void ebinfo_raise_condition(nand_dev* channel, USHORT eb, CHAR condition);
// A new header seed: 1..32766, or 0 with the randomizer off.
USHORT ebinfo_next_seed(nand_dev* channel);

// The erased list. Single owner (the log's allocation path, format, bring-up).
void ebinfo_erased_list_add(nand_dev* channel, USHORT eb);
int ebinfo_pick_erased_eb(nand_dev* channel, USHORT* out_eb);

// Capacities: one row (usable or raw bytes over the banks), the whole block (cached), and the
// block's stride limit under the table's layout (cached).
ULONG64 ebinfo_eb_capacity(nand_dev* channel, USHORT eb);
ULONG64 ebinfo_eb_base_capacity(nand_dev* channel, USHORT eb);
ULONG64 ebinfo_eb_cached_capacity(nand_dev* channel, USHORT eb);
// The stride limit: the last position on the layout's stride grid that fits the block (cached
// for the table's own layout).
ULONG64 ebinfo_stride_limit(nand_dev* channel, USHORT eb, const eb_layout* layout);

// Packed addresses.
inline ULONG64 eb_addr_pack(USHORT eb, ULONG segment, ULONG offset) {
    return (ULONG64)eb | ((ULONG64)(segment & 0xFFFF) << 16) | ((ULONG64)offset << 32);
}
inline USHORT eb_addr_eb(ULONG64 a) { return (USHORT)a; }
inline ULONG eb_addr_segment(ULONG64 a) { return (ULONG)(a >> 16) & 0xFFFF; }
inline ULONG eb_addr_offset(ULONG64 a) { return (ULONG)(a >> 32); }

// Position operations.
ULONG ebinfo_pad_page_count(nand_dev* channel, USHORT eb, ULONG bank, bool rest);
// A byte offset of the block as a packed address; returns the usable length of the segment
// reached, -KPAV_EINVAL for a block that holds nothing or an offset past its end.
LONG64 ebinfo_offset_to_pad(nand_dev* channel, USHORT eb, ULONG64 offset, ULONG64* out_address);
ULONG64 ebinfo_capacity_to_pad(nand_dev* channel, USHORT eb, ULONG segment);
// The byte offset of a packed address and the usable length of its segment.
ULONG64 ebinfo_addr_to_offset(nand_dev* channel, ULONG64 address, ULONG* out_length);
// Advances a packed address by `n` raw bytes: 0, -KPAV_EINVAL past the last segment.
int ebinfo_addr_advance(nand_dev* channel, ULONG64* address, ULONG64 n);
// The physical pad index that holds the byte of a packed address; -KPAV_EINVAL for a bank without
// pads.
LONG ebinfo_addr_normalize(nand_dev* channel, ULONG64 address, LONG failed_pad);
// 0 when `length` bytes fit in the position's segment before the stride limit; else moves the
// position to the segment's end (or to the limit) and returns the bytes skipped plus those
// needed to reach the next stride boundary.
ULONG64 ebinfo_map_packet_addr(nand_dev* channel, const eb_layout* layout, ULONG64* address, ULONG length);

// ---- The records

// The geometry and switches that controller set-up fills for the store.
struct store_geometry {
    ULONG eb_count;          // at most 65535
    ULONG planes;            // 1 or 2
    ULONG banks;             // at most 8
    ULONG data_pads;         // pads of a bank that carry data
    ULONG total_pads;        // pads per bank, at most 30
    ULONG segments_per_eb;   // rows x banks
    ULONG page_size;
    ULONG raw_page_size;     // main plus spare
    ULONG codeword_raw;      // one ECC codeword
    ULONG ecc_chunk_size;    // its data bytes (the raw size when ECC is bypassed)
    ULONG packet_size;       // ecc_chunk_size x codewords per packet
    ULONG packet_size_raw;
    ULONG alignment;         // bytes
    ULONG min_usable_pads;
    ULONG reserve_share;     // per 10000
    ULONG fill_rows;
    ULONG identity_word;
    UCHAR parity_pad;        // one pad per bank holds parity
    UCHAR erased_state;      // a freshly erased block gets header state 2 (else 255)
    UCHAR randomizer_off;    // ECC bypass: seeds are 0
    // What the data log reads of the card.
    USHORT default_sector_size;
    USHORT packet_overhead;  // per packet; packet size = sector size + overhead
    ULONG pages_per_row;
    ULONG64 eb_bytes;
    ULONG tuning[4];         // g0..g3, hundredths of a percent
    ULONG capacity_limits[2];  // millions of bytes
    UCHAR preallocate;
};

// One bank of one erase block.
struct eb_bank {
    ULONG raw_mask;        // pads present and usable
    ULONG effective_mask;  // the raw mask restricted to data pads
    ULONG usable_pads;
    ULONG saved_mask;      // survives erases; retirement clears bits here
    LONG parity_pad;       // -1: none
    LONG marker;
    ULONG raw_bytes;       // per segment
    ULONG usable_bytes;    // per segment
    ULONG plane_part[2];   // raw bytes in the first and the second plane part
};
static_assert(sizeof(eb_bank) == 40);

struct eb_info {
    UCHAR error_level[EB_PAD_INDEXES];  // 0x80 or-ed in for user events
    USHORT detail[EB_PAD_INDEXES];      // 65535: none
    ULONG error_bitmap[EB_PAD_WORDS];
    ULONG bank_failed[EB_MAX_BANKS];
    ULONG bank_words[EB_MAX_BANKS];     // zeroed at every erase
    volatile LONG erase_count;
    volatile LONG flags;
    ULONG erase_time;                   // Unix seconds
    ULONG scanned_records;
    USHORT last_written_segment;        // 65535: none
    eb_bank banks[EB_MAX_BANKS];
    USHORT seed;
    UCHAR header_state;
    UCHAR mel_mark;
    UCHAR header_flags;
    CHAR condition;
    USHORT erased_prev;
    USHORT erased_next;
    ULONG retired_pads[EB_PAD_WORDS];
    volatile LONG64 read_count;         // counted page reads since the block was prepared
};

struct eb_history_entry {
    USHORT eb;
    UCHAR kind;  // 1 erase, 0 prepared after an erase
    ULONG time;
};

// A capacity-cache slot: the block's capacity and its stride limit (0: not yet computed).
struct eb_capacity_slot {
    ULONG64 capacity;
    ULONG64 stride_limit;
};

// Where log data lies in an erase block: the byte it starts at, the bytes kept free at the end,
// the sector size and the stride of the record grid.
struct eb_layout {
    ULONG data_start;
    ULONG end_reserve;
    ULONG sector_size;
    ULONG stride;
};

struct eb_table {
    nand_dev* channel;
    store_geometry geometry;
    kpav_state device_state;
    ULONG count;
    eb_info* info;
    // The erased list, sorted by erase count (its single owner changes it).
    USHORT erased_head;
    USHORT erased_tail;
    ULONG erased_count;
    ULONG64 erased_list_capacity;
    UCHAR pad_errors[EB_MAX_BANKS][EB_MAX_PADS];  // saturating at 255
    kpav_spinlock lock;  // error levels, error bitmap, bank failure words, pad counters
    ULONG64 erased_total;
    volatile LONG erase_counter;
    eb_history_entry* history;
    ULONG history_size;
    volatile LONG history_next;
    eb_capacity_slot* capacity_cache;
    ULONG random[2];
    ULONG error_totals[3];
    UCHAR mel_dirty;
    UCHAR attach_disabled;
    eb_layout layout;  // set by the log that owns the blocks
    struct mel_record* mel;  // the erase-block map (driver/log/mel.h): made and freed by the bring-up
    // Tick count x tick length in 100 ns units, for the erased pick: the system's, unless a test
    // sets its own.
    ULONG64 (*pick_clock)();
    kpav_step_run start;
};
