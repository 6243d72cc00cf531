// The erase-block map (MEL): the card's persistent record of what went wrong with its erase
// blocks. In memory an ordered list of variable-size entities (blocks mapped out, pads retired,
// the error reports behind them, wear and time stamps, counters); on the media two copies, a
// primary and a shadow, each in a block of its own, each holding the whole list. New entities
// are appended to both copies; a copy is rewritten from scratch when it is stale, damaged or
// full. Loading re-applies the map's decisions to the erase-block information.
//
// On the media a copy is: segment 0 = the block's header (in its first packet) and the 104-byte
// MEL header at byte packet size + ecc_chunk_size; segments 1.. = the entity stream. Each flush
// appends the entities the copy lacks and an end marker {0x0321, 8, entity count}, fills the
// rest of its last segment with 0xFF and programs it; the next flush starts at the next
// segment. Entities and the marker may run on from one segment into the next.
//
// Locks: the record's fast mutex serialises writers, loads and events (PASSIVE_LEVEL); appends
// to the entity list also take its spin lock, so that the request path's alerts (up to
// DISPATCH_LEVEL, without the mutex) can add entities while a flush walks the list.
#pragma once

#include "driver/pipeline/ebinfo.h"
#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct nand_dev;

// Entity kinds.
constexpr USHORT MEL_PAD_ERRORS = 0x0001;   // EB u16, n u32, n x {pad index u16, EB u16, value u32}
constexpr USHORT MEL_USER_PADS = 0x0005;    // EB u16, two u64, n u32, n x {pad index u16, value u16}
constexpr USHORT MEL_COUNTS = 0x0006;       // value u64, three u32
constexpr USHORT MEL_MAPPED_OUT = 0x0101;   // EB u16
constexpr USHORT MEL_RETIRED_PADS = 0x0102; // EB u16, fifteen u32 (480-bit pad-index bitmap)
constexpr USHORT MEL_ERASE_COUNT = 0x0201;  // u64
constexpr USHORT MEL_WEAR = 0x0202;         // u64
constexpr USHORT MEL_TIME = 0x0203;         // u64 Unix seconds
constexpr USHORT MEL_END = 0x0321;          // entity count u32

constexpr ULONG MEL_ENTITY_MAX = 3850;
constexpr ULONG MEL_CHUNK_BYTES = 8192;
constexpr ULONG MEL_CHUNK_DATA = 8176;
constexpr ULONG MEL_COUNT_LIMIT = 1000;
constexpr ULONG MEL_WRITE_ATTEMPTS = 32;
constexpr ULONG MEL_SEARCH_BLOCKS = 100;
constexpr ULONG MEL_REFRESH_DAYS = 7;

constexpr ULONG64 MEL_MAGIC = 0x77A54B6C47215A77ull;
constexpr ULONG MEL_VERSION = 7;
constexpr ULONG MEL_VERSION_MIN = 5;
constexpr ULONG MEL_HEADER_BYTES = 104;

// A user event record from the control interface.
constexpr ULONG MEL_USER_EVENT_BYTES = 1016;
// The head of mel_get_entries' reply.
constexpr ULONG MEL_ENTRIES_HEAD_BYTES = 165;
constexpr ULONG MEL_IDENTITY_BYTES = 129;

// ---- Interface

// The MEL header of a copy.
struct mel_header {
    ULONG version;
    ULONG primary;
    ULONG shadow;
    ULONG chips_per_bank;
    ULONG banks;
    ULONG planes;
    ULONG eb_count;
    ULONG day;
    ULONG masks[2 * EB_MAX_BANKS];  // per bank: raw mask, effective mask
};
void mel_header_encode(UCHAR out[MEL_HEADER_BYTES], const mel_header* header);
// 0, or -KPAV_EINVAL without the magic.
int mel_header_decode(const UCHAR in[MEL_HEADER_BYTES], mel_header* out);

