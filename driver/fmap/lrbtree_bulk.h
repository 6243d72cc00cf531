// Building a shard's tree from runs in key order (the rebuild after an unclean stop), and walking
// every node of chosen levels of a shard (save, compaction). The builder fills leaves to a
// target at the right edge of the tree and grows the index levels upward as leaves are linked.
//
// Used on a cursor the caller opened on an empty shard while it holds the writers' mutex and no
// I/O reaches the map; no shard lock is taken.
#pragma once

#include "driver/fmap/lrbtree_node.h"

struct lrbtree_bulk_builder {
    lrbtree_cursor* cursor;
    // The leaf being filled: entries [0, end) of it are open, [0, position) written.
    mblk* leaf;
    ULONG position;
    ULONG end;
    // The last node of every level (the right edge); `top` is the highest level in it.
    lrbtree_path edge;
    LONG top;
    ULONG index_target;
    ULONG leaf_target;
    ULONG leaves;      // leaves made
    ULONG64 keys;      // keys added
    ULONG entries;     // entries added
    const char* name;  // "rmap", "rsort" or "compact", for messages
    mblk* spare;       // index nodes taken beforehand, chained through their pages (compaction)
};

// Sets up a builder on `cursor` that fills leaves and index nodes to `percent` of their capacity
// (capacity x percent / 100).
void lrbtree_bulk_start(lrbtree_bulk_builder* builder, lrbtree_cursor* cursor, ULONG percent, const char* name);
// Whether the current leaf is full (or there is none yet): flush before the next append.
inline bool lrbtree_bulk_full(const lrbtree_bulk_builder* builder) {
    return builder->position == builder->end;
}
// Writes one leaf entry (key relative to the shard, 1 to 64 keys, the address of its first
// key) at the write position. Keys come in increasing order; the leaf must have room.
void lrbtree_bulk_append(lrbtree_bulk_builder* builder, ULONG64 key, ULONG length, ULONG64 gpkt);
// Not final: finishes the current leaf (the first call creates the shard's root and first leaf)
// and opens the next one. Final: finishes the current leaf and installs the right edge's top as
// the shard's root; a build that appended nothing leaves the shard empty. 0, or -KPAV_ENOMEM
// (logged; the cursor keeps it).
int lrbtree_bulk_flush(lrbtree_bulk_builder* builder, bool final);
// Links a finished leaf at the right edge: a separator (its first key) at the end of the last
// level-1 node, a new node of a level when the last one holds the index target, a new level
// above when the top level grows. 0 or the error.
int lrbtree_bulk_link_leaf(lrbtree_bulk_builder* builder, mblk* leaf);

// Visits every node of the levels whose bit is set in `mask`, from the top level down, in key
// order: the first non-zero callback result stops the walk and is returned. 0 for an empty
// shard. The callback may change the node it is given (not the nodes above it).
using lrbtree_level_fn = int (*)(lrbtree_cursor* cursor, mblk* node, ULONG level, void* context);
int lrbtree_level_walk(lrbtree_cursor* cursor, ULONG mask, lrbtree_level_fn callback, void* context);

// Opens a cursor on a shard for a writer that holds the writers' mutex while no I/O reaches the
// map (build, save, compaction); lrbtree_cursor_close puts its root back.
inline void lrbtree_cursor_open_writer(lrbtree* map, ULONG shard, lrbtree_cursor* cursor) {
    lrbtree_cursor_open(map, shard, cursor);
    cursor->exclusive = true;
}

// A shard's build from the rebuild's collectors, under the writers' mutex: begin opens a cursor
// on the shard, which must be empty (-KPAV_EEXIST), and starts the builder at 85%; add flushes a
// full leaf (*flushed tells) and appends; end finishes the shard when `rc` is 0, puts the root in
// its slot and keeps a cursor error as the map's. They return 0 or the error.
constexpr ULONG LRB_REBUILD_PERCENT = 85;
int lrbtree_build_begin(lrbtree* map, ULONG shard, lrbtree_cursor* cursor, lrbtree_bulk_builder* builder,
                        const char* name);
int lrbtree_build_add(lrbtree_bulk_builder* builder, ULONG64 key, ULONG length, ULONG64 gpkt, bool* flushed);
int lrbtree_build_end(lrbtree_cursor* cursor, lrbtree_bulk_builder* builder, int rc);

// Records `count` packets from `gpkt` (all in one LEB) as valid: their bits and their LEB's count.
// 0, or the bitmap's error (-KPAV_ENOENT for a leaf that is not present).
int lrbtree_mark_valid(pav_log* log, const lrbtree_validity* validity, ULONG64 gpkt, ULONG count);
