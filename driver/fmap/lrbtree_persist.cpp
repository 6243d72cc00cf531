// Saving and loading the forward map, the level walk and the probes. A saved index entry names
// its child by block key ((key << 1) | 1); a load turns the keys back into references and checks
// every node it hangs: what comes back from media is not trusted until it passes.
#include "driver/fmap/lrbtree_bulk.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

int lrbtree_level_walk(lrbtree_cursor* cursor, ULONG mask, lrbtree_level_fn callback, void* context) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    for (LONG level = cursor->depth; level >= 0; level--) {
        if ((mask & (1u << level)) == 0) {
            continue;
        }
        lrbtree_path path;
        int rc = lrbtree_descend_to(cursor, &path, 0, (ULONG)level);
        while (rc == 0) {
            rc = callback(cursor, path.level[level].node, (ULONG)level, context);
            if (rc != 0) {
                return rc;
            }
            // Steps from the level above: the node just visited is not looked at again.
            rc = lrbtree_path_next(cursor, &path, (ULONG)level);
        }
        if (rc != -KPAV_ENOENT) {
            return rc;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Probes

bool lrbtree_shard_probe(lrbtree* map, ULONG shard) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    EX_SPIN_LOCK* lock = &map->locks[shard & map->lock_mask].lock;
    KIRQL old = ExAcquireSpinLockShared(lock);
    lrbtree_cursor cursor;
    lrbtree_cursor_open(map, shard, &cursor);
    bool ok = true;
    if (cursor.error != 0) {
        ok = false;
    } else if (cursor.root != nullptr) {
        lrbtree_path path;
        ok = lrbtree_descend(&cursor, &path, 0) == 0;
    }
    lrbtree_cursor_close(&cursor);
    ExReleaseSpinLockShared(lock, old);
    return ok;
}

bool lrbtree_range_probe(lrbtree* map, const lrbtree_range* range) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (range->length == 0) {
        return true;
    }
    ULONG first = lrbtree_shard_of(map, range->start);
    ULONG last = lrbtree_shard_of(map, range->start + range->length - 1);
    for (ULONG shard = first; shard <= last && shard < map->total_shards; shard++) {
        if (!lrbtree_shard_probe(map, shard)) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Save

namespace {

int save_node(lrbtree_cursor* cursor, mblk* block, ULONG level, void* context) {
    UNREFERENCED_PARAMETER(level);
    UNREFERENCED_PARAMETER(context);
    const lrbtree_layout* layout = &cursor->shape->index_layout;
    lrb_node* node = lrb_node_of(block);
    for (ULONG i = 0; i < node->h.count; i++) {
        lrbtree_index_rec rec;
        lrb_index_get(layout, node, i, &rec);
        if ((rec.child & 1) == 0) {
            rec.child = ((mblk*)rec.child)->key << 1 | 1;
            lrb_index_put(layout, node, i, &rec);
        }
    }
    mblk_mark_dirty(block);
    return 0;
}

int save_shard(lrbtree* map, ULONG shard) {
    lrbtree_cursor cursor;
    lrbtree_cursor_open_writer(map, shard, &cursor);
    int rc = cursor.error;
    // From level 1 up: the levels above a level still lead to its nodes while it is converted.
    for (LONG level = 1; rc == 0 && level <= cursor.depth; level++) {
        rc = lrbtree_level_walk(&cursor, 1u << level, save_node, nullptr);
    }
    if (rc != 0 && cursor.error == 0) {
        cursor.error = rc;
    }
    lrbtree_cursor_close(&cursor);
    return rc;
}

}  // namespace

int lrbtree_save(lrbtree* map) {
    PAGED_CODE();
    ExAcquireFastMutex(&map->writers);
    lrb_header_block* header = lrb_header_of(&map->shape);
    int rc = header == nullptr ? -KPAV_EINVAL : map->shape.error;
    for (ULONG shard = 0; rc == 0 && shard < map->total_shards; shard++) {
        if (map->roots[lrbtree_root_slot(map, shard)] != 0) {
            rc = save_shard(map, shard);
        }
    }
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: failed to save metadata with error %d: %s\n", datalog_device_name(map->owner),
                   rc, kpav_errno_table[kpav_errno_lookup(rc)].name);
        InterlockedCompareExchange(&map->first_error, rc, 0);
        InterlockedCompareExchange(&map->shape.error, rc, 0);
    } else {
        header->type = LRB_NODE_TYPE_HEADER;
        header->key_width = map->shape.key_width;
        mblk_mark_dirty(map->shape.header);
        // The nodes now hold block keys where references were: nothing may walk them.
        InterlockedCompareExchange(&map->shape.error, -KPAV_EBUSY, 0);
    }
    ExReleaseFastMutex(&map->writers);
    return rc;
}

