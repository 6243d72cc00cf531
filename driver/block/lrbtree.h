// The forward map: for every logical sector of a card's data block device (and every key of a
// reserved range that other layers keep in it), the media packet that holds it. It is a set of
// independent B+ trees, the shards, each over a fixed slice of the key space, built from
// 4096-byte nodes that live in metadata blocks so that they can be saved and reloaded.
//
// Every change goes through lrbtree_update, every read through lrbtree_enumerate. Writers hold
// the writers' mutex for a whole call and one shard's lock exclusively per piece; walks hold one
// shard's lock shared at a time, so their callbacks and the invalidation callback run at
// DISPATCH_LEVEL and must not wait.
#pragma once

#include "driver/log/datalog.h"
#include "driver/log/mblk.h"
#include "driver/platform/os.h"

// Key space. Keys are 56 bits: the sector range [0, S) and the reserved range of 2^32 keys.
constexpr ULONG64 LRB_RESERVED_BASE = 0x00FFFFFF00000000ull;
constexpr ULONG64 LRB_RESERVED_LENGTH = 0x100000000ull;
constexpr ULONG64 LRB_KEY_END = 1ull << 56;
// The root table holds this many sector-range shards, which bounds S to 2^48.
constexpr ULONG LRB_SECTOR_ROOTS = 65536;
constexpr ULONG LRB_RESERVED_ROOTS = 256;
constexpr ULONG64 LRB_MAX_SECTOR_SPACE = 1ull << 48;
constexpr ULONG LRB_SHARD_LOCKS = 256;

// Runs and packet addresses.
constexpr ULONG LRB_MAX_RUN = 64;
constexpr ULONG64 LRB_GPKT_INVALID = 0x3FFFFFFFFull;
constexpr ULONG64 LRB_UNMAP_ALL = ~0ull;

// Metadata-block keys of the tree: its nodes and its header block.
constexpr ULONG64 LRB_FIRST_NODE_ID = 0x00EFFFFF00000000ull;
constexpr ULONG64 LRB_LAST_NODE_ID = 0x00EFFFFFFFFFFFFFull;
constexpr ULONG64 LRB_HEADER_KEY = 0x00FFFFFFFFFF6E30ull;

// A shard has at most five levels: leaves at 0, index levels 1 to 4.
constexpr ULONG LRB_MAX_LEVELS = 5;

// Enumeration flags.
constexpr ULONG LRB_ENUM_LOCK_WRITERS = 1;  // hold the writers' mutex for the walk
constexpr ULONG LRB_ENUM_COALESCE = 2;      // report physically contiguous runs as one
constexpr ULONG LRB_ENUM_TRY = 4;           // with bit 0: -16 when the mutex is held

// One update: map [key, key + count) to gpkt.. (unmap 0), remove every mapping of the range
// (unmap all ones), or remove only the runs written before log position `unmap`. `out` receives
// the net change of mapped keys.
struct lrbtree_update_rec {
    ULONG64 key;
    ULONG64 count;
    ULONG64 gpkt;
    ULONG64 unmap;
    LONG64 out;
};
static_assert(sizeof(lrbtree_update_rec) == 40, "five 64-bit words");

// A leaf entry as a record; the key is relative to the shard's base key.
struct lrbtree_leaf_rec {
    ULONG64 key;
    ULONG64 gpkt;
    ULONG length;
};

// An index entry as a record: the child is a metadata-block reference in memory (bit 0 clear)
// or, saved, (child's key << 1) | 1.
struct lrbtree_index_rec {
    ULONG64 key;
    ULONG64 child;
};

// A key range in absolute keys.
struct lrbtree_range {
    ULONG64 start;
    ULONG64 length;
};

struct lrbtree;
struct lrbtree_cursor;

