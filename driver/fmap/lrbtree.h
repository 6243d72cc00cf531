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

#include "driver/platform/os.h"

struct lrbtree;
struct lrbtree_cursor;
struct mblk;
struct pav_log;

// Key space. Keys are 56 bits: the sector range [0, S) and the reserved range of 2^32 keys.
constexpr ULONG64 LRB_RESERVED_BASE = 0x00FFFFFF00000000ull;
constexpr ULONG64 LRB_RESERVED_LENGTH = 0x100000000ull;
constexpr ULONG64 LRB_KEY_END = 1ull << 56;
// The largest sector space S a map takes.
constexpr ULONG64 LRB_MAX_SECTOR_SPACE = 1ull << 48;

// Metadata-block keys the map takes: its nodes' range and its header block. Other users of the
// log's blocks keep clear of them.
constexpr ULONG64 LRB_FIRST_NODE_ID = 0x00EFFFFF00000000ull;
constexpr ULONG64 LRB_LAST_NODE_ID = 0x00EFFFFFFFFFFFFFull;
constexpr ULONG64 LRB_HEADER_KEY = 0x00FFFFFFFFFF6E30ull;

// Runs and packet addresses.
constexpr ULONG LRB_MAX_RUN = 64;
constexpr ULONG64 LRB_GPKT_INVALID = 0x3FFFFFFFFull;
constexpr ULONG64 LRB_UNMAP_ALL = ~0ull;

// Enumeration flags.
constexpr ULONG LRB_ENUM_LOCK_WRITERS = 1;  // hold the writers' mutex for the walk
constexpr ULONG LRB_ENUM_COALESCE = 2;      // report physically contiguous runs as one
constexpr ULONG LRB_ENUM_TRY = 4;           // with bit 0: -KPAV_EBUSY when the mutex is held

// One update: map [key, key + count) to gpkt.. (unmap 0; at most 64 keys), remove every mapping
// of the range (unmap all ones), or remove only the runs written before log position `unmap`.
// `out` receives the net change of mapped keys.
struct lrbtree_update_rec {
    ULONG64 key;
    ULONG64 count;
    ULONG64 gpkt;
    ULONG64 unmap;
    LONG64 out;
};
static_assert(sizeof(lrbtree_update_rec) == 40, "five 64-bit words");

// A leaf entry as a record; the key is relative to the base key of the shard that holds it.
struct lrbtree_leaf_rec {
    ULONG64 key;
    ULONG64 gpkt;
    ULONG length;
};

// A key range in absolute keys.
struct lrbtree_range {
    ULONG64 start;
    ULONG64 length;
};

// Walk callbacks: 0 goes on, a negative errno stops (-KPAV_EAGAIN without a message). on_data_range
// returning 1 or more with an entry writes the entry back into the leaf, in a walk under the
// writers' mutex only (elsewhere it stops the walk with -KPAV_EINVAL).
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

// Creates an empty map over `sector_count` sectors and a sector space of S keys. 0; -KPAV_EINVAL
// when S is 0 or above 2^48; -KPAV_ENOMEM (nothing left allocated, *out NULL). PASSIVE_LEVEL, as
// are destroy and reset.
int lrbtree_create(lrbtree** out, pav_log* owner, ULONG64 sector_count, ULONG64 sector_space);
// The device's sectors the map was made for, and the shards of its sector range.
ULONG64 lrbtree_sector_count(const lrbtree* map);
ULONG lrbtree_sector_shards(const lrbtree* map);
// Frees the control block; the nodes stay with the log's block table.
void lrbtree_destroy(lrbtree** map);
// Makes the map empty with a fresh header block: 0, or the error (kept in the map). The old
// nodes are left to the log's block table.
int lrbtree_reset(lrbtree* map);
// Sets the owner's invalidation callback. PASSIVE_LEVEL, before the map is used.
void lrbtree_set_invalidate(lrbtree* map, lrbtree_invalidate_fn callback, void* context);

