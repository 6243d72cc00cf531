// The validity bitmap of a data log: one bit per packet position of every LEB, set while the
// packet holds live data and cleared when it is overwritten, trimmed or moved, with the per-LEB
// valid and peak counters beside it (the log's leb_counters). The bits live in a paged bitmap
// whose leaves are the metadata blocks of keys VBMAP_BASE_KEY + LEB x b + j (b blocks of 32768
// bits per LEB), so they are saved and replayed like any metadata block.
//
// Also the per-LEB summary records saved with the metadata (72 bytes, 56 to a 4096-byte block at
// VBM_SUMMARY_BASE_KEY + k), the position pacing that keeps each open LEB's bitmap on the media
// recent enough, and the device-failure reasons.
#pragma once

#include "driver/log/datalog.h"
#include "driver/log/datalog_append.h"
#include "driver/platform/os.h"

struct pav_pbitmap;

constexpr ULONG64 VBMAP_BASE_KEY = 0x00FFFFFFFEF70000ull;  // leaf keys, and the VBM records' addresses
constexpr ULONG64 VBMAP_RANGE_END = 0x00FFFFFFFFF70000ull;
constexpr ULONG VBMAP_BLOCK_BITS = 32768;
constexpr ULONG VBMAP_BLOCK_BYTES = 4096;

constexpr ULONG64 VBM_SUMMARY_BASE_KEY = 0x00FFFFFFFFF90000ull;
constexpr ULONG VBM_SUMMARY_RECORD_BYTES = 72;
constexpr ULONG VBM_SUMMARY_PER_BLOCK = 56;
constexpr ULONG VBM_SUMMARY_MAGIC = 0x43C0FFEE;
constexpr ULONG VBM_READ_LEVEL_WORDS = 8;

// Writes per pass of the pacing.
constexpr ULONG VBM_WRITES_PER_PASS = 2;

// ---- Interface

// One per data log.
struct vbmap {
    pav_log* log;
    pav_pbitmap* bits;        // over eb_count x bits_per_leb bits
    USHORT first_leb;
    USHORT leb_count;
    ULONG packets_per_leb;
    ULONG blocks_per_leb;     // b
    ULONG64 bits_per_leb;     // B = b x 32768
    ULONG vbm_stride;         // S: addresses a LEB's VBM record takes, plus one
    UCHAR tracking;           // the log tracks its LEBs' bitmaps (else every packet reads valid)
    // VBM pacing (under the log's lock).
    ULONG64 oldest_position;  // every open LEB's bitmap must be newer than this
    USHORT cursor;            // PAV_NO_LEB: none
    ULONG cursor_steps;       // LEBs from the chain's first to the cursor
    ULONG open_count;         // LEBs on the log's open list
    struct vbm_write* writes; // VBM_WRITE_REQUESTS, NULL before vbm_start
    ULONG* in_flight;         // per LEB of the card
    const struct vbm_owner_ops* ops;
    void* owner;
};

// b, B and S for packets_per_leb packets of `sector_size` bytes.
void vbmap_geometry(ULONG packets_per_leb, ULONG sector_size, ULONG* out_blocks, ULONG64* out_bits,
                    ULONG* out_stride);

// Creates the bitmap for the log's LEBs first..first + count - 1 and clears it: every block of
// every LEB made (or taken over from the block table, as a load leaves it), zeroed and dirty.
// 0; -KPAV_ENOMEM ("%s: Unable to init structure (vbmap, %d)\n"), or a block's error; nothing
// stays allocated on failure. PASSIVE_LEVEL, as is destroy.
int vbmap_create(vbmap* map, pav_log* log, USHORT first_leb, USHORT leb_count, ULONG sector_size);
void vbmap_destroy(vbmap* map);

// Zeroes every block of every LEB and marks it dirty (counters untouched).
int vbmap_clear_all(vbmap* map);
// Zeroes the LEB's counters and blocks (erase). Up to DISPATCH_LEVEL.
int vbmap_clear_leb(vbmap* map, USHORT leb);

// Sets or clears `count` bits from `packet` of `leb`; the LEB's valid count moves by the bits
// that changed, so it stays the number of set bits when a set and a clear of neighbouring
// packets (or a repeated clear) meet. 0 or -KPAV_EINVAL outside the LEB. Up to DISPATCH_LEVEL.
int vbmap_set(vbmap* map, USHORT leb, ULONG packet, ULONG count);
int vbmap_clear(vbmap* map, USHORT leb, ULONG packet, ULONG count);
bool vbmap_test(vbmap* map, USHORT leb, ULONG packet);
struct vbmap_run {
    USHORT leb;
    ULONG packet;
    ULONG count;
};
// vbmap_set for each run of a written-packet list: 0 or the first error.
int vbmap_mark_valid(vbmap* map, const vbmap_run* runs, ULONG count);