// Walk callbacks: 0 goes on, a negative errno stops (-11 without a message). on_data_range
// returning 1 or more with an entry writes the entry back into the leaf, in a walk under the
// writers' mutex only (elsewhere it stops the walk with -22).
using lrbtree_data_fn = int (*)(lrbtree_range* range, void* context, ULONG64 gpkt, lrbtree_leaf_rec* entry);
using lrbtree_empty_fn = int (*)(lrbtree_range* range, void* context);
using lrbtree_leaf_fn = int (*)(lrbtree_range* range, void* context, lrbtree_cursor* cursor, mblk* leaf);

struct lrbtree_enum_ops {
    lrbtree_data_fn on_data_range;
    lrbtree_empty_fn on_empty_range;
    lrbtree_leaf_fn on_leaf;  // optional
};

// Called for every displaced run (absolute first key, length, address of its first key, the
// update record) under the shard lock at DISPATCH_LEVEL; 0 or more, else the update fails.
using lrbtree_invalidate_fn = int (*)(void* context, ULONG64 first_key, ULONG64 length, ULONG64 gpkt,
                                      lrbtree_update_rec* record);

struct lrbtree_shape;

// Geometry of one entry kind in a 4096-byte node.
struct lrbtree_layout {
    ULONG capacity;     // 4064 / entry size
    ULONG entry_size;
    ULONG header_size;  // 32
    ULONG fill_target;  // (2 x capacity + 2) / 3
    ULONG kind;
    lrbtree_shape* shape;
};

// The per-tree template every shard cursor starts from.
struct lrbtree_shape {
    ULONG key_width;  // 24, 32 or 48
    ULONG64 next_node_id;
    ULONG64 last_node_id;
    lrbtree_layout index_layout;
    lrbtree_layout leaf_layout;
    ULONG index_kind;  // 4 or 6
    ULONG leaf_kind;   // 1, 3 or 5
    lrbtree_invalidate_fn invalidate;
    void* invalidate_context;
    pav_log* log;
    mblk* header;  // the header block, once the map is reset or loaded
    LONG error;    // non-zero: every cursor starts failed
    // Meaningful in an opened cursor:
    LONG depth;    // -1 for an empty shard
    mblk* root;
    ULONG64 base;
    ULONG64 span;
};

struct lrbtree_path_level {
    mblk* node;    // referenced while the path holds it
    LONG index;    // entry chosen at this level
    ULONG64 low;   // key bounds of the node, relative to the shard
    ULONG64 high;
};

struct lrbtree_path {
    lrbtree_path_level level[LRB_MAX_LEVELS];
};

// One shard's working state for one operation; it lives on the caller's stack.
struct lrbtree_cursor {
    lrbtree_shape shape;
    lrbtree* map;
    bool exclusive;  // the shard's lock is held exclusively: entries may be written back
    ULONG shard;
    lrbtree_update_rec* record;  // the caller's record while an update runs
    mblk* reserve[LRB_MAX_LEVELS + 1];  // nodes taken before an update changes anything
    ULONG reserved;
};

// Entry capacity of the largest node kind.
constexpr ULONG LRB_NODE_SLOT_BYTES = 4064;

// Up to three consecutive nodes of one level, each with its path, while their entries are
// redistributed.
struct lrbtree_window {
    lrbtree_path paths[3];
    ULONG nodes;
    ULONG self;  // position of the node that asked
};

struct alignas(64) lrbtree_lock_slot {
    EX_SPIN_LOCK lock;
};
static_assert(sizeof(lrbtree_lock_slot) == 64, "each shard lock in a slot of its own");

struct lrbtree {
    lrbtree_lock_slot* locks;
    ULONG lock_count;  // 256
    ULONG lock_mask;   // 255
    FAST_MUTEX writers;
    ULONG64 sector_count;
    ULONG64 sector_base;
    ULONG64 sector_length;  // S
    ULONG64 reserved_base;
    ULONG64 reserved_length;
    pav_log* owner;
    lrbtree_shape shape;
    volatile LONG first_error;
    ULONG64 sector_span;
    ULONG64 reserved_span;
    ULONG64 sector_mask;
    ULONG64 reserved_mask;
    ULONG sector_shift;
    ULONG reserved_shift;
    ULONG sector_shards;
    ULONG total_shards;
    // Where the search for a free node key goes on: the next key after the last one taken.
    ULONG64 node_cursor;
    // Working space of the one writer that holds the writers' mutex: the entries of a window of
    // three nodes and up to two new ones.
    UCHAR scratch[3 * LRB_NODE_SLOT_BYTES + 2 * 16];
    lrbtree_window windows[LRB_MAX_LEVELS];
    ULONG64 roots[LRB_SECTOR_ROOTS + LRB_RESERVED_ROOTS];
};

