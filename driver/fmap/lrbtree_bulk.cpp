// Building a shard from runs in key order, and compaction, which packs a shard's leaves full and
// builds its index levels anew the same way: leaves are linked at the right edge of the tree,
// whose levels grow upward as they fill.
#include "driver/fmap/lrbtree_bulk.h"

#include "driver/log/pbitmap.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

namespace {

// A new node of `level` for the right edge: from the builder's spare nodes when it has them.
int edge_node(lrbtree_bulk_builder* b, ULONG level, mblk** out) {
    if (b->spare != nullptr) {
        mblk* block = b->spare;
        b->spare = *(mblk**)block->page;
        lrbtree_node_init(b->cursor, level, block);
        *out = block;
        return 0;
    }
    return lrbtree_node_new(b->cursor, level, out);
}

// Appends an index entry at the end of a node with room.
void append_entry(const lrbtree_layout* layout, mblk* block, ULONG64 key, mblk* child) {
    lrb_node* node = lrb_node_of(block);
    ULONG at = node->h.count;
    lrbtree_entries_insert_slots(layout, node, at, 1);
    lrbtree_index_rec rec = {key, (ULONG64)child};
    lrb_index_put(layout, node, at, &rec);
    mblk_mark_dirty(block);
}

// Puts a separator for `child` at the end of the edge's node of `level`.
int edge_link(lrbtree_bulk_builder* b, ULONG level, ULONG64 key, mblk* child) {
    const lrbtree_layout* layout = &b->cursor->shape->index_layout;
    mblk* last = b->edge.level[level].node;
    if (lrb_node_of(last)->h.count < b->index_target) {
        append_entry(layout, last, key, child);
        return 0;
    }
    if (level + 1 >= LRB_MAX_LEVELS) {
        lrbtree_cursor_fail(b->cursor, -KPAV_EINVAL);
        return -KPAV_EINVAL;
    }
    mblk* fresh = nullptr;
    int rc = edge_node(b, level, &fresh);
    if (rc != 0) {
        return rc;
    }
    append_entry(layout, fresh, key, child);
    b->edge.level[level].node = fresh;
    if ((LONG)level == b->top) {
        // The top level grows: a new level above takes both its nodes.
        mblk* top = nullptr;
        rc = edge_node(b, level + 1, &top);
        if (rc != 0) {
            return rc;
        }
        append_entry(layout, top, lrb_node_first_key(b->cursor->shape, lrb_node_of(last)), last);
        append_entry(layout, top, key, fresh);
        b->edge.level[level + 1].node = top;
        b->top = (LONG)level + 1;
        return 0;
    }
    return edge_link(b, level + 1, key, fresh);
}

// Opens the leaf-target slots of an empty leaf: contiguous in the middle of its slot array.
void open_leaf(lrbtree_bulk_builder* b, mblk* leaf) {
    lrbtree_entries_insert_slots(&b->cursor->shape->leaf_layout, lrb_node_of(leaf), 0, b->leaf_target);
    b->leaf = leaf;
    b->position = 0;
    b->end = b->leaf_target;
    b->leaves++;
}

// Makes the edge's top the shard's root.
void install_top(lrbtree_bulk_builder* b) {
    mblk* top = b->edge.level[b->top].node;
    mblk* old = b->cursor->root;
    if (old != top) {
        lrb_node_of(old)->h.level &= (UCHAR)~LRB_ROOT_FLAG;
        mblk_mark_dirty(old);
        lrbtree_set_root(b->cursor, top);
    }
}

}  // namespace

void lrbtree_bulk_start(lrbtree_bulk_builder* builder, lrbtree_cursor* cursor, ULONG percent, const char* name) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    memset(builder, 0, sizeof *builder);
    builder->cursor = cursor;
    lrbtree_path_reset(&builder->edge);
    builder->top = 0;
    builder->leaf_target = cursor->shape->leaf_layout.capacity * percent / 100;
    builder->index_target = cursor->shape->index_layout.capacity * percent / 100;
    builder->name = name;
}