// Copies the LEB's b blocks from a VBM record image (header sector of `sector_size` bytes, then
// the blocks) into its bitmap and counts the LEB's valid packets again. -KPAV_EINVAL for a record
// shorter than the header sector plus b blocks.
int vbmap_copy_in(vbmap* map, USHORT leb, const UCHAR* record, ULONG64 record_bytes);
// The LEB's b blocks, in order, into `out` (b x 4096 bytes): what a VBM record carries.
int vbmap_copy_out(vbmap* map, USHORT leb, UCHAR* out);

// ---- Per-LEB summary records

struct vbm_summary {
    ULONG peak;
    ULONG valid;
    ULONG erase_count;
    ULONG write_time;
    ULONG time_next;          // the eb_info word after the write time
    ULONG64 note_address;
    ULONG64 vbm_position;
    ULONG read_levels[VBM_READ_LEVEL_WORDS];
};
// The 72-byte record. Decode: 0; -KPAV_EIO for a record without the magic, or whose counts
// exceed `max_packets` (a record that cannot be the LEB's is not taken).
void vbm_summary_encode(UCHAR* record, const vbm_summary* summary);
int vbm_summary_decode(const UCHAR* record, ULONG max_packets, vbm_summary* out);

// The summaries' and the bitmap's set-up at attach: every LEB of the range without a note address
// (all ones), then vbmap_create.
int vbm_summary_init(vbmap* map, pav_log* log, USHORT first_leb, USHORT leb_count, ULONG sector_size);
// Writes every LEB's record into its summary block and marks it dirty: 0 or the block's error.
// The in-memory peak is raised to the valid count first; the record keeps the peak it had.
int vbm_summary_save(vbmap* map);
// Reads back what a save wrote (the summary blocks as a metadata load left them): counters (peak
// = max(peak, valid)), erase count, times, read levels, note address and both VBM positions.
// Every record of every block is checked before any is taken: -KPAV_EINVAL when a block is
// missing, -KPAV_EIO when a record fails its check ("%s: LEB summary %u is damaged, not used.\n"),
// and then nothing of the summaries is used.
int vbm_summary_load(vbmap* map);

// ---- Pacing

// The oldest position for `open_count` open LEBs along the chain from the head (under the log's
// lock): the cursor moves open_count - open_count / W steps (one less with a remainder), the
// position lies the remaining fraction into the cursor LEB (rounded up), and never beyond the
// append LEB's own VBM position.
ULONG64 vbm_update_oldest(vbmap* map, ULONG open_count);
// 1 when the chain's first open LEB's VBM position lies below `position`; 0 without tracking.
int vbm_position_needed(vbmap* map, ULONG64 position);

// ---- VBM records: a LEB's bitmap on the media

// The header sector of a record: {u16 0, u16 LEB, u32 0, u64 log position it was taken at}.
constexpr ULONG VBM_RECORD_HEADER_BYTES = 16;
// Sectors of a LEB's record (S - 1), its address, and its bytes.
inline ULONG vbm_record_sectors(const vbmap* map) {
    return map->vbm_stride - 1;
}
inline ULONG64 vbm_record_address(const vbmap* map, USHORT leb) {
    return VBMAP_BASE_KEY + (ULONG64)leb * map->vbm_stride;
}
ULONG vbm_record_bytes(const vbmap* map);
// The record of `leb` taken at `position`: its header sector, then the LEB's blocks.
int vbm_record_build(vbmap* map, USHORT leb, ULONG64 position, UCHAR* out);
// Checks a record read back for `leb`: 0 with its position; -KPAV_EIO when its header is not
// the LEB's (such a record is not used).
int vbm_record_check(const vbmap* map, USHORT leb, const UCHAR* record, ULONG64* out_position);
// Whether `packet` was valid when the record was taken.
bool vbm_record_test(const vbmap* map, const UCHAR* record, ULONG packet);
// The next run of packets valid in the record at or after `from` (below the LEB's packet count):
// true with its first packet and length, false when none is left. The scan at attach walks a
// LEB's saved record with it; a LEB without a record counts every packet valid (one run).
bool vbm_record_next_run(const vbmap* map, const UCHAR* record, ULONG from, ULONG* out_first, ULONG* out_count);
// Reads the record of `leb` that was written at log address `address` back from the media into
// `out` (vbm_record_bytes): every packet must carry its address in the record's range, and the
// header the LEB's. 0, -KPAV_EIO for a record that is not whole, or the reader's error.
// PASSIVE_LEVEL.
int vbm_record_read(vbmap* map, USHORT leb, ULONG64 address, UCHAR* out, ULONG64* out_position);

