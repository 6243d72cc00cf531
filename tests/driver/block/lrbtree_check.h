// Test support for the forward map: a checker of every structural invariant of a map's trees
// and of its header block, and a recorder of the runs the map hands to its invalidation
// callback.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/block/lrbtree_node.h"

// Walks every shard of the map (no other thread may change it meanwhile) and returns what is
// wrong, or an empty string. Checked: node headers (type, kind, level, root flag, shard base),
// counts within capacity, no empty node but an empty-shard root, sorted non-overlapping runs of
// 1 to 64 keys within their node's key bounds, every separator equal to its child's first key,
// nothing but the tree holding a node, and the header block's node, entry and mapped-key counts.
std::string lrb_check_map(const lrbtree* map);

// A map keeps the first error of a shard operation and refuses everything after it; tests that
// go on after checking that clear it by hand, as a fresh attach would start clean.
void lrb_clear_error(lrbtree* map);

// Depth of the deepest shard (-1 when every shard is empty).
int lrb_max_depth(const lrbtree* map);

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