// The entity stream reader: fed segment after segment (its entities may run on across segment
// ends), it hands every complete entity but the end markers to `fn` (which may fail the read with
// a negative result). After an end marker the rest of its segment is skipped.
using mel_entity_fn = int (*)(void* context, USHORT kind, const UCHAR* entity, ULONG size);
struct mel_stream {
    UCHAR entity[MEL_ENTITY_MAX];
    ULONG have;         // bytes of the current entity assembled so far
    ULONG size;         // its size once the head is in (0 before)
    bool skip_segment;  // an end marker ended in this segment
    ULONG markers;      // end markers seen
    ULONG last_count;   // the last marker's count
};
void mel_stream_init(mel_stream* stream);
// 0 to go on; -KPAV_EINVAL for erased space where an entity should start ("%s: MEL - unexpected
// erased space.\n"), an entity under 4 bytes ("%s: MEL too small entity.\n") or over 3850
// ("%s: MEL too large entity.\n"), each logged with `name`; or fn's failure.
int mel_stream_feed(mel_stream* stream, const UCHAR* segment, ULONG length, mel_entity_fn fn, void* context,
                    const char* name);
// The size an entity of `kind` is kept with (size forced by kind for the fixed kinds).
ULONG mel_entity_kept_size(USHORT kind, ULONG size);

// The count of the end marker whose last byte is the last byte other than 0xFF of `bytes`
// (the written part of a copy's last segments), or -1 when it is not an end marker.
LONG64 mel_marker_count(const UCHAR* bytes, ULONG length);

// Creation with the erase-block information (the map starts without a persistent copy) and
// teardown. 0 or -KPAV_ENOMEM ("%s: Inadequate memory available - MEL.\n"). PASSIVE_LEVEL.
int mel_create(nand_dev* channel);
void mel_free(nand_dev* channel);
// Whether the card has a map record, and whether it holds no valid persistent copy (attach is
// refused then).
bool mel_present(nand_dev* channel);
bool mel_no_map(nand_dev* channel);
// The copies' blocks (EB_NONE: none), and their validity.
USHORT mel_copy_eb(nand_dev* channel, ULONG copy);
bool mel_copy_valid(nand_dev* channel, ULONG copy);
ULONG mel_entity_count(nand_dev* channel);

void mel_reset(nand_dev* channel);
void mel_discard(nand_dev* channel);
// Holds (1) or releases (0) writes: while held, entities are kept in memory only; releasing
// writes the map (in full when it has no persistent copy).
void mel_set_write_hold(nand_dev* channel, int hold);

// Writes both copies (up to 32 attempts each): 0 (a copy that could not be written is reported
// to the client, slot 3).
int mel_write(nand_dev* channel, int full);
// Rewrites both copies when the primary is 7 days old or more.
int mel_refresh(nand_dev* channel);
// Loads the map at bring-up: 0 or an error (Part of the management data read).
int mel_load(nand_dev* channel);

// Events.
int mel_retire_pad(nand_dev* channel, USHORT eb, ULONG pad_index);
struct mel_wear {
    ULONG64 erase_count;  // all ones or 0: the block's own
    ULONG64 wear;         // 0: the device's wear counter / 2^30
    ULONG64 time;         // 0: now
};
int mel_report_pad_errors(nand_dev* channel, USHORT eb, const mel_wear* wear);
int mel_add_wear_entities(nand_dev* channel, USHORT eb, const mel_wear* wear);
int mel_user_event(nand_dev* channel, const UCHAR event[MEL_USER_EVENT_BYTES]);
int mel_log_counts_event(nand_dev* channel, ULONG64 value, ULONG c1, ULONG c2, ULONG c3);
// From the request path (up to DISPATCH_LEVEL): a block of the map failed while being written.
void mel_alert_leb(nand_dev* channel, USHORT eb, int report);
// The reply of the control interface's entries request into `buffer` of `length` bytes: 0; -28
// with the length needed + 4096 in its first u32 when it is too small; -KPAV_EINVAL without a map.
int mel_get_entries(nand_dev* channel, const char* identity, UCHAR* buffer, ULONG length);

// Population count of a fifteen-word pad bitmap.
ULONG pad_mask_weight(const ULONG bitmap[EB_PAD_WORDS]);