void lrbtree_bulk_append(lrbtree_bulk_builder* builder, ULONG64 key, ULONG length, ULONG64 gpkt) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    lrbtree_leaf_rec rec = {key, gpkt, length};
    lrb_leaf_put(&builder->cursor->shape->leaf_layout, lrb_node_of(builder->leaf), builder->position, &rec);
    builder->position++;
    builder->keys += length;
    builder->entries++;
}

int lrbtree_bulk_link_leaf(lrbtree_bulk_builder* builder, mblk* leaf) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    ULONG64 first = lrb_node_first_key(builder->cursor->shape, lrb_node_of(leaf));
    if (builder->edge.level[1].node == nullptr) {
        return -KPAV_EINVAL;
    }
    if (builder->edge.level[0].node == leaf) {
        // The first leaf hangs under the root already: its separator becomes its first key.
        mblk* parent = builder->edge.level[1].node;
        lrb_index_set_key(&builder->cursor->shape->index_layout, lrb_node_of(parent), 0, first);
        mblk_mark_dirty(parent);
        return 0;
    }
    builder->edge.level[0].node = leaf;
    return edge_link(builder, 1, first, leaf);
}

int lrbtree_bulk_flush(lrbtree_bulk_builder* b, bool final) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    lrbtree_cursor* cursor = b->cursor;
    if (cursor->error != 0) {
        return cursor->error;
    }
    if (b->leaf == nullptr) {
        if (final) {
            return 0;  // nothing was appended: the shard stays empty
        }
        int rc = lrbtree_create_root(cursor);
        if (rc != 0) {
            return rc;
        }
        lrbtree_path path;
        lrbtree_descend(cursor, &path, 0);
        b->edge.level[0].node = path.level[0].node;
        b->edge.level[1].node = cursor->root;
        b->top = 1;
        open_leaf(b, path.level[0].node);
        return 0;
    }
    mblk* leaf = b->leaf;
    lrb_node* node = lrb_node_of(leaf);
    // Only the entries written stay: the header block counted the whole target when the slots
    // were opened.
    lrb_count_entries(cursor->shape, 0, -(LONG64)(b->end - b->position));
    node->h.count = (USHORT)b->position;
    mblk_mark_dirty(leaf);
    b->leaf = nullptr;
    int rc = 0;
    if (b->position == 0 && b->leaves > 1) {
        lrbtree_node_free(cursor, leaf);  // opened but never used: not linked
    } else if (b->position != 0) {
        rc = lrbtree_bulk_link_leaf(b, leaf);
    }
    if (rc == 0 && !final) {
        mblk* next = nullptr;
        rc = lrbtree_node_new(cursor, 0, &next);
        if (rc == 0) {
            open_leaf(b, next);
        }
    }
    if (rc != 0) {
        return rc;
    }
    if (final) {
        lrb_header_block* header = lrb_header_of(cursor->shape);
        if (header != nullptr) {
            header->mapped_keys += b->keys;
            mblk_mark_dirty(cursor->shape->header);
        }
        if (b->position == 0 && b->leaves == 1) {
            // The first leaf stayed empty: no tree.
            mblk* root = cursor->root;
            lrbtree_entries_remove(&cursor->shape->index_layout, lrb_node_of(root), 0, 1);
            lrbtree_node_free(cursor, leaf);
            lrbtree_node_free(cursor, root);
            lrbtree_set_root(cursor, nullptr);
        } else {
            install_top(b);
        }
        lrbtree_path_reset(&b->edge);
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Shard builds of the rebuild

int lrbtree_build_begin(lrbtree* map, ULONG shard, lrbtree_cursor* cursor, lrbtree_bulk_builder* builder,
                        const char* name) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    lrbtree_cursor_open_writer(map, shard, cursor);
    lrbtree_bulk_start(builder, cursor, LRB_REBUILD_PERCENT, name);
    if (cursor->error != 0) {
        return cursor->error;
    }
    return cursor->root != nullptr ? -KPAV_EEXIST : 0;
}

int lrbtree_build_add(lrbtree_bulk_builder* builder, ULONG64 key, ULONG length, ULONG64 gpkt, bool* flushed) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    *flushed = false;
    if (lrbtree_bulk_full(builder)) {
        int rc = lrbtree_bulk_flush(builder, false);
        if (rc != 0) {
            return rc;
        }
        *flushed = true;
    }
    lrbtree_bulk_append(builder, key, length, gpkt);
    return 0;
}

