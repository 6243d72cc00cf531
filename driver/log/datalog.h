// The data log of an attached card: an append-only chain of logical erase blocks (LEBs) filled
// one after the other through the append point "hot". It owns the per-LEB records with their
// sequence numbers, chain links and function states, the client operations through which the
// channel calls up into the log, the taking of a new erased block for the append point, the
// free-space arithmetic with its wear-out warning and reduced-write levels, the written
// position, the metadata blocks and page pool, and the range-lock table.
//
// Log addresses are 16 + LEB x span + packet offset, where the span is the packets per LEB plus
// one (addresses below 16 name no packet); log positions are the LEB's sequence << 24 | packet
// offset. Each new append LEB takes the previous one's sequence + 64.
#pragma once

#include "driver/log/page_pool.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/log/range_lock.h"
#include "driver/platform/mem_stats.h"
#include "driver/platform/os.h"
#include "driver/platform/steps.h"
#include "driver/platform/sync.h"

struct mblk;
struct mblk_table;
struct pav_log;
struct apt_context;
struct pav_addr_block;

// "No LEB" everywhere: erase-block numbers are 16 bits.
constexpr USHORT PAV_NO_LEB = 65535;

// Log addresses below this name no packet.
constexpr ULONG64 PAV_LOG_FIRST_ADDR = 16;
constexpr ULONG PAV_LOG_SEQUENCE_STEP = 64;

enum pav_log_state : ULONG {
    PAV_LOG_CREATED = 1,
    PAV_LOG_RELINKING = 2,
    PAV_LOG_RELINKED = 3,
    PAV_LOG_SCANNING = 4,
    PAV_LOG_RUNNING = 5,
    PAV_LOG_COMPACTION = 6,
    PAV_LOG_AGENTS_QUIESCING = 7,
    PAV_LOG_AGENTS_STOPPED = 8,
    PAV_LOG_UNRECOVERABLE_ERROR = 10,
};

// Internal-error codes the log reports to its owner.
constexpr int PAV_LOG_ERROR_NO_MEMORY = 3;
constexpr int PAV_LOG_ERROR_ATTACH = 7;
constexpr int PAV_LOG_ERROR_HARDWARE = 9;

// Log flags.
constexpr LONG PAV_LOG_FLAG_LOW_SPACE = 0x2;

// The function state of an LEB.
enum pav_leb_func : ULONG {
    PAV_LEB_FUNC_INVALID = 0,
    PAV_LEB_FUNC_UNKNOWN = 1,
    PAV_LEB_FUNC_ERASED = 2,
    PAV_LEB_FUNC_WRITING = 3,
    PAV_LEB_FUNC_CLOSED = 4,
    PAV_LEB_FUNC_CORRUPT = 5,
    PAV_LEB_FUNC_RETIRED = 6,
};
const char* pav_leb_func_name(ULONG state);

// One per erase block of the card.
struct leb_record {
    ULONG64 sequence;
    kpav_state func;  // pav_leb_func
    USHORT next;      // PAV_NO_LEB at the end of the chain
    USHORT previous;
    // The packets of a partial atomic write to leave out: [start, end) and the same as bytes.
    ULONG discard_start;
    ULONG discard_end;
    ULONG discard_byte_start;
    ULONG discard_byte_end;
    // Open-LEB tracking (persistent trim).
    ULONG64 first_position;
    ULONG64 last_position;
    ULONG64 tracked;
    USHORT tracked_leb;
    LIST_ENTRY open_link;
};

// Per-LEB counters: the note address (all ones: none), valid packets and their peak, and the
// data reads on their way to the LEB.
struct leb_counters {
    ULONG64 note_address;
    volatile LONG valid;
    ULONG peak;
    volatile LONG reads_in_flight;
};

// The owner's table of failure callbacks (the attach record's), installed after the metadata
// load.
struct bdev_failure_callbacks {
    void (*on_device_failure)(void* owner, int reason);
    void (*on_hardware_failure)(void* owner);
    void (*on_notify)(void* owner, int event);
    void (*on_stop)(void* owner);
    void (*on_flagged_stop)(void* owner);
    // The attach record's write-mode reason slot (client operation 3): -1 when none.
    int (*set_write_reason)(void* owner, int level, int reason);
    void* bdev_slots[4];  // the block-device paths' own callbacks
};

// What the log asks of the store above it: recording the sectors of a groomer move at their
// new place in the forward map, and marking packets valid (the validity bitmap lives with the
// map). The store (the data device's metadata table) hands its const table over with
// datalog_set_store; until then the log uses datalog_store_defaults: a move is refused
// (-KPAV_ENODEV: with no map its data has no new place) and marking valid counts the packets in
// their LEBs' valid counts only. Both run on a completion thread, below DISPATCH_LEVEL.
struct datalog_store_ops {
    int (*record_moved)(void* store, const pav_addr_block* placement, ULONG64 first_key, ULONG64 count);
    int (*mark_valid)(void* store, pav_log* log, const pav_addr_block* placement);
};
extern const datalog_store_ops datalog_store_defaults;

