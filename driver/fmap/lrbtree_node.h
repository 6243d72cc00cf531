// The forward map's on-media node format: nodes and the header block, the entry encodings, the
// circular slot array of a node, and the allocation and retirement of nodes.
#pragma once

#include <stddef.h>
#include <string.h>

#include "driver/fmap/lrbtree_internal.h"

constexpr ULONG LRB_NODE_SIZE = 4096;
constexpr ULONG LRB_NODE_HEADER_SIZE = 32;

constexpr UCHAR LRB_NODE_TYPE_TREE = 0;
constexpr UCHAR LRB_NODE_TYPE_HEADER = 6;
constexpr UCHAR LRB_LEVEL_MASK = 0x0F;
constexpr UCHAR LRB_ROOT_FLAG = 0x10;
constexpr UCHAR LRB_HEADER_LEVEL = 15;

// Entry kinds.
constexpr ULONG LRB_KIND_LEAF24 = 1;
constexpr ULONG LRB_KIND_LEAF32 = 3;
constexpr ULONG LRB_KIND_LEAF48 = 5;
constexpr ULONG LRB_KIND_INDEX32 = 4;
constexpr ULONG LRB_KIND_INDEX48 = 6;

#pragma pack(push, 1)
struct lrb_node_header {
    UCHAR type;    // 0 for a tree node
    UCHAR kind;    // entry kind
    UCHAR level;   // bits 0-3 level, bit 4 root flag
    UCHAR zero3;
    USHORT count;  // entries
    USHORT head;   // physical slot of logical entry 0
    ULONG64 base;  // bits 0-55: base key of the shard
    UCHAR zero16[16];
};

struct lrb_node {
    lrb_node_header h;
    UCHAR slots[LRB_NODE_SLOT_BYTES];
};

// The header block of a tree: 160 bytes used in its 4096-byte page.
struct lrb_header_block {
    UCHAR type;  // 6
    UCHAR zero1;
    UCHAR level;  // 15 in bits 0-3
    UCHAR zero3[9];
    ULONG key_width;
    UCHAR zero16[16];
    ULONG64 last_root;      // metadata-block key of the last root written
    ULONG64 leaf_nodes;     // in the tree
    ULONG64 index_nodes;
    ULONG64 leaf_entries;
    ULONG64 index_entries;
    ULONG64 leaf_created;
    ULONG64 index_created;
    ULONG64 leaf_freed;
    ULONG64 index_freed;
    ULONG64 mapped_keys;    // running sum of every update's net change
    UCHAR zero112[24];
    ULONG64 alloc_cursor;   // where the search for a free node key starts
    ULONG64 first_node_key;
    ULONG64 last_node_key;
};
#pragma pack(pop)

static_assert(sizeof(lrb_node_header) == LRB_NODE_HEADER_SIZE);
static_assert(offsetof(lrb_node_header, count) == 4);
static_assert(offsetof(lrb_node_header, head) == 6);
static_assert(offsetof(lrb_node_header, base) == 8);
static_assert(sizeof(lrb_node) == LRB_NODE_SIZE);
static_assert(offsetof(lrb_node, slots) == 32);
static_assert(sizeof(lrb_header_block) == 160);
static_assert(offsetof(lrb_header_block, level) == 2);
static_assert(offsetof(lrb_header_block, key_width) == 12);
static_assert(offsetof(lrb_header_block, last_root) == 32);
static_assert(offsetof(lrb_header_block, leaf_nodes) == 40);
static_assert(offsetof(lrb_header_block, index_nodes) == 48);
static_assert(offsetof(lrb_header_block, leaf_entries) == 56);
static_assert(offsetof(lrb_header_block, index_entries) == 64);
static_assert(offsetof(lrb_header_block, leaf_created) == 72);
static_assert(offsetof(lrb_header_block, index_created) == 80);
static_assert(offsetof(lrb_header_block, leaf_freed) == 88);
static_assert(offsetof(lrb_header_block, index_freed) == 96);
static_assert(offsetof(lrb_header_block, mapped_keys) == 104);
static_assert(offsetof(lrb_header_block, alloc_cursor) == 136);
static_assert(offsetof(lrb_header_block, first_node_key) == 144);
static_assert(offsetof(lrb_header_block, last_node_key) == 152);