// ---------------------------------------------------------------------------------------------
// Load

namespace {

enum load_count { LOADED_LEAF_NODES, LOADED_INDEX_NODES, LOADED_LEAF_ENTRIES, LOADED_INDEX_ENTRIES, LOADED_KEYS };

bool node_key_in_range(const lrbtree* map, ULONG64 key) {
    return key > map->shape.next_node_id && key <= map->shape.last_node_id;
}

int corrupt(const lrbtree* map, const mblk* block, const char* what) {
    kpav_print(KPAV_CLASS_ERROR, "%s: forward map block %llu is not usable: %s\n", datalog_device_name(map->owner),
               block->key, what);
    return -KPAV_EINVAL;
}

// The node header of a block read back: what every node at `level` of shard `base` must show.
int check_header(const lrbtree* map, const mblk* block, ULONG level, bool root, ULONG64 base) {
    const lrb_node* node = lrb_node_of(block);
    const lrbtree_layout* layout = lrb_layout_for(&map->shape, level);
    if (node->h.type != LRB_NODE_TYPE_TREE || node->h.kind != layout->kind || lrb_node_level(node) != level) {
        return corrupt(map, block, "type, kind or level");
    }
    if (((node->h.level & LRB_ROOT_FLAG) != 0) != root || node->h.base != base) {
        return corrupt(map, block, "root flag or shard");
    }
    if (node->h.count == 0 || node->h.count > layout->capacity || node->h.head >= layout->capacity) {
        return corrupt(map, block, "entry count or head");
    }
    return 0;
}

// A leaf's runs: in order, 1 to 64 keys each, inside [low, high), at addresses the log has.
int check_leaf(lrbtree* map, const mblk* block, ULONG64 low, ULONG64 high) {
    const lrbtree_layout* layout = &map->shape.leaf_layout;
    const lrb_node* node = lrb_node_of(block);
    ULONG64 end = low;
    ULONG64 keys = 0;
    for (ULONG i = 0; i < node->h.count; i++) {
        lrbtree_leaf_rec rec;
        lrb_leaf_get(layout, node, i, &rec);
        if (rec.key < end || rec.key + rec.length > high) {
            return corrupt(map, block, "runs out of order or outside the node's bounds");
        }
        if (rec.gpkt >= LRB_GPKT_INVALID ||
            (rec.gpkt >= PAV_LOG_FIRST_ADDR && (!pav_log_addr_is_packet(map->shape.log, rec.gpkt) ||
                                                lrbtree_gpkt_advance(&map->shape, rec.gpkt, rec.length - 1) == ~0ull))) {
            return corrupt(map, block, "a run at packets the log does not have");
        }
        end = rec.key + rec.length;
        keys += rec.length;
    }
    map->loaded_counts[LOADED_LEAF_NODES]++;
    map->loaded_counts[LOADED_LEAF_ENTRIES] += node->h.count;
    map->loaded_counts[LOADED_KEYS] += keys;
    return 0;
}

// Turns the saved children of an index node at `level` (checked already, bounds [low, high))
// back into references, checking each child and the tree below it, depth first. *first_key
// receives the first key under the node. Entry 0's key is rewritten as its child's first key
// (it may have been written as 0 or as the node's lower bound); the others must be their
// children's first keys.
int load_index(lrbtree* map, lrbtree_cursor* cursor, mblk* block, ULONG level, ULONG64 low, ULONG64 high,
               ULONG64* first_key) {
    const lrbtree_layout* layout = &map->shape.index_layout;
    lrb_node* node = lrb_node_of(block);
    ULONG count = node->h.count;
    ULONG64 previous = low;
    for (ULONG i = 1; i < count; i++) {
        ULONG64 key = lrb_index_key(layout, node, i);
        if (key <= previous || key >= high) {
            return corrupt(map, block, "separators out of order or outside the node's bounds");
        }
        previous = key;
    }
    map->loaded_counts[LOADED_INDEX_NODES]++;
    map->loaded_counts[LOADED_INDEX_ENTRIES] += count;
    for (ULONG i = 0; i < count; i++) {
        lrbtree_index_rec rec;
        lrb_index_get(layout, node, i, &rec);
        if ((rec.child & 1) == 0 || !node_key_in_range(map, rec.child >> 1)) {
            return corrupt(map, block, "a child that is not a saved node key");
        }
        mblk* child = nullptr;
        int rc = mblk_get(&child, map->owner, rec.child >> 1, MBLK_FIND);
        if (rc != 0) {
            kpav_print(KPAV_CLASS_ERROR, "Unable to attach: Could not find metadata block\n");
            return rc;
        }
        if (child->refs != 1) {
            // Held already: a child of two parents, or a block the tree holds.
            mblk_put(map->owner, child);
            return corrupt(map, block, "a child that is held already");
        }
        // The tree's reference from here on, also when a check below fails.
        ULONG64 saved_key = rec.key;
        rec.child = (ULONG64)child;
        lrb_index_put(layout, node, i, &rec);
        ULONG64 child_low = i == 0 ? low : saved_key;
        ULONG64 child_high = i + 1 < count ? lrb_index_key(layout, node, i + 1) : high;
        rc = check_header(map, child, level - 1, false, cursor->base);
        ULONG64 child_first = 0;
        if (rc == 0 && level - 1 == 0) {
            InterlockedOr64(&child->flags, MBLK_FLAG_LOADED_LEAF);
            rc = check_leaf(map, child, child_low, child_high);
            child_first = lrb_leaf_key(&map->shape.leaf_layout, lrb_node_of(child), 0);
        } else if (rc == 0) {
            mblk_mark_dirty(child);
            rc = load_index(map, cursor, child, level - 1, child_low, child_high, &child_first);
        }
        if (rc != 0) {
            return rc;
        }
        if (i == 0) {
            if (saved_key > child_first) {
                return corrupt(map, block, "a first separator above its child's keys");
            }
            if (saved_key != child_first) {
                lrb_index_set_key(layout, node, 0, child_first);
            }
            *first_key = child_first;
        } else if (saved_key != child_first) {
            return corrupt(map, block, "a separator that is not its child's first key");
        }
    }
    return 0;
}

// The shard whose base key a root names: its index, or ~0 when no shard has that base.
ULONG shard_of_base(const lrbtree* map, ULONG64 base) {
    ULONG shard;
    if (base >= map->reserved_base) {
        shard = (ULONG)((base - map->reserved_base) >> map->reserved_shift) + map->sector_shards;
    } else if (base < map->sector_length) {
        shard = (ULONG)(base >> map->sector_shift);
    } else {
        return ~0u;
    }
    return shard < map->total_shards && lrbtree_shard_base(map, shard) == base ? shard : ~0u;
}

}  // namespace