// The format's parameters as the log keeps them (56 bytes).
#pragma pack(push, 1)
struct log_format_params {
    ULONG capacity_mode;      // 1: each packet carries 8 further bytes
    UCHAR reserved4;
    UCHAR sparse;
    UCHAR reserved6[22];
    ULONG sector_size;
    ULONG64 capacity;         // sectors
    ULONG64 logical_capacity; // sectors (sparse formats)
    UCHAR persistent_trim;
    UCHAR atomic_writes;
    UCHAR reserved50[6];
};
#pragma pack(pop)
static_assert(sizeof(log_format_params) == 56);
static_assert(offsetof(log_format_params, sparse) == 5);
static_assert(offsetof(log_format_params, sector_size) == 28);
static_assert(offsetof(log_format_params, capacity) == 32);
static_assert(offsetof(log_format_params, logical_capacity) == 40);
static_assert(offsetof(log_format_params, persistent_trim) == 48);
static_assert(offsetof(log_format_params, atomic_writes) == 49);

// The log's geometry: packet size P = sector size + per-packet overhead; head reserve H (the
// EB header and opener, rounded to whole rows of pages) and tail reserve T (room for the
// closing index record, in whole packets).
struct log_geometry {
    USHORT packet_size;
    ULONG head_reserve;
    ULONG tail_reserve;
};

// Bytes of the closing index record.
constexpr ULONG LOG_INDEX_RECORD_BYTES = 10016;

// H for pages of `page_size` bytes and rows of `pages_per_row` pages: the first multiple of the
// page size that holds the opener, or one row plus a page when larger, rounded up to a multiple
// of two rows.
ULONG log_head_reserve(ULONG page_size, ULONG pages_per_row);
ULONG log_tail_reserve(ULONG packet_size);
// The geometry for sector size `sector_size` (0: the card's default) on the card's geometry.
int log_geometry_compute(const struct store_geometry* card, ULONG sector_size, log_geometry* out, USHORT* out_sector);

struct pav_log {
    nand_dev* channel;  // NULL while the log is not created
    void* owner;        // the attach record
    const bdev_failure_callbacks* owner_ops;
    volatile LONG flags;
    kpav_state state;
    char name[32];      // "data"
    log_format_params format;
    apt_context* append_point;  // "hot"
    log_geometry geometry;
    ULONG sector_size;
    ULONG scale;                // format sector size x 2048 / sector size
    USHORT first_leb;
    USHORT leb_count;
    ULONG64 lebs_in_use;
    ULONG64 open_free_packets;  // unwritten packets of the open append LEB
    USHORT head_leb;
    USHORT append_leb;
    LIST_ENTRY open_lebs;
    UCHAR wear_warned;
    ULONG64 t0, t1, t2;         // free-space thresholds, packets
    USHORT opener_slot;
    leb_counters* counters;     // one per LEB of the card
    ULONG* leb_packets;         // usable packets per LEB, cached on first use (all ones: not yet)
    kpav_spinlock lock;         // append LEB, chain links, counters
    ULONG eb_count;             // records in `lebs`
    leb_record* lebs;
    ULONG packets_per_leb;      // usable packets of a whole LEB
    ULONG leb_span;             // packets per LEB + 1: the stride of log addresses (and of gpkt)
    ULONG64 last_addr;
    lba_range_locks ranges;
    void* eb_buffer;            // one erase block of bytes
    mem_stats* md_footprint;    // the card's counter of metadata memory
    UCHAR preallocate;          // the card's "preallocate" setting
    mblk_table* mblks;
    pav_page_pool md_pages;     // the log's metadata page pool
    void* discard_note;         // the partial-atomic-write discard note
    ULONG discard_note_bytes;
    ULONG64 written_pos;        // LEB in bits 0-15, packet offset in bits 32-63; 0: none
    UCHAR written_set;
    kpav_spinlock written_lock;
    ULONG64 forward_map_blocks; // metadata blocks the forward map holds (for the room it needs)
    const datalog_store_ops* store_ops;  // never NULL once created
    void* store;
    kpav_step_run start;
};

// The device name for messages: the card's, "dov??" without one.
inline const char* datalog_device_name(const pav_log* log) {
    return channel_name(log != nullptr ? log->channel : nullptr);
}
inline nand_dev* datalog_nand_dev(const pav_log* log) {
    return log->channel;
}

// Creation and teardown (attach and detach): PASSIVE_LEVEL. `lebs` holds one record per erase
// block of the card; `format` the format's parameters from the EB opener.
int pav_log_create(pav_log* log, nand_dev* channel, leb_record* lebs, const log_format_params* format, void* owner);
void pav_log_destroy(pav_log* log);

// Hands the log the store above it (NULL: the defaults again). PASSIVE_LEVEL, while no append
// is in flight.
void datalog_set_store(pav_log* log, const datalog_store_ops* ops, void* store);

// Acts once: when the log has a card and its state moves to PAV_LOG_UNRECOVERABLE_ERROR now,
// the owner's on_device_failure gets `code`; without an owner table the levelled log says
// "Internal software error (<log name>)". Any IRQL up to DISPATCH_LEVEL.
void pav_log_internal_error(pav_log* log, int code, ULONG64 a, ULONG64 b);

