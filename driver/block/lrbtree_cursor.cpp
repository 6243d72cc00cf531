// Shard cursors, paths from a root down to a node, and the interpolating node search.
#include "driver/block/lrbtree_node.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

void lrbtree_cursor_open(lrbtree* map, ULONG shard, lrbtree_cursor* cursor) {
    cursor->shape = &map->shape;
    cursor->map = map;
    cursor->error = ReadNoFence(&map->shape.error);
    cursor->exclusive = false;
    cursor->shard = shard;
    cursor->record = nullptr;
    cursor->reserved = 0;
    cursor->base = lrbtree_shard_base(map, shard);
    cursor->span = lrbtree_shard_span(map, shard);
    mblk* root = (mblk*)map->roots[lrbtree_root_slot(map, shard)];
    cursor->root = root;
    cursor->depth = root != nullptr ? (LONG)lrb_node_level(lrb_node_of(root)) : -1;
}

void lrbtree_set_root(lrbtree_cursor* cursor, mblk* root) {
    cursor->root = root;
    if (root == nullptr) {
        cursor->depth = -1;
        return;
    }
    lrb_node* node = lrb_node_of(root);
    node->h.level |= LRB_ROOT_FLAG;
    mblk_mark_dirty(root);
    cursor->depth = (LONG)lrb_node_level(node);
    lrb_header_block* header = lrb_header_of(cursor->shape);
    if (header != nullptr) {
        header->last_root = root->key;
    }
}

void lrbtree_cursor_close(lrbtree_cursor* cursor) {
    lrbtree* map = cursor->map;
    lrbtree_release_reserve(cursor);
    ULONG slot = lrbtree_root_slot(map, cursor->shard);
    // Walks share the shard: they leave the slot alone unless the root changed.
    if (map->roots[slot] != (ULONG64)cursor->root) {
        map->roots[slot] = (ULONG64)cursor->root;
    }
    // A cursor's error stays with the map: every later cursor starts failed, so every later
    // update fails with it. Both words only ever go from zero to a value.
    if (cursor->error != 0) {
        InterlockedCompareExchange(&map->first_error, cursor->error, 0);
        InterlockedCompareExchange(&map->shape.error, cursor->error, 0);
    }
}

// ---------------------------------------------------------------------------------------------
// Paths

void lrbtree_path_reset(lrbtree_path* path) {
    for (ULONG l = 0; l < LRB_MAX_LEVELS; l++) {
        path->level[l].node = nullptr;
        path->level[l].index = -1;
        path->level[l].low = 0;
        path->level[l].high = 0;
    }
}

void lrbtree_path_release(lrbtree_cursor* cursor, lrbtree_path* path) {
    UNREFERENCED_PARAMETER(cursor);
    for (ULONG l = 0; l < LRB_MAX_LEVELS; l++) {
        path->level[l].node = nullptr;
        path->level[l].index = -1;
    }
}

namespace {

// Bounds of child i of an index node with bounds [low, high).
void child_bounds(const lrbtree_layout* layout, const lrb_node* node, ULONG i, ULONG64 low, ULONG64 high,
                  ULONG64* child_low, ULONG64* child_high) {
    *child_low = i == 0 ? low : lrb_index_key(layout, node, i);
    *child_high = i + 1 >= node->h.count ? high : lrb_index_key(layout, node, i + 1);
}

// Puts `child` at `level` of the path.
void path_set(lrbtree_path* path, ULONG level, mblk* child, LONG index, ULONG64 low, ULONG64 high) {
    lrbtree_path_level* at = &path->level[level];
    at->node = child;
    at->index = index;
    at->low = low;
    at->high = high;
}

}  // namespace

