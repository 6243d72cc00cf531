// The reverse map: one of the two collectors that rebuild the forward map after an unclean
// stop. The log scan stores, for every sector, the 32-bit log address of the packet that holds
// it (a packet seen later simply overwrites), in a three-level radix array of 4096-byte pages:
// 4 bytes per sector. The build then walks the sectors in order and fills every shard of the
// forward map with the bulk builder, giving the pages back as it passes them.
//
// Single-threaded, before the device takes I/O: PASSIVE_LEVEL throughout.
#pragma once

#include "driver/fmap/lrbtree.h"

struct rmap_tree {
    ULONG64 capacity;     // the device's sectors + 2: keys at or above it are refused
    void*** top;          // one middle page (512 leaf pages) per 2^19 keys
    ULONG top_slots;
    ULONG64 covered;      // keys below this have pages
    ULONG freed_below;    // top slots below this were given back by the build
    pav_log* log;
    ULONG64 base_key;     // 0: leaf pages from the log's page pool; else metadata blocks
    ULONG64 blocks_taken;
};

constexpr ULONG RMAP_LEAF_KEYS = 1024;          // 32-bit addresses per leaf page
constexpr ULONG RMAP_MIDDLE_SLOTS = 512;        // leaf pages per middle page
constexpr ULONG RMAP_TOP_SHIFT = 19;            // keys per top slot: 2^19

// Creates an empty reverse map for `sector_count` sectors (capacity sector_count + 2). Leaf
// page i of top slot t is the log's metadata block base_key + t x 512 + i when base_key is not
// 0. 0 or -KPAV_ENOMEM.
int rmap_create(rmap_tree** out, ULONG64 sector_count, pav_log* log, ULONG64 base_key = 0);
// Makes pages for keys [0, key_count): 0, -KPAV_ENOSPC beyond the capacity, -KPAV_ENOMEM (the
// pages made stay for destroy; the covered count does not move).
int rmap_grow(rmap_tree* map, ULONG64 key_count);
// Keys first.. first + count - 1 hold the consecutive packets from (leb, offset). Grows the map as
// needed. 0; -KPAV_ENOSPC beyond the capacity; -KPAV_ERANGE when an address does not fit 32 bits
// (such a log takes the reverse sort); -KPAV_ENOMEM.
int rmap_set_range(rmap_tree* map, ULONG64 first, ULONG64 count, USHORT leb, ULONG offset);
// Clears the keys of the range (below the capacity) whose packet was written before log
// position `limit`; the range's start moves past its end. Returns the number cleared.
ULONG64 rmap_trim_range(rmap_tree* map, lrbtree_range* range, ULONG64 limit);
// The packet address of a key (0: none).
ULONG rmap_lookup(const rmap_tree* map, ULONG64 key);
// Fills every shard of the forward map's sector range from the reverse map (runs of
// consecutive packets, at most 64 keys, leaves 85% full), recording each run's packets as
// valid, and frees the pages behind it. The shards must be empty. 0 or the first failing
// shard's error (kept as the map's). The reverse map is fit only for destroy afterwards.
int rmap_build_forward_map(lrbtree* fmap, rmap_tree* map, const lrbtree_validity* validity);
// Frees every page, the top array and the record.
void rmap_destroy(rmap_tree** map);