// What the pacing's writes tell the log's owner: the written record's runs (the owner maps
// them, so the record can be found at attach) and a record's range given up. 0 or an error.
// At attach the owner walks its map over [first_key, end_key) and shows every mapped run (keys
// from `key`, `count` of them, physically contiguous from log address `address`) to `fn`.
using vbm_run_fn = void (*)(void* arg, ULONG64 key, ULONG64 count, ULONG64 address);
struct vbm_owner_ops {
    int (*record_written)(void* owner, ULONG64 first_key, ULONG count, const datalog_run* runs, ULONG run_count);
    int (*record_dropped)(void* owner, ULONG64 first_key, ULONG count);
    int (*walk_records)(void* owner, ULONG64 first_key, ULONG64 end_key, vbm_run_fn fn, void* arg);
};
extern const vbm_owner_ops vbm_owner_defaults;  // nothing recorded, dropped or found

// The pacing's write requests.
constexpr ULONG VBM_WRITE_REQUESTS = 4;
struct vbm_write;

// Starts the pacing (attach, the chain ordered): every LEB of the chain on the open list at its
// VBM position, the oldest position computed, the write requests made. `ops` NULL: the defaults.
// 0 or -KPAV_ENOMEM. PASSIVE_LEVEL, as is exit, which waits for writes in flight.
int vbm_start(vbmap* map, const vbm_owner_ops* ops, void* owner);
void vbm_exit(vbmap* map);
// Writes the bitmaps of up to W open LEBs whose last write is older than the oldest position.
// Returns the writes submitted. Below DISPATCH_LEVEL.
ULONG vbm_write_due(vbmap* map);
// Writes the LEB's bitmap now (the groomer's), with a request of the pacing: 0, -KPAV_EBUSY when
// none is free, or the append's error.
int vbm_write_leb_now(vbmap* map, USHORT leb);
// Writes in flight for `leb`.
ULONG vbm_writes_in_flight(vbmap* map, USHORT leb);
// A new append LEB opened: it joins the open list at sequence << 24, and the oldest position
// follows. At most DISPATCH_LEVEL, under no lock of the log.
void vbm_leb_opened(vbmap* map, USHORT leb);
// Erase post-processing: the LEB leaves the open list (the oldest position recomputed for one
// less) and, when asked, due writes are started.
void vbm_leb_remove(vbmap* map, USHORT leb, bool write_now);
// The LEB's saved record is given up: its range dropped from the map, no saved record.
void vbm_invalidate(vbmap* map, USHORT leb);

// The attach index load (before replay; `ops` as for vbm_start): every LEB starts without a saved
// record at sequence << 24; the owner's map runs that cover a closed LEB's whole record range
// give its saved record (when the LEB holding the run is not older than it), every other LEB's
// range is dropped; unless `skip_read`, each LEB of the chain with a saved record takes its
// position from the record's header, read back (a header that is not the LEB's: the record is
// dropped). Then the open list is ordered by position. 0 or an error. PASSIVE_LEVEL.
int vbm_attach_index_load(vbmap* map, const vbm_owner_ops* ops, void* owner, bool skip_read);

// ---- Device failure

// "none", "user request", ... "thermal" for 0..11; NULL otherwise.
const char* device_failure_reason_name(int reason);

// The attach record's device state word as failing reads it: running, and failed.
constexpr ULONG DEVICE_STATE_ATTACHING = 1;
constexpr ULONG DEVICE_STATE_RUNNING = 3;
constexpr ULONG DEVICE_STATE_FAILED = 9;
// The channel's failure reason of a device failed on purpose.
constexpr ULONG CHANNEL_FAIL_DEVICE = 0x800000;
// Fails the device: "Failing device (%s).\n" (message 18465), the state word to failed (its
// waiters woken), the log's internal error and the channel failed. At most DISPATCH_LEVEL.
void device_fail(pav_log* log, kpav_state* device_state, const char* text);
// A reason's failure: while running, the reason's reduced-write level goes to 2 through the
// owner's write-mode slot; while attaching or failed nothing; otherwise the device fails with the
// reason's name.
void device_fail_for_reason(pav_log* log, kpav_state* device_state, int reason);
