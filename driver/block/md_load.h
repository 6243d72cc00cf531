// The metadata of a data log across a stop: the save at a clean stop (the forward map's blocks
// written at the end of the log, between a metadata header and a metadata end record) and the
// load at the next start, which finds the end record and reads the blocks back ("found
// metadata"), or, after an unclean stop, a forced rescan or when the saved metadata cannot be
// used, rescans the whole log: the trailing packets of an atomic write the stop cut short are set
// aside by a discard note, and every data packet is entered into the forward map, directly or
// through the reverse map or the reverse sort.
//
// Single-threaded, before the device takes I/O (load) or after it stopped taking it (save):
// PASSIVE_LEVEL throughout.
#pragma once

#include "driver/platform/os.h"
#include "driver/platform/sync.h"

struct pav_log;
struct mdt_context;
struct vbmap;
struct log_file;
struct log_file_pos;

// What the load and the save reach of the attach record.
struct md_store {
    pav_log* log;
    mdt_context* mdt;
    vbmap* validity;          // NULL: the log tracks no bitmaps
    kpav_state* dev_state;    // the card's attach state (NULL: not kept)
    ULONG attach_flags;       // MD_ATTACH_*
    ULONG rmap_limit_mib;     // RMAP_MEMORY_LIMIT_MiB
    ULONG rsort_limit_mib;    // RSORT_MEMORY_LIMIT_MiB
    // Set by the load.
    UCHAR rebuild_mode;       // MD_REBUILD_*
    UCHAR rescanned;
    ULONG lebs_scanned;
    ULONG cleb_count;
};

constexpr ULONG MD_ATTACH_CLEAN = 0x8;  // the metadata was loaded from an end record

// metadata_load flags.
constexpr ULONG MD_LOAD_FORCE_RESCAN = 0x4;
constexpr ULONG MD_LOAD_NO_RESCAN = 0x8;

enum md_rebuild_mode : UCHAR {
    MD_REBUILD_DIRECT = 0,
    MD_REBUILD_RMAP = 1,
    MD_REBUILD_RSORT = 2,
};

// The card's attach states the load moves through.
constexpr ULONG MD_DEV_ATTACHING = 2;
constexpr ULONG MD_DEV_LOADING = 4;
constexpr ULONG MD_DEV_RESCANNING = 5;
constexpr ULONG MD_DEV_DETACH_REQUESTED = 3;

// The metadata version a save writes and a load accepts.
constexpr ULONG MD_VERSION = 0xF06;

// The states of the backward search for the end record.
enum md_checkpoint_state : int {
    MD_CP_NONE = 0,
    MD_CP_METADATA = 1,  // a metadata entry (0x87, 0x89, 0x8E) ends the log
    MD_CP_END = 2,       // the end record
    MD_CP_DATA = 3,      // data after the last metadata
    MD_CP_SYSTEM = 4,    // a system packet
    MD_CP_REGION = 5,    // a metadata-region note (0x88)
};

// The 48-byte end record: u16 at 10 the first LEB of the saved metadata, u64 at 16 that LEB's
// sequence; the 40-byte metadata header: u32 at 12 the version.
constexpr ULONG MD_END_RECORD_BYTES = 48;
constexpr ULONG MD_HEADER_BYTES = 40;
constexpr ULONG MD_CHECKPOINT_NOTE_BYTES = 40;

// Writes the metadata at a clean stop, the append point open and no I/O coming: a checkpoint
// note, the append point advanced to a new LEB, the validity summaries and the forward map
// saved, a metadata header, every metadata block, the append point advanced, the end record.
// 0 or the first step's error (the next start then rescans). The map is fit only for destroy
// afterwards.
int datalog_write_metadata(md_store* store);

// The load at attach: 0 or a negative errno. `flags`: MD_LOAD_*.
int metadata_load(md_store* store, ULONG flags);

// The search for the end record from the append LEB backwards: the state reached, its position
// and (state MD_CP_END) the record; the last opcode the search saw. 0 or the reader's error.
int checkpoint_find(log_file* reader, log_file_pos* out_position, UCHAR* out_record, int* out_state,
                    UCHAR* out_last_opcode);