// Creates an empty map over `sector_count` sectors and a sector space of S keys. 0; -22 when S
// is 0 or above 2^48; -12 (nothing left allocated, *out NULL). PASSIVE_LEVEL, as are destroy
// and reset.
int lrbtree_create(lrbtree** out, pav_log* owner, ULONG64 sector_count, ULONG64 sector_space);
// Frees the control block; the nodes stay with the log's block table.
void lrbtree_destroy(lrbtree** map);
// Makes the map empty with a fresh header block: 0, or the error (kept in the shape). The old
// nodes are left to the log's block table.
int lrbtree_reset(lrbtree* map);
// Sets the owner's invalidation callback.
void lrbtree_set_invalidate(lrbtree* map, lrbtree_invalidate_fn callback, void* context);

// Applies `n` records in order; stops at the first failing one. Once a shard operation has
// failed (a node allocation, an invalidation), the map keeps the error: every later update
// fails with it and walks of its shards with -22. PASSIVE_LEVEL or APC_LEVEL.
int lrbtree_update(lrbtree* map, lrbtree_update_rec* records, ULONG n);
// Walks [start, end) in key order. Up to DISPATCH_LEVEL without LRB_ENUM_LOCK_WRITERS, below
// it with. Returns the last callback or walk result. Only a walk with LRB_ENUM_LOCK_WRITERS may
// have entries written back (it holds each shard's lock exclusively); elsewhere a data callback
// result of 1 or more stops the walk with -22.
int lrbtree_enumerate(lrbtree* map, lrbtree_range* range, const lrbtree_enum_ops* ops, void* context,
                      ULONG flags, ULONG64 start, ULONG64 end);

// What a lookup stores: the range found and the address of its first key (0 for a gap).
struct lrbtree_lookup {
    ULONG64 start;
    ULONG64 length;
    ULONG64 gpkt;
};
int lrbtree_first_data(lrbtree_range* range, void* context, ULONG64 gpkt, lrbtree_leaf_rec* entry);
int lrbtree_first_gap(lrbtree_range* range, void* context);
int lrbtree_gap_start(lrbtree_range* range, void* context);
int lrbtree_noop_data(lrbtree_range* range, void* context, ULONG64 gpkt, lrbtree_leaf_rec* entry);
// What lies at a key: {first_data, first_gap}. Where the first unmapped key of a window is:
// {no-op, gap_start}; the walk returns -11 exactly when there is one.
extern const lrbtree_enum_ops lrbtree_lookup_at;
extern const lrbtree_enum_ops lrbtree_find_gap;

// Shard arithmetic.
ULONG lrbtree_shard_of(const lrbtree* map, ULONG64 key);
ULONG64 lrbtree_shard_base(const lrbtree* map, ULONG shard);
ULONG64 lrbtree_shard_span(const lrbtree* map, ULONG shard);

// The per-shard cores of update and walk, on a cursor opened under the shard's lock; keys of the
// piece and range are relative to the shard.
int lrbtree_shard_update(lrbtree_cursor* cursor, lrbtree_update_rec* piece);
int lrbtree_shard_walk(lrbtree_cursor* cursor, lrbtree_range* range, const lrbtree_enum_ops* ops, void* context,
                       bool coalesce);

// Moves level `level` of `source` into `destination`: 0, or -22 for a level of 5 or more.
int lrbtree_cursor_borrow(lrbtree_cursor* cursor, lrbtree_path* destination, lrbtree_path* source, int level);
