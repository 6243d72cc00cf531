// Node format: layouts, slot arithmetic of the circular entry array, node allocation and the
// header block's counters.
#include "driver/fmap/lrbtree_node.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/log.h"

void lrbtree_layout_init(lrbtree_shape* shape, lrbtree_layout* layout, ULONG kind) {
    ULONG size = 0;
    switch (kind) {
        case LRB_KIND_LEAF24: size = 8; break;
        case LRB_KIND_LEAF32: size = 9; break;
        case LRB_KIND_LEAF48: size = 11; break;
        case LRB_KIND_INDEX32: size = 12; break;
        default: size = 14; break;
    }
    layout->entry_size = size;
    layout->capacity = LRB_NODE_SLOT_BYTES / size;
    layout->header_size = LRB_NODE_HEADER_SIZE;
    layout->fill_target = (2 * layout->capacity + 2) / 3;
    layout->kind = kind;
    layout->shape = shape;
}

void lrbtree_shape_init(lrbtree_shape* shape, pav_log* owner, ULONG64 largest_span_minus_1) {
    memset(shape, 0, sizeof *shape);
    ULONG64 span = largest_span_minus_1 + 1;
    shape->key_width = span <= (1ull << 24) ? 24 : span <= (1ull << 32) ? 32 : 48;
    shape->next_node_id = LRB_FIRST_NODE_ID;
    shape->last_node_id = LRB_LAST_NODE_ID;
    shape->index_kind = shape->key_width == 48 ? LRB_KIND_INDEX48 : LRB_KIND_INDEX32;
    shape->leaf_kind = shape->key_width == 24 ? LRB_KIND_LEAF24 : shape->key_width == 32 ? LRB_KIND_LEAF32 : LRB_KIND_LEAF48;
    lrbtree_layout_init(shape, &shape->index_layout, shape->index_kind);
    lrbtree_layout_init(shape, &shape->leaf_layout, shape->leaf_kind);
    shape->log = owner;
}

void lrbtree_leaf_write(const lrbtree_layout* layout, lrb_node* node, ULONG pos, const lrbtree_leaf_rec* recs, ULONG n) {
    for (ULONG i = 0; i < n; i++) {
        lrb_leaf_put(layout, node, pos + i, &recs[i]);
    }
}

void lrbtree_index_write(const lrbtree_layout* layout, lrb_node* node, ULONG pos, const lrbtree_index_rec* recs,
                         ULONG n) {
    for (ULONG i = 0; i < n; i++) {
        lrb_index_put(layout, node, pos + i, &recs[i]);
    }
}

// ---------------------------------------------------------------------------------------------
// The circular slot array. A range of logical entries lies in at most two contiguous pieces of
// the slot array, so a move between two ranges copies up to three pieces.

namespace {

// Copies n entries from physical slot `from` of `source` to physical slot `to` of
// `destination`, both ranges wrapping at the capacity. Pieces go back to front when the
// destination lies after the source in the same node.
void copy_slots(const lrbtree_layout* layout, UCHAR* destination, ULONG to, const UCHAR* source, ULONG from, ULONG n,
                bool backward) {
    ULONG cap = layout->capacity;
    ULONG size = layout->entry_size;
    if (from + n <= cap && to + n <= cap) {
        // Neither range wraps (the most common case): one move, whichever way they overlap.
        memmove(destination + (SIZE_T)to * size, source + (SIZE_T)from * size, (SIZE_T)n * size);
        return;
    }
    if (!backward) {
        while (n != 0) {
            ULONG piece = n;
            if (piece > cap - from) piece = cap - from;
            if (piece > cap - to) piece = cap - to;
            memmove(destination + (SIZE_T)to * size, source + (SIZE_T)from * size, (SIZE_T)piece * size);
            from = from + piece == cap ? 0 : from + piece;
            to = to + piece == cap ? 0 : to + piece;
            n -= piece;
        }
        return;
    }
    ULONG from_end = (from + n) % cap;
    ULONG to_end = (to + n) % cap;
    while (n != 0) {
        ULONG fe = from_end == 0 ? cap : from_end;
        ULONG te = to_end == 0 ? cap : to_end;
        ULONG piece = n;
        if (piece > fe) piece = fe;
        if (piece > te) piece = te;
        memmove(destination + (SIZE_T)(te - piece) * size, source + (SIZE_T)(fe - piece) * size,
                (SIZE_T)piece * size);
        from_end = fe - piece;
        to_end = te - piece;
        n -= piece;
    }
}

}  // namespace