int lrbtree_load_header(lrbtree* map) {
    PAGED_CODE();
    mblk* block = nullptr;
    int rc = mblk_get(&block, map->owner, LRB_HEADER_KEY, MBLK_FIND);
    if (rc != 0) {
        return rc;
    }
    const lrb_header_block* header = (const lrb_header_block*)block->page;
    if (header->type != LRB_NODE_TYPE_HEADER || (header->level & LRB_LEVEL_MASK) != LRB_HEADER_LEVEL ||
        header->key_width != map->shape.key_width || header->first_node_key < LRB_FIRST_NODE_ID ||
        header->last_node_key > LRB_LAST_NODE_ID || header->first_node_key >= header->last_node_key) {
        mblk_put(map->owner, block);
        kpav_print(KPAV_CLASS_ERROR, "%s: forward map header block is not usable\n", datalog_device_name(map->owner));
        return -KPAV_EINVAL;
    }
    if (map->shape.header != nullptr) {
        mblk_put(map->owner, map->shape.header);
    }
    map->shape.header = block;
    map->shape.next_node_id = header->first_node_key;
    map->shape.last_node_id = header->last_node_key;
    ULONG64 cursor = header->alloc_cursor;
    map->node_cursor = cursor > header->first_node_key && cursor <= header->last_node_key ? cursor
                                                                                           : header->first_node_key + 1;
    return 0;
}

