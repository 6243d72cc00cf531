// The management header (opcode 0x84, the EB opener) that follows the erase-block header of
// every block a log opens: the block's identity as a reserved address (its EBO number), the
// format version, its wear, the pad masks of all banks, the owning log's format parameters and a
// 2-bit state map of every block of the card. On media it starts at byte 48; the decoded first
// packet shows it at byte 96. Also the log slot kept per attached log, and the 88-byte EB note.
#pragma once

#include "driver/pipeline/ebinfo.h"
#include "driver/platform/os.h"

struct nand_dev;

constexpr UCHAR MGMT_OPCODE = 0x84;
constexpr USHORT MGMT_VERSION = 0x501;
constexpr USHORT MGMT_VERSION_MIN = 5;
constexpr USHORT MGMT_VERSION_MAX = 0x5FF;
constexpr ULONG MGMT_HEADER_SIZE = 4560;
constexpr ULONG MGMT_STATE_MAP_OFFSET = 464;
// The map holds 2 bits per block in the bytes left of the header: 16384 blocks. A larger card's
// blocks beyond that read as state 0 (unknown).
constexpr ULONG MGMT_STATE_MAP_BYTES = MGMT_HEADER_SIZE - MGMT_STATE_MAP_OFFSET;
constexpr ULONG MGMT_STATE_MAP_BLOCKS = MGMT_STATE_MAP_BYTES * 4;
constexpr UCHAR MGMT_FILL = 0xFA;
// The erase-block header and the management header as the decoded first packet shows them.
constexpr ULONG MGMT_REGION_BYTES = 96 + MGMT_HEADER_SIZE;

// Block states of the map and of EB notes.
enum mgmt_eb_state : UCHAR {
    MGMT_STATE_UNKNOWN = 0,
    MGMT_STATE_WRITTEN = 1,
    MGMT_STATE_ERASED = 2,
    MGMT_STATE_RETIRED = 3,
};

constexpr ULONG MGMT_BANK_WORDS = 16;  // 8 banks x up to 2 planes: word bank x planes + j

#pragma pack(push, 1)
struct mgmt_header {
    UCHAR opcode;          // 0x84
    UCHAR ebo[7];          // 0xFFFFFFFFFE0000 + EB, in the packet header's byte order
    UCHAR one8;            // 1
    UCHAR eb_flags;        // 2: relaxed plane split
    USHORT version;        // 0x501
    ULONG data_start;
    ULONG erase_count;
    ULONG erase_time;
    ULONG reserved24;
    ULONG bank_masks[MGMT_BANK_WORDS];  // per bank: raw mask, then (2 planes) effective mask
    ULONG identity;
    UCHAR map_present;
    UCHAR reserved97[7];
    UCHAR one104;          // 1
    UCHAR fast_rescan;     // fast rescan support level of the format
    USHORT log_flags;      // bits 0 and 1
    ULONG format_sequence;
    UCHAR volume_id[16];
    ULONG sector_size;
    ULONG end_reserve;
    ULONG64 capacity;
    UCHAR reserved144[16];
    ULONG64 logical_capacity;
    UCHAR one168;          // 1
    UCHAR format_flags;    // bit 0 incompatible feature, bit 2 sparse
    UCHAR log_id;          // only 1 is valid
    UCHAR reserved171[5];
    ULONG64 sequence;      // of this block in its log
    UCHAR reserved184[MGMT_STATE_MAP_OFFSET - 184];  // the NV area lies at 200-327
    UCHAR state_map[MGMT_STATE_MAP_BYTES];
};
#pragma pack(pop)
static_assert(sizeof(mgmt_header) == MGMT_HEADER_SIZE);
static_assert(offsetof(mgmt_header, one8) == 8);
static_assert(offsetof(mgmt_header, version) == 10);
static_assert(offsetof(mgmt_header, data_start) == 12);
static_assert(offsetof(mgmt_header, erase_count) == 16);
static_assert(offsetof(mgmt_header, erase_time) == 20);
static_assert(offsetof(mgmt_header, bank_masks) == 28);
static_assert(offsetof(mgmt_header, identity) == 92);
static_assert(offsetof(mgmt_header, map_present) == 96);
static_assert(offsetof(mgmt_header, one104) == 104);
static_assert(offsetof(mgmt_header, fast_rescan) == 105);
static_assert(offsetof(mgmt_header, log_flags) == 106);
static_assert(offsetof(mgmt_header, format_sequence) == 108);
static_assert(offsetof(mgmt_header, volume_id) == 112);
static_assert(offsetof(mgmt_header, sector_size) == 128);
static_assert(offsetof(mgmt_header, end_reserve) == 132);
static_assert(offsetof(mgmt_header, capacity) == 136);
static_assert(offsetof(mgmt_header, logical_capacity) == 160);
static_assert(offsetof(mgmt_header, one168) == 168);
static_assert(offsetof(mgmt_header, format_flags) == 169);
static_assert(offsetof(mgmt_header, log_id) == 170);
static_assert(offsetof(mgmt_header, sequence) == 176);
static_assert(offsetof(mgmt_header, state_map) == MGMT_STATE_MAP_OFFSET);

