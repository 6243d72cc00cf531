// Shard cursors, paths from a root down to a node, and the interpolating node search.
#include "driver/fmap/lrbtree_search.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

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
    return cursor->shape->index_kind == LRB_KIND_INDEX32 ? lrb_descend<LRB_KIND_INDEX32>(cursor, path, key, level)
                                                         : lrb_descend<LRB_KIND_INDEX48>(cursor, path, key, level);
}

ULONG lrbtree_leaf_search(const lrbtree_layout* layout, const lrb_node* node, ULONG64 key, ULONG64 low, ULONG64 high) {
    switch (layout->kind) {
        case LRB_KIND_LEAF24: return lrb_leaf_search<LRB_KIND_LEAF24>(node, key, low, high);
        case LRB_KIND_LEAF32: return lrb_leaf_search<LRB_KIND_LEAF32>(node, key, low, high);
        default: return lrb_leaf_search<LRB_KIND_LEAF48>(node, key, low, high);
    }
}

LONG lrbtree_index_search(const lrbtree_layout* layout, const lrb_node* node, ULONG64 key, ULONG64* low_out,
                          ULONG64* high_out, ULONG64 low, ULONG64 high) {
    *low_out = low;
    *high_out = high;
    return layout->kind == LRB_KIND_INDEX32 ? lrb_index_search<LRB_KIND_INDEX32>(node, key, low_out, high_out)
                                            : lrb_index_search<LRB_KIND_INDEX48>(node, key, low_out, high_out);
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
