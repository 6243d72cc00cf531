// Attach-time validation of a card's management data and the ordering of its LEBs: every
// block's EB opener read back to decide its LEB's function state, the blocks checked to belong to
// one compatible format of one log (its log slot), corrupt blocks counted, a card of an older
// format found (upgrade), the newest LEB's record of the other blocks' states applied, and the
// log's LEBs linked into their chain by sequence. Also the small LEB-list operations these use.
//
// All of it runs at attach or format, PASSIVE_LEVEL, before the log takes appends, except where
// a routine says otherwise.
#pragma once

#include "driver/log/datalog.h"
#include "driver/log/mgmt.h"
#include "driver/platform/os.h"

constexpr ULONG MGMT_LOG_SLOTS = 4;
constexpr UCHAR LEB_SCAN_READ = 1;
constexpr UCHAR LEB_SCAN_MAPPED = 9;

// ---- Interface

// What validation learns of each block beyond the log's LEB records.
struct leb_attach_info {
    ULONG version;          // of its EB opener (0: none)
    ULONG format_sequence;  // of the format that wrote it
    UCHAR scan_state;       // LEB_SCAN_READ or LEB_SCAN_MAPPED
};

struct mgmt_validation {
    pav_log* log;               // its channel, LEB records and range
    leb_attach_info* lebs;      // one per block of the card
    mgmt_log_slot slots[MGMT_LOG_SLOTS];
    ULONG corrupt;              // blocks whose record could not be used
    UCHAR incompatible;         // a record carried the incompatible-feature flag
    UCHAR upgrade;              // no record of the current format version was found
    ULONG chain_count;          // LEBs linked by leb_order_chain
};

// 0 or -KPAV_ENOMEM; the log must have its card and LEB records.
int mgmt_validation_init(mgmt_validation* v, pav_log* log);
void mgmt_validation_exit(mgmt_validation* v);
// The format sequence of log 1's slot (0: none found).
ULONG mgmt_validation_format_sequence(const mgmt_validation* v);

// Reads every block's EB opener (the retry read mode when asked) and sets its LEB's function
// state: corrupt for a record that cannot be read or is not an opener, erased for erased media,
// retired for a block with a map mark; an opener gives the LEB its version, sequence and format
// sequence and goes through mgmt_log_slot_check. 0; -KPAV_EBADF for a version outside 5..0x5FF
// ("%s: Unsupported format version %d.\n"); a slot check's error ("%s: Unable to read management
// metadata at (%4u).\n"); -KPAV_ENOMEM. Without any record of version 0x501 or later the card
// is an older format's: it is prepared (attach_upgrade_prepare) and the first block after block 0
// without a map mark goes to the client's error notice (slot 2).
int mgmt_metadata_validate(mgmt_validation* v, bool retry);
// Checks an opener against the log slots: its EBO number names `eb`, its log id is 1, and a
// record of log 1's current format agrees with the slot in log id, sector size, capacity, sparse
// flag, logical capacity (sparse formats) and volume id ("%s: eb %4u had %s mismatch\n"); a newer
// format sequence replaces the slot, an older one is ignored. 0, -KPAV_EINVAL or -KPAV_ENOSPC (no
// slot free). *incompatible is set when the record carries the incompatible-feature flag.
int mgmt_log_slot_check(nand_dev* channel, mgmt_log_slot slots[MGMT_LOG_SLOTS], USHORT eb, const mgmt_header* record,
                        UCHAR* incompatible);

// Applies the newest LEB's state map and EB notes, then links the LEBs of the log's format into
// the chain by sequence (each closed), head to tail. 0; -KPAV_EINVAL with corrupt LEBs ("%s: Too
// many corrupt lebs (%d).\n") or foreign ones (the incompatible flag set), unless `tolerant`;
// the newest LEB's errors.
int leb_order_chain(mgmt_validation* v, bool tolerant);
int leb_newest_apply_state(mgmt_validation* v);
// A block's state as an opener's map or an EB note records it: erased (2) and retired (3) put a
// block without a map mark back to erased, to be erased before use (condition 7).
void leb_apply_eb_state(mgmt_validation* v, USHORT eb, UCHAR state);

// A valid EB note found by the scan: the block's wear and masks from it, then the block erased.
int eb_note_apply(nand_dev* channel, const eb_note* note);

// Sets the LEB's function state to closed (waking its waiters); returns the state it had.
ULONG leb_mark_closed(pav_log* log, USHORT leb);
// Takes an LEB out of the chain: 0, or -KPAV_EINVAL ("%s: invalid LEB %4u (valid range
// %4u-%4u).\n") for an LEB outside the log's range, 0 or 65535. At most DISPATCH_LEVEL.
int leb_unlink(pav_log* log, USHORT leb);
// The card's erased list made again from the LEBs in the erased state.
int leb_rebuild_erased_list(pav_log* log);
// Every LEB erased or corrupt gets the erase count "unknown" (all ones).
void leb_unknown_wear(pav_log* log);
// The chain's order as two arrays of leb_count + 1 entries (65535: none): position of each LEB,
// LEB of each position. 0 or -KPAV_ENOMEM; free with leb_index_free.
struct leb_index {
    USHORT* position_of;
    USHORT* leb_at;
    ULONG entries;
};
int attach_alloc_leb_index(pav_log* log, ULONG chain_count, leb_index* out);
void leb_index_free(leb_index* index);
// An older format's card: open blocks get their unwritten tail filled, blank ones are filled and
// erased.
void attach_upgrade_prepare(nand_dev* channel);