inline lrb_node* lrb_node_of(const mblk* block) {
    return (lrb_node*)block->page;
}
inline ULONG lrb_node_level(const lrb_node* node) {
    return node->h.level & LRB_LEVEL_MASK;
}
inline lrb_header_block* lrb_header_of(const lrbtree_shape* shape) {
    return shape->header != nullptr ? (lrb_header_block*)shape->header->page : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Entry encodings. Entries are little-endian and unaligned.

inline ULONG lrb_get32(const UCHAR* p) {
    ULONG v;
    memcpy(&v, p, 4);
    return v;
}
inline void lrb_put32(UCHAR* p, ULONG v) {
    memcpy(p, &v, 4);
}
inline ULONG64 lrb_get64(const UCHAR* p) {
    ULONG64 v;
    memcpy(&v, p, 8);
    return v;
}
inline void lrb_put64(UCHAR* p, ULONG64 v) {
    memcpy(p, &v, 8);
}

inline ULONG lrb_slot(const lrbtree_layout* layout, const lrb_node* node, ULONG i) {
    ULONG s = node->h.head + i;
    return s >= layout->capacity ? s - layout->capacity : s;
}
inline UCHAR* lrb_entry(const lrbtree_layout* layout, const lrb_node* node, ULONG i) {
    return (UCHAR*)node->slots + (SIZE_T)lrb_slot(layout, node, i) * layout->entry_size;
}

// Leaf entries: the length byte holds length - 1 in bits 0-5 and gpkt bits 32-33 in bits 6-7.
inline ULONG64 lrb_leaf_raw_key(ULONG kind, const UCHAR* e) {
    switch (kind) {
        case LRB_KIND_LEAF24:
            return (ULONG64)e[0] | (ULONG64)e[1] << 8 | (ULONG64)e[2] << 16;
        case LRB_KIND_LEAF32:
            return lrb_get32(e);
        default:
            return (ULONG64)lrb_get32(e) | (ULONG64)(e[4] | e[5] << 8) << 32;
    }
}
inline ULONG lrb_leaf_length_offset(ULONG kind) {
    return kind == LRB_KIND_LEAF24 ? 3 : kind == LRB_KIND_LEAF32 ? 4 : 6;
}
inline void lrb_leaf_decode(ULONG kind, const UCHAR* e, lrbtree_leaf_rec* rec) {
    ULONG at = lrb_leaf_length_offset(kind);
    UCHAR length_byte = e[at];
    rec->key = lrb_leaf_raw_key(kind, e);
    rec->length = (ULONG)(length_byte & 63) + 1;
    rec->gpkt = ((ULONG64)(length_byte & 0xC0) << 26) + lrb_get32(e + at + 1);
}
inline void lrb_leaf_encode(ULONG kind, UCHAR* e, const lrbtree_leaf_rec* rec) {
    switch (kind) {
        case LRB_KIND_LEAF24:
            e[0] = (UCHAR)rec->key;
            e[1] = (UCHAR)(rec->key >> 8);
            e[2] = (UCHAR)(rec->key >> 16);
            break;
        case LRB_KIND_LEAF32:
            lrb_put32(e, (ULONG)rec->key);
            break;
        default:
            lrb_put32(e, (ULONG)rec->key);
            e[4] = (UCHAR)(rec->key >> 32);
            e[5] = (UCHAR)(rec->key >> 40);
            break;
    }
    ULONG at = lrb_leaf_length_offset(kind);
    e[at] = (UCHAR)(((rec->gpkt >> 26) & 0xC0) | ((rec->length - 1) & 63));
    lrb_put32(e + at + 1, (ULONG)rec->gpkt);
}

// Index entries.
inline void lrb_index_decode(ULONG kind, const UCHAR* e, lrbtree_index_rec* rec) {
    if (kind == LRB_KIND_INDEX32) {
        rec->key = lrb_get32(e);
        rec->child = lrb_get64(e + 4);
    } else {
        rec->child = lrb_get64(e);
        rec->key = (ULONG64)lrb_get32(e + 8) | (ULONG64)(e[12] | e[13] << 8) << 32;
    }
}
inline void lrb_index_encode(ULONG kind, UCHAR* e, const lrbtree_index_rec* rec) {
    if (kind == LRB_KIND_INDEX32) {
        lrb_put32(e, (ULONG)rec->key);
        lrb_put64(e + 4, rec->child);
    } else {
        lrb_put64(e, rec->child);
        lrb_put32(e + 8, (ULONG)rec->key);
        e[12] = (UCHAR)(rec->key >> 32);
        e[13] = (UCHAR)(rec->key >> 40);
    }
}
inline ULONG64 lrb_index_raw_key(ULONG kind, const UCHAR* e) {
    return kind == LRB_KIND_INDEX32 ? lrb_get32(e) : (ULONG64)lrb_get32(e + 8) | (ULONG64)(e[12] | e[13] << 8) << 32;
}
inline ULONG64 lrb_index_raw_child(ULONG kind, const UCHAR* e) {
    return kind == LRB_KIND_INDEX32 ? lrb_get64(e + 4) : lrb_get64(e);
}

// Entry accessors at a logical position.
inline void lrb_leaf_get(const lrbtree_layout* layout, const lrb_node* node, ULONG i, lrbtree_leaf_rec* rec) {
    lrb_leaf_decode(layout->kind, lrb_entry(layout, node, i), rec);
}
inline void lrb_leaf_put(const lrbtree_layout* layout, lrb_node* node, ULONG i, const lrbtree_leaf_rec* rec) {
    lrb_leaf_encode(layout->kind, lrb_entry(layout, node, i), rec);
}
inline ULONG64 lrb_leaf_key(const lrbtree_layout* layout, const lrb_node* node, ULONG i) {
    return lrb_leaf_raw_key(layout->kind, lrb_entry(layout, node, i));
}
inline ULONG64 lrb_index_key(const lrbtree_layout* layout, const lrb_node* node, ULONG i) {
    return lrb_index_raw_key(layout->kind, lrb_entry(layout, node, i));
}
inline mblk* lrb_index_child(const lrbtree_layout* layout, const lrb_node* node, ULONG i) {
    return (mblk*)lrb_index_raw_child(layout->kind, lrb_entry(layout, node, i));
}
inline void lrb_index_get(const lrbtree_layout* layout, const lrb_node* node, ULONG i, lrbtree_index_rec* rec) {
    lrb_index_decode(layout->kind, lrb_entry(layout, node, i), rec);
}
inline void lrb_index_put(const lrbtree_layout* layout, lrb_node* node, ULONG i, const lrbtree_index_rec* rec) {
    lrb_index_encode(layout->kind, lrb_entry(layout, node, i), rec);
}
inline void lrb_index_set_key(const lrbtree_layout* layout, lrb_node* node, ULONG i, ULONG64 key) {
    lrbtree_index_rec rec;
    lrb_index_get(layout, node, i, &rec);
    rec.key = key;
    lrb_index_put(layout, node, i, &rec);
}

// Writes n records at logical positions pos.. (slots must be open).
void lrbtree_leaf_write(const lrbtree_layout* layout, lrb_node* node, ULONG pos, const lrbtree_leaf_rec* recs, ULONG n);
void lrbtree_index_write(const lrbtree_layout* layout, lrb_node* node, ULONG pos, const lrbtree_index_rec* recs,
                         ULONG n);

// ---------------------------------------------------------------------------------------------
// Layouts and node slots

void lrbtree_layout_init(lrbtree_shape* shape, lrbtree_layout* layout, ULONG kind);
// The shape of a tree whose largest shard span is largest_span_minus_1 + 1.
void lrbtree_shape_init(lrbtree_shape* shape, pav_log* owner, ULONG64 largest_span_minus_1);

inline const lrbtree_layout* lrb_layout_for(const lrbtree_shape* shape, ULONG level) {
    return level == 0 ? &shape->leaf_layout : &shape->index_layout;
}

// Opens n slots at logical position `pos`, moving the shorter side; returns the first new slot.
ULONG lrbtree_entries_insert_slots(const lrbtree_layout* layout, lrb_node* node, ULONG pos, ULONG n);
// Closes n slots at `pos`, moving the shorter side.
void lrbtree_entries_remove(const lrbtree_layout* layout, lrb_node* node, ULONG pos, ULONG n);
// Copies n raw entries from logical position `pos` of a node into `out`.
void lrb_entries_copy_out(const lrbtree_layout* layout, const lrb_node* node, ULONG pos, ULONG n, UCHAR* out);
// Copies n raw entries from `in` to logical positions pos.. of a node (the slots must be open).
void lrb_entries_copy_in(const lrbtree_layout* layout, lrb_node* node, ULONG pos, ULONG n, const UCHAR* in);
// Copies n entries from logical positions from_pos.. of one node to to_pos.. of another (the
// slots must be open).
void lrb_entries_move(const lrbtree_layout* layout, lrb_node* to, ULONG to_pos, const lrb_node* from, ULONG from_pos,
                      ULONG n);
// Fills an emptied node with n raw entries, centred in its slot array.
void lrb_entries_fill(const lrbtree_layout* layout, lrb_node* node, const UCHAR* entries, ULONG n);

// Header-block accounting (nothing without a header block).
void lrb_count_entries(const lrbtree_shape* shape, ULONG level, LONG64 delta);

// The key a node starts with: its first entry's key (0 for an empty node).
inline ULONG64 lrb_node_first_key(const lrbtree_shape* shape, const lrb_node* node) {
    if (node->h.count == 0) {
        return 0;
    }
    return lrb_node_level(node) == 0 ? lrb_leaf_key(&shape->leaf_layout, node, 0)
                                     : lrb_index_key(&shape->index_layout, node, 0);
}

// ---------------------------------------------------------------------------------------------
// Nodes

// A free node key's metadata block (from the cursor's reserve when it has one): 0, or the error,
// logged and kept as the cursor's error.
int lrbtree_node_alloc(lrbtree_cursor* cursor, mblk** out);
// A fresh node of `level` for the cursor's shard, counted in the header block.
int lrbtree_node_new(lrbtree_cursor* cursor, ULONG level, mblk** out);
// Makes a block taken for the tree a fresh empty node of `level`, counted in the header block.
void lrbtree_node_init(lrbtree_cursor* cursor, ULONG level, mblk* block);
// Takes a free node key's block without counting it as a node: 0, or the error (logged).
int lrbtree_node_take(lrbtree_cursor* cursor, mblk** out);
// Retires an emptied node: counted as freed, its header no longer that of a tree node, the
// tree's reference dropped; the block goes at its last reference.
void lrbtree_node_free(lrbtree_cursor* cursor, mblk* block);
// Takes n nodes into the cursor's reserve before an update changes anything: 0, or the error
// with nothing taken.
int lrbtree_reserve_nodes(lrbtree_cursor* cursor, ULONG n);
// Releases the nodes of the reserve an update did not use.
void lrbtree_release_reserve(lrbtree_cursor* cursor);

// ---------------------------------------------------------------------------------------------
// Cursors, opened and closed once for every shard of every operation

inline void lrbtree_cursor_open(lrbtree* map, ULONG shard, lrbtree_cursor* cursor) {
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

inline void lrbtree_cursor_close(lrbtree_cursor* cursor) {
    lrbtree* map = cursor->map;
    if (cursor->reserved != 0) {
        lrbtree_release_reserve(cursor);
    }
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