void lrb_count_entries(const lrbtree_shape* shape, ULONG level, LONG64 delta) {
    lrb_header_block* header = lrb_header_of(shape);
    if (header == nullptr) {
        return;
    }
    if (level == 0) {
        header->leaf_entries += (ULONG64)delta;
    } else {
        header->index_entries += (ULONG64)delta;
    }
}

ULONG lrbtree_entries_insert_slots(const lrbtree_layout* layout, lrb_node* node, ULONG pos, ULONG n) {
    ULONG cap = layout->capacity;
    ULONG count = node->h.count;
    if (count == 0) {
        node->h.head = (USHORT)((cap - n) / 2);
    } else if (pos == count) {
        // At the end: nothing moves.
    } else if (pos >= count / 2) {
        // The tail moves up.
        copy_slots(layout, node->slots, lrb_slot(layout, node, pos + n), node->slots, lrb_slot(layout, node, pos),
                   count - pos, true);
    } else {
        // The head moves down.
        ULONG head = node->h.head;
        ULONG new_head = head >= n ? head - n : head + cap - n;
        copy_slots(layout, node->slots, new_head, node->slots, head, pos, false);
        node->h.head = (USHORT)new_head;
    }
    node->h.count = (USHORT)(count + n);
    lrb_count_entries(layout->shape, lrb_node_level(node), n);
    return lrb_slot(layout, node, pos);
}

void lrbtree_entries_remove(const lrbtree_layout* layout, lrb_node* node, ULONG pos, ULONG n) {
    if (n == 0) {
        return;
    }
    ULONG cap = layout->capacity;
    ULONG count = node->h.count;
    ULONG after = count - pos - n;
    if (pos == 0) {
        // From the front: the head moves past them.
        ULONG head = node->h.head + n;
        node->h.head = (USHORT)(head >= cap ? head - cap : head);
    } else if (after <= pos) {
        copy_slots(layout, node->slots, lrb_slot(layout, node, pos), node->slots, lrb_slot(layout, node, pos + n),
                   after, false);
    } else {
        ULONG head = node->h.head;
        ULONG new_head = head + n >= cap ? head + n - cap : head + n;
        copy_slots(layout, node->slots, new_head, node->slots, head, pos, true);
        node->h.head = (USHORT)new_head;
    }
    node->h.count = (USHORT)(count - n);
    lrb_count_entries(layout->shape, lrb_node_level(node), -(LONG64)n);
}

void lrb_entries_copy_out(const lrbtree_layout* layout, const lrb_node* node, ULONG pos, ULONG n, UCHAR* out) {
    copy_slots(layout, out, 0, node->slots, lrb_slot(layout, node, pos), n, false);
}

void lrb_entries_copy_in(const lrbtree_layout* layout, lrb_node* node, ULONG pos, ULONG n, const UCHAR* in) {
    copy_slots(layout, node->slots, lrb_slot(layout, node, pos), in, 0, n, false);
}

void lrb_entries_move(const lrbtree_layout* layout, lrb_node* to, ULONG to_pos, const lrb_node* from, ULONG from_pos,
                      ULONG n) {
    copy_slots(layout, to->slots, lrb_slot(layout, to, to_pos), from->slots, lrb_slot(layout, from, from_pos), n,
               false);
}

void lrb_entries_fill(const lrbtree_layout* layout, lrb_node* node, const UCHAR* entries, ULONG n) {
    ULONG head = (layout->capacity - n) / 2;
    memcpy(node->slots + (SIZE_T)head * layout->entry_size, entries, (SIZE_T)n * layout->entry_size);
    node->h.head = (USHORT)head;
    node->h.count = (USHORT)n;
}

// ---------------------------------------------------------------------------------------------
// Nodes