int lrbtree_build_end(lrbtree_cursor* cursor, lrbtree_bulk_builder* builder, int rc) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    if (rc == 0) {
        rc = lrbtree_bulk_flush(builder, true);
    } else if (builder->leaf != nullptr) {
        // A failed build leaves its partial tree to the map's error: the leaf's count is made
        // true so that nothing reads slots never written.
        lrb_count_entries(cursor->shape, 0, -(LONG64)(builder->end - builder->position));
        lrb_node_of(builder->leaf)->h.count = (USHORT)builder->position;
        builder->leaf = nullptr;
    }
    if (rc != 0 && cursor->error == 0 && rc != -KPAV_EEXIST) {
        cursor->error = rc;
    }
    lrbtree_cursor_close(cursor);
    return rc;
}

int lrbtree_mark_valid(pav_log* log, const lrbtree_validity* validity, ULONG64 gpkt, ULONG count) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    if (gpkt < PAV_LOG_FIRST_ADDR || log->leb_span == 0) {
        return 0;
    }
    ULONG64 leb = (gpkt - PAV_LOG_FIRST_ADDR) / log->leb_span;
    ULONG64 offset = (gpkt - PAV_LOG_FIRST_ADDR) % log->leb_span;
    if (validity != nullptr && validity->bitmap != nullptr) {
        int rc = pav_pbitmap_set_range(validity->bitmap, leb * validity->bits_per_leb + offset, count);
        if (rc != 0) {
            return rc;
        }
    }
    if (log->counters != nullptr && leb < log->eb_count) {
        InterlockedExchangeAdd(&log->counters[leb].valid, (LONG)count);
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Compaction

namespace {

// Counts a shard's leaf entries (level 1 nodes' children).
int count_entries_cb(lrbtree_cursor* cursor, mblk* node, ULONG level, void* context) {
    UNREFERENCED_PARAMETER(level);
    const lrb_node* n = lrb_node_of(node);
    for (ULONG i = 0; i < n->h.count; i++) {
        *(ULONG64*)context += lrb_node_of(lrb_index_child(&cursor->shape->index_layout, n, i))->h.count;
    }
    return 0;
}

// Frees the old index nodes, and the leaves emptied under them, level by level from level 1: a
// level's nodes are freed as the walk passes them, the levels above still lead to them.
int free_old_cb(lrbtree_cursor* cursor, mblk* node, ULONG level, void* context) {
    UNREFERENCED_PARAMETER(context);
    if (level == 1) {
        const lrb_node* n = lrb_node_of(node);
        for (ULONG i = 0; i < n->h.count; i++) {
            mblk* leaf = lrb_index_child(&cursor->shape->index_layout, n, i);
            if (lrb_node_of(leaf)->h.count == 0) {
                lrbtree_node_free(cursor, leaf);
            }
        }
    }
    lrb_count_entries(cursor->shape, level, -(LONG64)lrb_node_of(node)->h.count);
    lrbtree_node_free(cursor, node);
    return 0;
}

void release_spares(lrbtree_bulk_builder* b) {
    while (b->spare != nullptr) {
        mblk* block = b->spare;
        b->spare = *(mblk**)block->page;
        memset(block->page, 0, sizeof(mblk*));
        mblk_retire(b->cursor->shape->log, block);
    }
}

// Takes every index node the packed shard needs before anything moves, so that running out of
// memory leaves the shard as it was.
int take_spares(lrbtree_bulk_builder* b, ULONG64 entries) {
    const lrbtree_shape* shape = b->cursor->shape;
    ULONG64 nodes = (entries + shape->leaf_layout.capacity - 1) / shape->leaf_layout.capacity;
    ULONG64 needed = 0;
    do {
        nodes = (nodes + b->index_target - 1) / b->index_target;
        needed += nodes;
    } while (nodes > 1);
    for (ULONG64 i = 0; i < needed; i++) {
        mblk* block = nullptr;
        int rc = lrbtree_node_take(b->cursor, &block);
        if (rc != 0) {
            release_spares(b);
            return rc;
        }
        *(mblk**)block->page = b->spare;
        b->spare = block;
    }
    return 0;
}

int compact_shard(lrbtree* map, ULONG shard, bool* printed) {
    lrbtree_cursor cursor;
    lrbtree_cursor_open_writer(map, shard, &cursor);
    lrbtree_path path;
    if (cursor.error != 0 || cursor.root == nullptr) {
        int rc = cursor.error;
        lrbtree_cursor_close(&cursor);
        return rc;
    }
    if (lrbtree_descend(&cursor, &path, 0) != 0) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 22533, "%s: failed to get first leaf\n",
                    datalog_device_name(map->owner));
        lrbtree_cursor_close(&cursor);
        return 0;
    }
    const lrbtree_shape* shape = &map->shape;
    const lrbtree_layout* leaf_layout = &shape->leaf_layout;
    lrbtree_bulk_builder b;
    lrbtree_bulk_start(&b, &cursor, 100, "compact");
    if (!*printed) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: Compacting tree to %d%% full blocks (%d leaf and %d index entries per block)\n",
                   datalog_device_name(map->owner), 100, (int)b.leaf_target, (int)b.index_target);
        *printed = true;
    }
    ULONG64 entries = 0;
    int rc = lrbtree_level_walk(&cursor, 1u << 1, count_entries_cb, &entries);
    if (rc == 0) {
        rc = take_spares(&b, entries);
    }
    if (rc != 0) {
        // Nothing has moved: the shard stays as it was, and the map usable.
        lrbtree_cursor_close(&cursor);
        return rc;
    }
    // The new right edge starts with a level-1 node over the first leaf.
    mblk* current = path.level[0].node;
    mblk* level1 = nullptr;
    edge_node(&b, 1, &level1);
    append_entry(&shape->index_layout, level1, lrb_node_first_key(shape, lrb_node_of(current)), current);
    b.edge.level[0].node = current;
    b.edge.level[1].node = level1;
    b.top = 1;
    // Leaves from left to right: the current one takes entries from the front of the next ones
    // until it is full; a leaf emptied so stays under the old index until that goes.
    lrbtree_path walk = path;
    while (lrbtree_path_next(&cursor, &walk, 0) == 0) {
        mblk* next = walk.level[0].node;
        lrb_node* from = lrb_node_of(next);
        lrb_node* to = lrb_node_of(current);
        ULONG n = leaf_layout->capacity - to->h.count;
        n = n < from->h.count ? n : from->h.count;
        if (n != 0) {
            ULONG at = to->h.count;
            lrbtree_entries_insert_slots(leaf_layout, to, at, n);
            lrb_entries_move(leaf_layout, to, at, from, 0, n);
            lrbtree_entries_remove(leaf_layout, from, 0, n);
            mblk_mark_dirty(current);
            mblk_mark_dirty(next);
        }
        if (from->h.count != 0) {
            current = next;
            b.edge.level[0].node = nullptr;
            rc = lrbtree_bulk_link_leaf(&b, current);
            kpav_assert(rc == 0);  // its index nodes were taken beforehand
        }
    }
    // The old index levels go, with the leaves emptied under them; the new edge's top is the root.
    LONG old_depth = cursor.depth;
    for (LONG level = 1; level <= old_depth; level++) {
        lrbtree_level_walk(&cursor, 1u << level, free_old_cb, nullptr);
    }
    lrb_header_block* header = lrb_header_of(shape);
    mblk* top = b.edge.level[b.top].node;
    lrb_node_of(top)->h.level |= LRB_ROOT_FLAG;
    cursor.root = top;
    lrbtree_set_root(&cursor, top);
    release_spares(&b);
    if (header != nullptr) {
        mblk_mark_dirty(shape->header);
    }
    lrbtree_cursor_close(&cursor);
    return 0;
}

}  // namespace

int lrbtree_compact(lrbtree* map) {
    PAGED_CODE();
    ExAcquireFastMutex(&map->writers);
    int rc = map->shape.error;
    bool printed = false;
    for (ULONG shard = 0; rc == 0 && shard < map->total_shards; shard++) {
        if (map->roots[lrbtree_root_slot(map, shard)] != 0 && lrbtree_shard_probe(map, shard)) {
            rc = compact_shard(map, shard, &printed);
        }
    }
    ExReleaseFastMutex(&map->writers);
    return rc;
}