// Applies `n` records in order; stops at the first failing one. A record outside the key space,
// or a map record of more than 64 keys or of packets the log does not have, is refused whole
// with -KPAV_EINVAL ("Unable to update metadata for sectors ..."). Once a shard operation has
// failed (a node allocation, an invalidation), the map keeps the error: every later update fails
// with it and walks of its shards with -KPAV_EINVAL. PASSIVE_LEVEL or APC_LEVEL.
int lrbtree_update(lrbtree* map, lrbtree_update_rec* records, ULONG n);
// Walks [start, end) in key order. Up to DISPATCH_LEVEL without LRB_ENUM_LOCK_WRITERS, below
// it with. Returns the last callback or walk result. Only a walk with LRB_ENUM_LOCK_WRITERS may
// have entries written back (it holds each shard's lock exclusively); elsewhere a data callback
// result of 1 or more stops the walk with -KPAV_EINVAL.
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
// {no-op, gap_start}; the walk returns -KPAV_EAGAIN exactly when there is one.
extern const lrbtree_enum_ops lrbtree_lookup_at;
extern const lrbtree_enum_ops lrbtree_find_gap;
// How many keys of a window are mapped: the context is a ULONG64 the walk adds each run's length
// to.
extern const lrbtree_enum_ops lrbtree_count_mapped;

// ---------------------------------------------------------------------------------------------
// Saving and loading. The nodes live in the log's metadata blocks; the metadata log writes them
// out and replays them, these routines prepare them for it and hang them back together. Every
// index entry's first key is written as its child's first key; a load also reads nodes whose
// first index key is 0 (or any key up to the child's first key) and puts the child's first key
// in. All under the writers' mutex, while no I/O reaches the map: PASSIVE_LEVEL.

// Turns every index entry's child into its saved form ((child's block key << 1) | 1) and marks
// the nodes dirty; the header block gets its type and key width. 0, or the first failing shard's
// error ("failed to save metadata with error ..."). Either way the map is then fit only for the
// metadata write and destroy: updates fail (-KPAV_EBUSY after a save that worked) and walks
// with -KPAV_EINVAL.
int lrbtree_save(lrbtree* map);
// Finds the header block (no creation) and takes the tree's node-key range and allocation
// cursor from it: 0, -KPAV_ENOENT without one, -KPAV_EINVAL when it is not this map's (type,
// level, key width, node-key range).
int lrbtree_load_header(lrbtree* map);
// The metadata replay's callback for one block: a block of the node-key range that is a
// shard's root gets its shard, and the tree below it is hung back together, every node checked
// on the way (kind, level, counts, head, shard, keys in order within their parent's bounds,
// addresses the log has). Other blocks: 0. A missing child block: "Unable to attach: Could not
// find metadata block" and its lookup error; a node that fails its check, or a second root for
// one shard: -KPAV_EINVAL. An error is kept as the map's: the map is then fit only for destroy.
int lrbtree_load_block(mblk* block, lrbtree* map);
// The whole load after the replay: the header block, every block of the log through
// lrbtree_load_block, then the header block's node, entry and mapped-key counters against what
// the trees hold (-KPAV_EINVAL when they differ), and the node blocks no tree took are
// released. 0 or the error (kept as the map's). After a failed load, destroy the map (it holds
// the header block) before the log's blocks are released for a rescan.
int lrbtree_load(lrbtree* map);

// Packs every shard's leaves and index nodes full, before a save when the log lacks room for
// the metadata ("Compacting tree to 100% full blocks ..." once). 0, or the first failing shard's
// error: a shard takes every node it needs before it moves an entry, so one that finds no memory
// for them is left as it was, and the map stays usable.
int lrbtree_compact(lrbtree* map);
// Whether a shard is empty or its tree reaches its first leaf; a cursor error is kept as the
// map's. At most DISPATCH_LEVEL, as is the range probe.
bool lrbtree_shard_probe(lrbtree* map, ULONG shard);
// The shard probe of every shard from the first key's to the last key's (true for an empty
// range).
bool lrbtree_range_probe(lrbtree* map, const lrbtree_range* range);

// Where a rebuild of the map (the reverse map's or the reverse sort's) records the packets it
// maps: the bit of (LEB, packet) at LEB x bits_per_leb + packet of `bitmap` (NULL: none), and
// the LEB's valid count in the log.
struct pav_pbitmap;
struct lrbtree_validity {
    pav_pbitmap* bitmap;
    ULONG64 bits_per_leb;
};