// The log slot of an attached log (56 bytes); log id 0 marks a free slot.
struct mgmt_log_slot {
    UCHAR fast_rescan;
    UCHAR incompatible;  // format flags bit 0
    UCHAR sparse;
    USHORT log_id;
    ULONG format_sequence;
    UCHAR volume_id[16];
    ULONG sector_size;
    ULONG64 capacity;
    ULONG64 logical_capacity;
    UCHAR log_flag0;
    UCHAR log_flag1;
    ULONG zero;
};
static_assert(sizeof(mgmt_log_slot) == 56);
static_assert(offsetof(mgmt_log_slot, log_id) == 4);
static_assert(offsetof(mgmt_log_slot, format_sequence) == 8);
static_assert(offsetof(mgmt_log_slot, capacity) == 32);
static_assert(offsetof(mgmt_log_slot, log_flag0) == 48);

// The EB note: a system packet body of 88 bytes at 0xFFFFFFFFFC0000 + EB.
#pragma pack(push, 1)
struct eb_note {
    UCHAR header[8];     // opcode 0xA0 and the address
    ULONG erase_count;
    ULONG erase_time;
    UCHAR state;         // mgmt_eb_state
    UCHAR reserved17[3];
    ULONG saved_masks[MGMT_BANK_WORDS];  // the saved masks, word bank x planes + j
    ULONG reserved84;
};
#pragma pack(pop)
static_assert(sizeof(eb_note) == 88);
static_assert(offsetof(eb_note, state) == 16);
static_assert(offsetof(eb_note, saved_masks) == 20);

// Where the management region of a block ends: the first 4656 bytes rounded up to whole
// codewords, at least one packet plus one codeword, rounded up to a multiple of two packets.
ULONG mgmt_region_size(const store_geometry* g);

// The EBO number of a block (its 56-bit reserved address).
inline ULONG64 mgmt_ebo_number(USHORT eb) {
    return 0xFFFFFFFFFE0000ull + eb;
}

// Fills a first-packet buffer of `size` bytes (at least MGMT_REGION_BYTES) for `eb`: 0xFA over
// the data start (as far as the buffer reaches), the record zeroed at 96 and written there
// (opcode, EBO number, constants, flags, version, wear, bank masks, identity, the state map,
// sector size and end reserve from `layout`); *out_record points at it. The log fields are the
// opening log's to fill. -KPAV_EINVAL for a buffer too small.
int mgmt_header_build(nand_dev* channel, UCHAR* buffer, ULONG size, USHORT eb, const eb_layout* layout,
                      mgmt_header** out_record);
// The state of a block as a log sees it: written, erased, retired or unknown. NULL: no log.
using mgmt_state_fn = UCHAR (*)(void* context, USHORT eb);
// Fills the state map (at most MGMT_STATE_MAP_BYTES bytes); returns its size. Without `state`:
// `eb` itself written, blocks with a map mark retired, the others erased.
ULONG mgmt_state_map_build(nand_dev* channel, UCHAR* map, USHORT eb, mgmt_state_fn state, void* context);
UCHAR mgmt_state_map_get(const UCHAR* map, ULONG eb);

// Bank masks between a record and the word layout of the header.
void eb_get_raw_masks(nand_dev* channel, USHORT eb, ULONG words[MGMT_BANK_WORDS]);
void eb_get_saved_masks(nand_dev* channel, USHORT eb, ULONG words[MGMT_BANK_WORDS]);
// Sets the raw and saved masks of every bank from the raw words and recomputes each bank.
void eb_set_bank_masks(nand_dev* channel, USHORT eb, const ULONG words[MGMT_BANK_WORDS]);