// The client operations the log installs in its card.
extern const nand_dev_client_ops datalog_client_ops;
// The advance steps' notice (advance_notice_fn): `log`'s written position moves to the end of
// the LEB the step closed. At most DISPATCH_LEVEL.
void datalog_written_leb_notice(void* log, USHORT leb);
// Client slot 0: takes `wanted` (65535: an erased block picked by wear) as the new append LEB;
// builds its EB header and opener into `out_header` (a first-packet buffer) when given and
// returns the head reserve through `arg` (a ULONG*) when given. 0, -KPAV_ENOSPC, -KPAV_EIO.
int datalog_new_append_eb(nand_dev* channel, USHORT* out_leb, USHORT wanted, void* out_header, void* arg);
void datalog_close_leb(pav_log* log, USHORT leb);

// Relinks the chain from the LEBs' sequences (attach), and links the erased blocks.
int datalog_relink(pav_log* log);
int datalog_link_erased_space(pav_log* log);

// Capacities and space, in packets.
ULONG datalog_leb_capacity(const pav_log* log, USHORT leb);
ULONG datalog_leb_overhead(const pav_log* log, USHORT leb);
ULONG64 datalog_erased_space(const pav_log* log);  // under the log's lock
// The same for callers outside the log: takes the log's lock (the erased list changes under it
// while blocks are taken for appends). At most DISPATCH_LEVEL.
ULONG64 datalog_erased_space_now(pav_log* log);
ULONG64 datalog_free_space(const pav_log* log);
ULONG64 datalog_usable_capacity(const pav_log* log);
// Under the log's lock: the reduced-write levels, the wear-out warning and the low-space flag.
void datalog_check_free_space(pav_log* log);
// Usable packets of every block not mapped out, for sector size `sector_size`.
ULONG64 ebinfo_usable_capacity(nand_dev* channel, ULONG sector_size);
// The room a metadata save needs, in packets: the forward map's blocks (a page of 4096 bytes
// each) and five LEBs of runway. Any IRQL.
ULONG64 datalog_metadata_room(const pav_log* log);
// The thresholds: T0 warns, below T1 writes are slowed, below T2 the device is read-only.
void log_thresholds_compute(pav_log* log);

// Written position.
void pav_log_set_written_pos(pav_log* log, USHORT leb, ULONG offset);
void pav_log_set_written_leb(pav_log* log, USHORT leb);
// Moves the written position to (leb, offset) when that lies after it (or none is set): true
// when it moved. Appends completing out of their order leave it at the latest.
bool pav_log_advance_written_pos(pav_log* log, USHORT leb, ULONG offset);
bool pav_log_leb_at_or_after_written(pav_log* log, USHORT leb);

// Checks that the chain from `start_leb` carries sequences start_sequence + 64 x i up to
// `end_leb`: 0, -KPAV_EAGAIN on a mismatch, -KPAV_EINVAL for a bad start.
int datalog_check_sequence(pav_log* log, USHORT start_leb, USHORT end_leb, ULONG64 start_sequence);
// The log position of the oldest LEB (from the head) whose erase time lies less than `seconds`
// above the running minimum of erase times: 0 when none.
ULONG64 datalog_find_leb_by_erase_age(pav_log* log, ULONG seconds);

// Before `leb` is erased: re-records the EB notes that lie in it, and the notes of every LEB of
// the channel range that has none yet and is neither closed, retired nor mapped by the MEL,
// through the append point, counted in `waiter` (eb_note_tracker, apt.h); then waits until the
// waiter's count is back to 1. 0, or the first error of a submission or of a note.
// PASSIVE_LEVEL.
struct eb_note_tracker;
int datalog_renote_leb(pav_log* log, USHORT leb, eb_note_tracker* waiter);

// The address arithmetic below reads only the log's LEB records: any IRQL.
struct log_pos {
    USHORT leb;
    ULONG offset;
};

// Advances a position by `length` packets along the LEB chain: 0; -KPAV_EIO when the chain ends or
// the LEB is out of range; -KPAV_EINVAL without a log.
int log_pos_advance(const pav_log* log, log_pos* position, ULONG64 length);

// The address `length` packets after `address`: addresses below 16 come back unchanged; an
// address whose LEB has no room left continues in the next LEB of the chain. All ones (-1) when
// the chain ends before.
ULONG64 pav_log_addr_advance(const pav_log* log, ULONG64 address, ULONG64 length);

// Whether `address` names a usable packet of one of the log's LEBs.
bool pav_log_addr_is_packet(const pav_log* log, ULONG64 address);

inline ULONG64 pav_log_addr(const pav_log* log, USHORT leb, ULONG offset) {
    return PAV_LOG_FIRST_ADDR + (ULONG64)log->leb_span * leb + offset;
}

// Write position of the run whose first packet is at `address`: the LEB's sequence << 24 | the
// packet offset. 0 for an address that names no packet of this log.
ULONG64 datalog_write_position(const pav_log* log, ULONG64 address);