int lrbtree_descend_to(lrbtree_cursor* cursor, lrbtree_path* path, ULONG64 key, ULONG level) {
    lrbtree_path_reset(path);
    mblk* node = cursor->root;
    if (node == nullptr) {
        return -KPAV_ENOENT;
    }
    const lrbtree_layout* index_layout = &cursor->shape->index_layout;
    ULONG64 low = 0;
    ULONG64 high = cursor->span;
    for (LONG l = cursor->depth; l > (LONG)level; l--) {
        const lrb_node* n = lrb_node_of(node);
        ULONG64 child_low;
        ULONG64 child_high;
        LONG i = lrbtree_index_search(index_layout, n, key, &child_low, &child_high, low, high);
        path->level[l].node = node;
        path->level[l].index = i;
        path->level[l].low = low;
        path->level[l].high = high;
        if (i < 0) {
            lrbtree_path_release(cursor, path);
            return -KPAV_ENOENT;
        }
        node = lrb_index_child(index_layout, n, (ULONG)i);
        low = child_low;
        high = child_high;
    }
    path->level[level].node = node;
    path->level[level].index = -1;
    path->level[level].low = low;
    path->level[level].high = high;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Search. The answer lies between two positions, lo and hi, whose compared values bracket the
// key; at the start they are the places just outside the node, whose values are the node's key
// bounds, so that a search looks at no entry but the ones its probes land on. Probes
// interpolate between the bracketing values; after more than three probes that all went the
// same way, bisection takes over.

namespace {

template <ULONG Kind>
ULONG64 leaf_end_at(const lrbtree_layout* layout, const lrb_node* node, ULONG i) {
    const UCHAR* e = lrb_entry(layout, node, i);
    ULONG at = lrb_leaf_length_offset(Kind);
    return lrb_leaf_raw_key(Kind, e) + (e[at] & 63) + 1;
}

// A position strictly between lo and hi (hi - lo >= 2), where `key` lies between their values.
inline LONG next_probe(LONG lo, LONG hi, ULONG64 key, ULONG64 low_key, ULONG64 high_key, ULONG probes,
                       ULONG history) {
    if (hi - lo == 2) {
        return lo + 1;
    }
    if ((probes > 3 && ((history & 15) == 0 || (history & 15) == 15)) || high_key <= low_key || key < low_key) {
        return lo + (hi - lo) / 2;
    }
    ULONG64 span = high_key - low_key;
    ULONG64 offset = key - low_key;
    ULONG inside = (ULONG)(hi - lo - 1);
    // Spans below 2^23 keys take the cheaper 32-bit division (a node holds fewer than 512
    // entries, so the product fits).
    ULONG step = offset <= span && span < (1u << 23) ? (ULONG)offset * inside / (ULONG)span
                                                     : (ULONG)(offset * inside / span);
    LONG p = lo + 1 + (LONG)step;
    return p >= hi ? hi - 1 : p;
}

template <ULONG Kind>
ULONG leaf_search(const lrbtree_layout* layout, const lrb_node* node, ULONG64 key, ULONG64 low, ULONG64 high) {
    // end(lo) <= key < end(hi); lo = -1 stands for the node's low bound, hi = count for its high.
    LONG lo = -1;
    LONG hi = node->h.count;
    ULONG probes = 0;
    ULONG history = 0;
    while (hi - lo > 1) {
        LONG p = next_probe(lo, hi, key, low, high, probes, history);
        ULONG64 end = leaf_end_at<Kind>(layout, node, (ULONG)p);
        probes++;
        if (end > key) {
            hi = p;
            high = end;
            history = history << 1 | 1;
        } else {
            lo = p;
            low = end;
            history = history << 1;
        }
    }
    return (ULONG)hi;
}

template <ULONG Kind>
LONG index_search(const lrbtree_layout* layout, const lrb_node* node, ULONG64 key, ULONG64 low, ULONG64 high) {
    ULONG count = node->h.count;
    if (count == 0) {
        return -KPAV_ENOENT;
    }
    // key(lo) <= key < key(hi); entry 0 takes everything below entry 1 (its key is never
    // compared), and hi = count stands for the node's high bound.
    LONG lo = 0;
    LONG hi = (LONG)count;
    ULONG probes = 0;
    ULONG history = 0;
    while (hi - lo > 1) {
        LONG p = next_probe(lo, hi, key, low, high, probes, history);
        ULONG64 k = lrb_index_raw_key(Kind, lrb_entry(layout, node, (ULONG)p));
        probes++;
        if (k > key) {
            hi = p;
            high = k;
            history = history << 1 | 1;
        } else {
            lo = p;
            low = k;
            history = history << 1;
        }
    }
    return lo;
}

}  // namespace

ULONG lrbtree_leaf_search(const lrbtree_layout* layout, const lrb_node* node, ULONG64 key, ULONG64 low, ULONG64 high) {
    switch (layout->kind) {
        case LRB_KIND_LEAF24: return leaf_search<LRB_KIND_LEAF24>(layout, node, key, low, high);
        case LRB_KIND_LEAF32: return leaf_search<LRB_KIND_LEAF32>(layout, node, key, low, high);
        default: return leaf_search<LRB_KIND_LEAF48>(layout, node, key, low, high);
    }
}

LONG lrbtree_index_search(const lrbtree_layout* layout, const lrb_node* node, ULONG64 key, ULONG64* low_out,
                          ULONG64* high_out, ULONG64 low, ULONG64 high) {
    LONG i = layout->kind == LRB_KIND_INDEX32 ? index_search<LRB_KIND_INDEX32>(layout, node, key, low, high)
                                              : index_search<LRB_KIND_INDEX48>(layout, node, key, low, high);
    if (i >= 0) {
        child_bounds(layout, node, (ULONG)i, low, high, low_out, high_out);
    }
    return i;
}

// ---------------------------------------------------------------------------------------------
// Path navigation

namespace {

int path_step(lrbtree_cursor* cursor, lrbtree_path* path, ULONG level, bool forward) {
    const lrbtree_layout* index_layout = &cursor->shape->index_layout;
    LONG depth = cursor->depth;
    LONG l = (LONG)level + 1;
    // Climb while the path stands at the last (first) child.
    while (l <= depth) {
        const lrbtree_path_level* at = &path->level[l];
        LONG count = lrb_node_of(at->node)->h.count;
        if (forward ? at->index + 1 < count : at->index > 0) {
            break;
        }
        l++;
    }
    if (l > depth) {
        return -KPAV_ENOENT;
    }
    path->level[l].index += forward ? 1 : -1;
    // Descend again along the first (last) children.
    for (; l > (LONG)level; l--) {
        lrbtree_path_level* parent = &path->level[l];
        const lrb_node* n = lrb_node_of(parent->node);
        ULONG i = (ULONG)parent->index;
        ULONG64 low;
        ULONG64 high;
        child_bounds(index_layout, n, i, parent->low, parent->high, &low, &high);
        mblk* child = lrb_index_child(index_layout, n, i);
        LONG child_index = forward ? 0 : (LONG)lrb_node_of(child)->h.count - 1;
        path_set(path, (ULONG)(l - 1), child, child_index, low, high);
    }
    return 0;
}

}  // namespace

int lrbtree_path_next(lrbtree_cursor* cursor, lrbtree_path* path, ULONG level) {
    return path_step(cursor, path, level, true);
}

int lrbtree_path_prev(lrbtree_cursor* cursor, lrbtree_path* path, ULONG level) {
    return path_step(cursor, path, level, false);
}

void lrbtree_separators_update(const lrbtree_shape* shape, lrbtree_path* path, ULONG level) {
    const lrbtree_layout* index_layout = &shape->index_layout;
    for (ULONG l = level; l + 1 < LRB_MAX_LEVELS; l++) {
        lrbtree_path_level* parent = &path->level[l + 1];
        if (parent->node == nullptr) {
            return;
        }
        const lrb_node* node = lrb_node_of(path->level[l].node);
        if (node->h.count == 0) {
            return;  // an empty node is on its way out
        }
        ULONG64 first = lrb_node_first_key(shape, node);
        lrb_node* p = lrb_node_of(parent->node);
        ULONG i = (ULONG)parent->index;
        if (lrb_index_key(index_layout, p, i) == first) {
            return;
        }
        lrb_index_set_key(index_layout, p, i, first);
        mblk_mark_dirty(parent->node);
        if (i != 0) {
            return;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Path print, after a failed invalidation

void lrbtree_path_print(const lrbtree_cursor* cursor, const lrbtree_path* path) {
    const char* name = datalog_device_name(cursor->shape->log);
    kpav_print(KPAV_CLASS_ERROR, "%s: ------ Print Path ------ \n", name);
    for (LONG l = cursor->depth; l >= 0; l--) {
        const lrbtree_path_level* at = &path->level[l];
        ptrdiff_t level = l;
        if (at->node == nullptr) {
            kpav_print(KPAV_CLASS_ERROR, "%s: %td: NO BLOCK - index=%d ceiling = %d \n", name, level, at->index,
                       (int)at->high);
            continue;
        }
        const lrb_node* node = lrb_node_of(at->node);
        if (at->index < 0 || at->index >= (LONG)node->h.count) {
            kpav_print(KPAV_CLASS_ERROR, "%s: %td: invalid index\n", name, level);
            continue;
        }
        ULONG64 entry_base = l == 0 ? lrb_leaf_key(&cursor->shape->leaf_layout, node, (ULONG)at->index)
                                    : lrb_index_key(&cursor->shape->index_layout, node, (ULONG)at->index);
        kpav_print(KPAV_CLASS_ERROR,
                   "%s: %td: index=%d of %d (based at %d): ceiling: %llunode: %llu base: %llu entry base: %llu\n",
                   name, level, at->index, (int)node->h.count, (int)node->h.head, at->high, at->node->key, at->low,
                   entry_base);
    }
    kpav_print(KPAV_CLASS_ERROR, "%s: ------------------------ \n", name);
}