// The 88-byte EB note of `eb` in `state`: 0, -KPAV_ENOENT for a block without a record.
int eb_note_build(nand_dev* channel, eb_note* note, USHORT eb, UCHAR state);

// The log slot from a management header.
void mgmt_log_slot_fill(mgmt_log_slot* slot, const mgmt_header* header);

// Reading the management data back at bring-up.
//
// The management record of `eb` into `buffer` (mgmt_region_size bytes), decoded as the first
// packet shows it (the record at byte 96); *out_opcode gets its opcode: 0x84 for an EB opener,
// 0xFF for a blank block or erased media. PAV_UNCORRECTABLE for a block whose header read failed;
// read errors pass through; -KPAV_EINVAL for a first packet of neither header form. PASSIVE_LEVEL.
int mgmt_record_read(nand_dev* channel, UCHAR* buffer, USHORT eb, UCHAR* out_opcode, bool retry);
inline const mgmt_header* mgmt_record_of(const UCHAR* buffer) {
    return (const mgmt_header*)(buffer + 96);
}
// Bytes of the page buffer the reads below take: the management region, or one packet per data
// pad for the header read when that is larger.
ULONG mgmt_read_buffer_size(nand_dev* channel);
// Reads the header and the management record of `eb` and takes the block's wear, flags and
// masks from it; the last segment's check read gives the condition (4 still open, 5 full).
// 0, -KPAV_ENOENT (erased region), -KPAV_EINVAL (a foreign record), or the header read's error;
// every failure recomputes the block from its saved masks. `buffer`: mgmt_read_buffer_size bytes;
// `confirm`: eb_header_confirm_size bytes. PASSIVE_LEVEL.
int mgmt_header_read_one(nand_dev* channel, UCHAR* buffer, UCHAR* confirm, USHORT eb);
// Every block without a map mark; blocks whose record cannot be read inherit the wear of the
// first one that could. 0 or -KPAV_ENOMEM. PASSIVE_LEVEL.
int mgmt_headers_read_all(nand_dev* channel);
// Loads the erase-block map (0 or an error).
using mgmt_map_load_fn = int (*)(nand_dev* channel);
// Bring-up's management data: the erase-block map through `map_load` (NULL: the card keeps no
// map yet, which counts as loaded), the listed blocks (ended by 65535) mapped out, then every
// block's header and record. A failure sets the card's attach-disabled flag. PASSIVE_LEVEL.
int mgmt_data_read(nand_dev* channel, const USHORT* list, mgmt_map_load_fn map_load);

// The pads of each bank that no block in use has (the AND of the inverted raw masks of every
// block without a map mark of 2): out[bank] for the card's banks (at most EB_MAX_BANKS); returns
// the bank count. At most DISPATCH_LEVEL.
ULONG mgmt_data_collect_ebs(nand_dev* channel, ULONG out[EB_MAX_BANKS]);
// The channel start's management data: mgmt_data_read with the card's erase-block map when it
// has one (no blocks listed), then, when asked, the banks' bad-pad-mask chains from
// mgmt_data_collect_ebs. PASSIVE_LEVEL.
int mgmt_data_read_at_start(nand_dev* channel);
int mgmt_bad_pad_mask_chains(nand_dev* channel);

// The rle pass of bring-up: with the controller in rle mode (NAND_RLE_MODE 0, interrupt source
// INTR_MASK_RLE masked, the channel's rle flag set), programs the segments of the highest block
// without a map mark from segment 0 on, each with its usable length, until the channel's
// rle_bytes are used up; the block's condition is then put back (mgmt_rle_condition) and, unless
// the channel failed, the pass waits for the channel's outstanding work before it leaves rle
// mode. 0; -KPAV_EINVAL when every block has a map mark ("Cannot find any mapped EBs - rle");
// -KPAV_ENOMEM without a buffer; -KPAV_EAGAIN when a program failed. A channel without erase-block
// records has nothing to scan: 0. PASSIVE_LEVEL.
int mgmt_data_rle_scan(nand_dev* channel);
// The condition a block ends the rle pass with: `remembered` (its condition before the pass) when
// that is higher than `current`, when `current` is 9 (blank) or when `remembered` is 0; else
// `current`.
CHAR mgmt_rle_condition(CHAR remembered, CHAR current);
