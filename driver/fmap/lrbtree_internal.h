// The forward map's own records and routines, shared by its files: the control block with its
// shard arithmetic, the per-tree shape, the cursors and paths that one shard operation works
// with, and the per-shard cores of update and walk. Callers use lrbtree.h.
#pragma once

#include "driver/fmap/lrbtree.h"
#include "driver/log/datalog.h"
#include "driver/log/mblk.h"

// The root table holds this many sector-range shards, which bounds S to 2^48.
constexpr ULONG LRB_SECTOR_ROOTS = 65536;
constexpr ULONG LRB_RESERVED_ROOTS = 256;
constexpr ULONG LRB_SHARD_LOCKS = 256;

// A shard has at most five levels: leaves at 0, index levels 1 to 4.
constexpr ULONG LRB_MAX_LEVELS = 5;

// Entry capacity of the largest node kind.
constexpr ULONG LRB_NODE_SLOT_BYTES = 4064;

// An index entry as a record: the child is a metadata-block reference in memory (bit 0 clear)
// or, saved, (child's key << 1) | 1.
struct lrbtree_index_rec {
    ULONG64 key;
    ULONG64 child;
};

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

// What every shard of a tree shares: the key width, the node layouts, the owner's callbacks,
// the header block and the map's kept error.
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
};

// Paths and windows take no references on their nodes: nodes change and go only under the
// shard's lock held exclusively, which keeps every path of another operation away.
struct lrbtree_path_level {
    mblk* node;
    LONG index;    // entry chosen at this level
    ULONG64 low;   // key bounds of the node, relative to the shard
    ULONG64 high;
};

struct lrbtree_path {
    lrbtree_path_level level[LRB_MAX_LEVELS];
};

// One shard's working state for one operation; it lives on the caller's stack.
struct lrbtree_cursor {
    const lrbtree_shape* shape;  // the map's
    lrbtree* map;
    LONG error;  // the map's kept error when opened, else the first error of this operation
    LONG depth;  // -1 for an empty shard
    mblk* root;
    ULONG64 base;
    ULONG64 span;
    bool exclusive;  // the shard's lock is held exclusively: entries may be written back
    ULONG shard;
    lrbtree_update_rec* record;  // the caller's record while an update runs
    mblk* reserve[LRB_MAX_LEVELS + 1];  // nodes taken before an update changes anything
    ULONG reserved;
};

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
    ULONG64 sector_count;   // the device's sectors
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
    // What a load found in the trees it hung, against the header block's counters.
    ULONG64 loaded_counts[5];
    ULONG64 roots[LRB_SECTOR_ROOTS + LRB_RESERVED_ROOTS];
};

// ---------------------------------------------------------------------------------------------
// Shard arithmetic

inline ULONG lrbtree_shard_of(const lrbtree* map, ULONG64 key) {
    if (key >= map->reserved_base) {
        return (ULONG)(((key - map->reserved_base) & map->reserved_mask) >> map->reserved_shift) + map->sector_shards;
    }
    if (key < map->sector_length) {
        return (ULONG)((key & map->sector_mask) >> map->sector_shift);
    }
    return 0;
}

inline ULONG64 lrbtree_shard_base(const lrbtree* map, ULONG shard) {
    if (shard < map->sector_shards) {
        return (ULONG64)shard << map->sector_shift;
    }
    return ((ULONG64)(shard - map->sector_shards) << map->reserved_shift) + map->reserved_base;
}

inline ULONG64 lrbtree_shard_span(const lrbtree* map, ULONG shard) {
    return shard < map->sector_shards ? map->sector_span : map->reserved_span;
}

// The root slot of a shard: sector-range shards first, the reserved range's after them.
inline ULONG lrbtree_root_slot(const lrbtree* map, ULONG shard) {
    return shard < map->sector_shards ? shard : LRB_SECTOR_ROOTS + (shard - map->sector_shards);
}

// ---------------------------------------------------------------------------------------------
// Cursors, paths and search. A cursor is opened under its shard's lock and closed before the
// lock is released, at DISPATCH_LEVEL, as is everything below that works on one: the entry
// points that open cursors state the IRQL, these routines, which run once or more for every
// operation, do not count another assertion each.

// lrbtree_cursor_open and lrbtree_cursor_close (lrbtree_node.h) open a cursor on a shard and put
// its root back into the root slot, noting its error as the map's first error.
void lrbtree_set_root(lrbtree_cursor* cursor, mblk* root);
// Logs "Internal software error - tree: %d" and keeps the first error in the cursor.
void lrbtree_cursor_fail(lrbtree_cursor* cursor, int error);