int lrbtree_load_block(mblk* block, lrbtree* map) {
    PAGED_CODE();
    if (!node_key_in_range(map, block->key)) {
        return 0;
    }
    const lrb_node* node = lrb_node_of(block);
    ULONG level = lrb_node_level(node);
    if (node->h.type != LRB_NODE_TYPE_TREE || (node->h.level & LRB_ROOT_FLAG) == 0 || level == 0 ||
        level == LRB_HEADER_LEVEL) {
        return 0;  // not a root: found through its root
    }
    ULONG shard = shard_of_base(map, node->h.base);
    if (shard == ~0u || level >= LRB_MAX_LEVELS) {
        int rc = corrupt(map, block, "a root of no shard, or too deep");
        InterlockedCompareExchange(&map->first_error, rc, 0);
        InterlockedCompareExchange(&map->shape.error, rc, 0);
        return rc;
    }
    ULONG slot = lrbtree_root_slot(map, shard);
    if (map->roots[slot] == (ULONG64)block) {
        return 0;
    }
    lrbtree_cursor cursor;
    lrbtree_cursor_open_writer(map, shard, &cursor);
    int rc = cursor.error;
    if (rc == 0 && cursor.root != nullptr) {
        rc = corrupt(map, block, "a second root for its shard");
        cursor.error = rc;
        lrbtree_cursor_close(&cursor);
        return rc;
    }
    if (rc == 0) {
        ULONG64 high = cursor.span;
        if (shard < map->sector_shards && map->sector_length - cursor.base < high) {
            high = map->sector_length - cursor.base;
        }
        rc = check_header(map, block, level, true, cursor.base);
        mblk_ref(block);  // the tree's
        lrbtree_set_root(&cursor, block);
        ULONG64 first = 0;
        if (rc == 0) {
            rc = load_index(map, &cursor, block, level, 0, high, &first);
        }
        if (rc != 0) {
            cursor.error = rc;
        }
    }
    lrbtree_cursor_close(&cursor);
    return rc;
}

namespace {

int load_cb(pav_log* log, mblk* block, void* argument, int previous) {
    UNREFERENCED_PARAMETER(previous);
    int rc = lrbtree_load_block(block, (lrbtree*)argument);
    mblk_put(log, block);
    return rc;
}

// Releases a node block that no tree took (the walk's reference is its only one).
int release_orphan_cb(pav_log* log, mblk* block, void* argument, int previous) {
    UNREFERENCED_PARAMETER(previous);
    const lrbtree* map = (const lrbtree*)argument;
    bool orphan = node_key_in_range(map, block->key) && block->refs == 1;
    mblk_put(log, block);
    if (orphan) {
        mblk_try_release(log, block);
    }
    return 0;
}

int check_counts(lrbtree* map) {
    const lrb_header_block* header = lrb_header_of(&map->shape);
    const ULONG64* seen = map->loaded_counts;
    if (header->leaf_nodes == seen[LOADED_LEAF_NODES] && header->index_nodes == seen[LOADED_INDEX_NODES] &&
        header->leaf_entries == seen[LOADED_LEAF_ENTRIES] && header->index_entries == seen[LOADED_INDEX_ENTRIES] &&
        header->mapped_keys == seen[LOADED_KEYS]) {
        return 0;
    }
    kpav_print(KPAV_CLASS_ERROR,
               "%s: forward map does not match its header block: %llu/%llu leaf and %llu/%llu index nodes, %llu/%llu "
               "mapped keys\n",
               datalog_device_name(map->owner), seen[LOADED_LEAF_NODES], header->leaf_nodes, seen[LOADED_INDEX_NODES],
               header->index_nodes, seen[LOADED_KEYS], header->mapped_keys);
    return -KPAV_EINVAL;
}

}  // namespace

int lrbtree_load(lrbtree* map) {
    PAGED_CODE();
    ExAcquireFastMutex(&map->writers);
    memset(map->loaded_counts, 0, sizeof map->loaded_counts);
    int rc = map->shape.error;
    if (rc == 0) {
        rc = lrbtree_load_header(map);
    }
    if (rc == 0) {
        rc = mblk_for_each(map->owner, load_cb, map);
    }
    if (rc == 0) {
        rc = check_counts(map);
    }
    if (rc == 0) {
        mblk_for_each(map->owner, release_orphan_cb, map);
    } else {
        InterlockedCompareExchange(&map->first_error, rc, 0);
        InterlockedCompareExchange(&map->shape.error, rc, 0);
    }
    ExReleaseFastMutex(&map->writers);
    return rc;
}