void lrbtree_cursor_fail(lrbtree_cursor* cursor, int error) {
    kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 22535, "Internal software error - tree: %d\n", error);
    if (cursor->error == 0) {
        cursor->error = error;
    }
}

namespace {

// The next free node key's block, searched from the map's cursor so that a map without a header
// block does not start over from the first key every time. Logged on failure.
int take_free_node(lrbtree_cursor* cursor, mblk** out) {
    lrbtree* map = cursor->map;
    int rc = mblk_get_next_free(cursor->shape->log, out, cursor->shape->next_node_id + 1, cursor->shape->last_node_id,
                                &map->node_cursor);
    lrb_header_block* header = lrb_header_of(cursor->shape);
    if (header != nullptr) {
        header->alloc_cursor = map->node_cursor;
    }
    if (rc != 0) {
        kpav_print(KPAV_CLASS_ERROR, "%s: failed to allocate lrb node: %d\n", datalog_device_name(cursor->shape->log),
                   rc);
    }
    return rc;
}

}  // namespace

int lrbtree_node_take(lrbtree_cursor* cursor, mblk** out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return take_free_node(cursor, out);
}

int lrbtree_node_alloc(lrbtree_cursor* cursor, mblk** out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (cursor->reserved != 0) {
        *out = cursor->reserve[--cursor->reserved];
        return 0;
    }
    int rc = take_free_node(cursor, out);
    if (rc != 0) {
        lrbtree_cursor_fail(cursor, rc);
    }
    return rc;
}

int lrbtree_node_new(lrbtree_cursor* cursor, ULONG level, mblk** out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    int rc = lrbtree_node_alloc(cursor, out);
    if (rc != 0) {
        return rc;
    }
    lrbtree_node_init(cursor, level, *out);
    return 0;
}

void lrbtree_node_init(lrbtree_cursor* cursor, ULONG level, mblk* block) {
    lrb_node* node = lrb_node_of(block);
    memset(&node->h, 0, sizeof node->h);
    node->h.type = LRB_NODE_TYPE_TREE;
    node->h.kind = (UCHAR)(level != 0 ? cursor->shape->index_kind : cursor->shape->leaf_kind);
    node->h.level = (UCHAR)level;
    node->h.count = 0;
    node->h.head = (USHORT)(lrb_layout_for(cursor->shape, level)->capacity / 2);
    node->h.base = cursor->base & (LRB_KEY_END - 1);
    mblk_mark_dirty(block);
    lrb_header_block* header = lrb_header_of(cursor->shape);
    if (header != nullptr) {
        if (level == 0) {
            header->leaf_nodes++;
            header->leaf_created++;
        } else {
            header->index_nodes++;
            header->index_created++;
        }
    }
}

void lrbtree_node_free(lrbtree_cursor* cursor, mblk* block) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    lrb_node* node = lrb_node_of(block);
    lrb_header_block* header = lrb_header_of(cursor->shape);
    if (header != nullptr) {
        if (lrb_node_level(node) == 0) {
            header->leaf_nodes--;
            header->leaf_freed++;
        } else {
            header->index_nodes--;
            header->index_freed++;
        }
    }
    // Someone may still hold the block (a metadata writer, a walk's leaf callback): what they
    // see must not pass for a node of the tree, least of all for a shard's root.
    node->h.level &= (UCHAR)~LRB_ROOT_FLAG;
    node->h.count = 0;
    mblk_retire(cursor->shape->log, block);
}

int lrbtree_reserve_nodes(lrbtree_cursor* cursor, ULONG n) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ULONG first = cursor->reserved;
    while (cursor->reserved < first + n) {
        mblk* block = nullptr;
        int rc = take_free_node(cursor, &block);
        if (rc != 0) {
            lrbtree_release_reserve(cursor);
            return rc;
        }
        cursor->reserve[cursor->reserved++] = block;
    }
    return 0;
}

void lrbtree_release_reserve(lrbtree_cursor* cursor) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    while (cursor->reserved != 0) {
        mblk_retire(cursor->shape->log, cursor->reserve[--cursor->reserved]);
    }
}