void lrbtree_path_reset(lrbtree_path* path);
// Empties the path.
void lrbtree_path_release(lrbtree_cursor* cursor, lrbtree_path* path);

// Descends from the root to the node of `level` whose range holds `key`: 0, or -KPAV_ENOENT for an
// empty shard.
int lrbtree_descend_to(lrbtree_cursor* cursor, lrbtree_path* path, ULONG64 key, ULONG level);
inline int lrbtree_descend(lrbtree_cursor* cursor, lrbtree_path* path, ULONG64 key) {
    return lrbtree_descend_to(cursor, path, key, 0);
}

struct lrb_node;
// First entry whose end lies above `key`; the count when none does.
ULONG lrbtree_leaf_search(const lrbtree_layout* layout, const lrb_node* node, ULONG64 key, ULONG64 low, ULONG64 high);
// Child i with key(i) <= key < key(i + 1) and its bounds; -KPAV_ENOENT for an empty node.
LONG lrbtree_index_search(const lrbtree_layout* layout, const lrb_node* node, ULONG64 key, ULONG64* low_out,
                          ULONG64* high_out, ULONG64 low, ULONG64 high);

// Moves the path to the next (previous) node of `level`: 0, or -KPAV_ENOENT at the edge of the
// shard.
int lrbtree_path_next(lrbtree_cursor* cursor, lrbtree_path* path, ULONG level);
int lrbtree_path_prev(lrbtree_cursor* cursor, lrbtree_path* path, ULONG level);
// After the first key of the node at `level` changed, rewrites its separator in the parent and
// so on up while the node is its parent's first child.
void lrbtree_separators_update(const lrbtree_shape* shape, lrbtree_path* path, ULONG level);

// Creates a shard's first nodes: a leaf under a level-1 root whose one entry (key 0) leads to it.
// 0, or the error (logged, kept in the cursor).
int lrbtree_create_root(lrbtree_cursor* cursor);

// Prints the cursor's path after a failure.
void lrbtree_path_print(const lrbtree_cursor* cursor, const lrbtree_path* path);
// Address `n` keys after `gpkt` by the log's address rule.
inline ULONG64 lrbtree_gpkt_advance(const lrbtree_shape* shape, ULONG64 gpkt, ULONG64 n) {
    return n == 0 ? gpkt : pav_log_addr_advance(shape->log, gpkt, n);
}

// Moves level `level` of `source` into `destination`: 0, or -KPAV_EINVAL for a level of 5 or more.
int lrbtree_cursor_borrow(lrbtree_cursor* cursor, lrbtree_path* destination, lrbtree_path* source, int level);

// ---------------------------------------------------------------------------------------------
// The per-shard cores of update and walk, on a cursor opened under the shard's lock; keys of the
// piece and range are relative to the shard.

int lrbtree_shard_update(lrbtree_cursor* cursor, lrbtree_update_rec* piece);
int lrbtree_shard_walk(lrbtree_cursor* cursor, lrbtree_range* range, const lrbtree_enum_ops* ops, void* context,
                       bool coalesce);

// ---------------------------------------------------------------------------------------------
// Balancing (lrbtree_balance.cpp): insertions that split, removals that merge or spread, and the
// root that collapses. The writers' mutex is held: they work in the map's scratch space.

// Nodes an insertion of `m` entries into the path's leaf needs: one per level, from the leaf up,
// while the node there is full and its window has no room either, and a new root when the root
// is full too.
ULONG lrbtree_nodes_needed(lrbtree_cursor* cursor, const lrbtree_path* path, ULONG m);
// Puts `m` raw entries at `pos` of the node at `level` of the path, splitting when it is full
// (with the nodes the update reserved). The path is used up.
int lrbtree_insert_entries(lrbtree_cursor* cursor, lrbtree_path* path, ULONG level, ULONG pos, const UCHAR* raw,
                           ULONG m);
// Rebalances the node at `level` of the path after entries were removed from it. The path is
// used up.
void lrbtree_rebalance(lrbtree_cursor* cursor, lrbtree_path* path, ULONG level);
// While the shard is deeper than one level and its root has one child, the child becomes the
// root; an emptied root leaves the shard empty.
void lrbtree_collapse_root(lrbtree_cursor* cursor);
