// Test support for the forward map: a checker of every structural invariant of a map's trees and
// of its header block, views of its nodes and control block for checks that need more than the
// interface shows, and a recorder of the runs the map hands to its invalidation callback.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "driver/fmap/lrbtree.h"
#include "driver/log/mblk.h"

// Walks every shard of the map (no other thread may change it meanwhile) and returns what is
// wrong, or an empty string. Checked: node headers (type, kind, level, root flag, shard base),
// counts within capacity, no empty node but an empty-shard root, sorted non-overlapping runs of
// 1 to 64 keys within their node's key bounds, every separator equal to its child's first key,
// nothing but the tree holding a node, and the header block's node, entry and mapped-key counts.
std::string lrb_check_map(const lrbtree* map);

// After a compaction: every leaf and index node but the last of its level in a shard holds its
// capacity. What is not, or an empty string.
std::string lrb_check_packed(const lrbtree* map);

// A map keeps the first error of a shard operation and refuses everything after it; tests that
// go on after checking that clear it by hand, as a fresh attach would start clean.
void lrb_clear_error(lrbtree* map);
// The map's first error (0: none).
int lrb_first_error(const lrbtree* map);

// Depth of the deepest shard (-1 when every shard is empty).
int lrb_max_depth(const lrbtree* map);

// The shard arithmetic and layouts a map was created with.
struct lrb_geometry {
    ULONG sector_shift;
    ULONG sector_shards;
    ULONG reserved_shards;
    ULONG key_width;
    ULONG leaf_entry_size;
    ULONG index_kind;
    ULONG leaf_fill_target;
};
lrb_geometry lrb_geometry_of(const lrbtree* map);
// Shard of `key`, and the base key entries of that shard are relative to.
ULONG lrb_shard_of(const lrbtree* map, uint64_t key);
uint64_t lrb_shard_base_of(const lrbtree* map, uint64_t key);

// A node as the checks see it.
struct lrb_node_view {
    const mblk* block = nullptr;
    ULONG kind = 0;
    ULONG level = 0;
    bool root_flag = false;
    ULONG count = 0;
    std::vector<uint64_t> keys;            // entry keys: run starts or separators (shard-relative)
    std::vector<lrbtree_leaf_rec> runs;    // a leaf's entries
    std::vector<const mblk*> children;     // an index node's children
};
lrb_node_view lrb_view(const lrbtree* map, const mblk* block);
// Root of the shard that holds `key` (NULL for an empty shard).
const mblk* lrb_root_of(const lrbtree* map, uint64_t key);

// The header block's counters (all 0 without a header block).
struct lrb_header_view {
    uint64_t last_root, leaf_nodes, index_nodes, leaf_created, leaf_freed, mapped_keys, alloc_cursor;
};
lrb_header_view lrb_header(const lrbtree* map);
// Where the map's search for a free node key goes on.
uint64_t lrb_node_cursor(const lrbtree* map);

// The word of the lock of `key`'s shard (the stand-in's: a reader count, or the writer bit).
LONG lrb_lock_word(const lrbtree* map, uint64_t key);
// Holds or lets go of the writers' mutex as an update does.
void lrb_hold_writers(lrbtree* map, bool hold);
// Runs the per-shard core of an update on one piece (key relative to the shard of `key`), as an
// update does it under the shard's lock.
int lrb_update_piece(lrbtree* map, uint64_t key, lrbtree_update_rec* piece);

struct displaced_run {
    uint64_t key;
    uint64_t length;
    uint64_t gpkt;
    bool operator==(const displaced_run&) const = default;
};

// The invalidation callback of the tests: records every run, checks that it runs at
// DISPATCH_LEVEL, and fails the call numbered `fail_at` (counted from 1; 0 = never).
struct invalidation_log {
    std::vector<displaced_run> runs;
    uint64_t calls = 0;
    uint64_t fail_at = 0;
    int fail_with = -5;
    bool wrong_irql = false;
};
int lrb_record_invalidation(void* context, ULONG64 first_key, ULONG64 length, ULONG64 gpkt, lrbtree_update_rec* record);

// What the metadata log would write of a log's blocks and replay after a restart: each block's
// page by key.
using lrb_image = std::map<uint64_t, std::vector<uint8_t>>;
// Saves the map and copies every block of its log out: lrbtree_save's result.
int lrb_save_image(lrbtree* map, lrb_image* image);
// Puts an image's blocks into a log's empty block table as the replay does: each block made,
// its page filled, no reference kept. 0 or the first block's error.
int lrb_replay_image(pav_log* log, const lrb_image& image);
// A restart: saves the map into `image` (when given, else a local one), destroys it and every
// block of its log, creates a map of the same size and loads it from the image. The load's
// result (the save's when that failed). `edit`, when given, changes the image between the two.
int lrb_restart(lrbtree** map, pav_log* log, uint64_t sector_count, uint64_t sector_space, lrb_image* image = nullptr,
                void (*edit)(lrb_image*, void*) = nullptr, void* edit_context = nullptr);
// Loads a new map from an image into an emptied block table.
int lrb_load_image(lrbtree** map, pav_log* log, uint64_t sector_count, uint64_t sector_space, const lrb_image& image);
