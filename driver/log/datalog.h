// The data log of an attached card: the record that names the card and owns the metadata blocks
// and page pool, the per-LEB records with their sequence numbers and chain links, the log's
// internal-error report and its address arithmetic.
#pragma once

#include "driver/controller/pipeline_device.h"
#include "driver/log/page_pool.h"
#include "driver/platform/mem_stats.h"
#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct mblk;
struct mblk_table;
struct pav_log;

// "No LEB" everywhere: erase-block numbers are 16 bits.
constexpr USHORT PAV_NO_LEB = 65535;

// Log addresses below this name no packet.
constexpr ULONG64 PAV_LOG_FIRST_ADDR = 16;

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

// One per erase block of the card. Each new append LEB takes the previous one's sequence + 64;
// a log position is sequence << 24 | packet offset.
struct leb_record {
    ULONG64 sequence;
    USHORT next;      // PAV_NO_LEB at the end of the chain
    USHORT previous;
};

// The owner's table of failure callbacks (the attach record's), installed after the metadata
// load.
struct bdev_failure_callbacks {
    void (*on_device_failure)(void* owner, int reason);
    void (*on_hardware_failure)(void* owner);
    void (*on_notify)(void* owner, int event);
    void (*on_stop)(void* owner);
    void (*on_flagged_stop)(void* owner);
    void* bdev_slots[5];  // slots 5 to 9: the block-device paths' own callbacks
};

// Services of the layers below the log (the erase-block information, the append path),
// registered by whoever creates the log. A NULL entry means the plain rule noted beside it.
struct pav_log_hooks {
    // Usable packets of an LEB, from the erase-block information (NULL: every LEB holds
    // packets_per_leb).
    ULONG (*leb_capacity)(const pav_log* log, USHORT leb);
    // Appends a metadata block's page to the log as `packets` packets whose entry word is
    // `entry_word`, completing through `completion` (NULL: -95, nothing is written).
    int (*append_metadata_block)(pav_log* log, mblk* block, ULONG64 entry_word, ULONG packets, void* completion);
};

struct pav_log {
    pipeline_device* card;  // NULL while the log is not created
    void* owner;            // the attach record
    const bdev_failure_callbacks* owner_ops;
    kpav_state state;
    char name[32];          // "data"
    ULONG sector_size;
    ULONG packets_per_leb;  // usable packets of a whole LEB
    ULONG leb_span;         // packets per LEB + 1: the stride of log addresses (and of gpkt)
    ULONG eb_count;         // records in `lebs`
    leb_record* lebs;
    pav_log_hooks hooks;
    mem_stats* md_footprint;  // the card's counter of metadata memory
    UCHAR preallocate;        // the card's "preallocate" setting
    mblk_table* mblks;
    pav_page_pool md_pages;   // the log's metadata page pool
};

// The device name for messages: the card's, "dov??" without one.
inline const char* datalog_device_name(const pav_log* log) {
    return pav_card_name(log != nullptr ? log->card : nullptr);
}

// Acts once: when the log has a card and its state moves to PAV_LOG_UNRECOVERABLE_ERROR now,
// the owner's on_device_failure gets `code`; without an owner table the levelled log says
// "Internal software error (<log name>)". Any IRQL up to DISPATCH_LEVEL.
void pav_log_internal_error(pav_log* log, int code, ULONG64 a, ULONG64 b);

// The address arithmetic below reads only the log's LEB records: any IRQL.

// Usable packets of `leb`.
ULONG datalog_leb_capacity(const pav_log* log, USHORT leb);

struct log_pos {
    USHORT leb;
    ULONG offset;
};

// Advances a position by `length` packets along the LEB chain: 0; -5 when the chain ends or the
// LEB is out of range; -22 without a log.
int log_pos_advance(const pav_log* log, log_pos* position, ULONG64 length);

// The address `length` packets after `address`: addresses below 16 come back unchanged; an
// address whose LEB has no room left continues in the next LEB of the chain. All ones (-1) when
// the chain ends before.
ULONG64 pav_log_addr_advance(const pav_log* log, ULONG64 address, ULONG64 length);

// Whether `address` names a usable packet of one of the log's LEBs.
bool pav_log_addr_is_packet(const pav_log* log, ULONG64 address);

// Write position of the run whose first packet is at `address`: the LEB's sequence << 24 | the
// packet offset. 0 for an address that names no packet of this log.
ULONG64 datalog_write_position(const pav_log* log, ULONG64 address);
