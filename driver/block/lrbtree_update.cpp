// Updating the forward map: records cut into shard pieces, each piece cutting or removing the
// runs it overlaps (every displaced run goes to the invalidation callback), placing its new run,
// and keeping the shard's tree balanced with windows of neighbouring nodes.
//
// A piece takes every node it may need before it changes anything, so an allocation failure
// leaves the shard as it was. Structural steps re-descend by key instead of patching paths: a
// path is only trusted until the next split or merge.
#include "driver/block/lrbtree_node.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Windows of neighbouring nodes

// Forms the window of up to three consecutive nodes of `level` around the node of `path`: its
// left and right neighbours; at the left edge the two to its right, at the right edge the two
// to its left. The path moves into the window.
void window_build(lrbtree_cursor* cursor, lrbtree_path* path, ULONG level, lrbtree_window* window) {
    lrbtree_path left;
    lrbtree_path right;
    lrbtree_path_clone(&left, path);
    lrbtree_path_clone(&right, path);
    bool has_left = lrbtree_path_prev(cursor, &left, level) == 0;
    bool has_right = lrbtree_path_next(cursor, &right, level) == 0;
    ULONG n = 0;
    if (has_left && has_right) {
        window->paths[n++] = left;
        window->self = n;
        window->paths[n++] = *path;
        window->paths[n++] = right;
    } else if (has_right) {
        window->self = 0;
        window->paths[n++] = *path;
        lrbtree_path further;
        lrbtree_path_clone(&further, &right);
        window->paths[n++] = right;
        if (lrbtree_path_next(cursor, &further, level) == 0) {
            window->paths[n++] = further;
        } else {
            lrbtree_path_release(cursor, &further);
        }
        lrbtree_path_release(cursor, &left);
    } else if (has_left) {
        lrbtree_path further;
        lrbtree_path_clone(&further, &left);
        if (lrbtree_path_prev(cursor, &further, level) == 0) {
            window->paths[n++] = further;
        } else {
            lrbtree_path_release(cursor, &further);
        }
        window->paths[n++] = left;
        window->self = n;
        window->paths[n++] = *path;
        lrbtree_path_release(cursor, &right);
    } else {
        window->self = 0;
        window->paths[n++] = *path;
        lrbtree_path_release(cursor, &left);
        lrbtree_path_release(cursor, &right);
    }
    window->nodes = n;
    lrbtree_path_reset(path);
}

void window_release(lrbtree_cursor* cursor, lrbtree_window* window) {
    for (ULONG k = 0; k < window->nodes; k++) {
        lrbtree_path_release(cursor, &window->paths[k]);
    }
    window->nodes = 0;
}

inline mblk* window_block(const lrbtree_window* window, ULONG k, ULONG level) {
    return window->paths[k].level[level].node;
}

// Gathers the entries of the window's nodes, in order, into the map's scratch space, with `m`
// raw entries put in at position `pos` of the window's own node. Returns the entry count.
ULONG window_gather(lrbtree_cursor* cursor, const lrbtree_window* window, ULONG level, ULONG pos, const UCHAR* raw,
                    ULONG m) {
    const lrbtree_layout* layout = lrb_layout_for(&cursor->shape, level);
    UCHAR* out = cursor->map->scratch;
    ULONG size = layout->entry_size;
    ULONG total = 0;
    for (ULONG k = 0; k < window->nodes; k++) {
        const lrb_node* node = lrb_node_of(window_block(window, k, level));
        ULONG count = node->h.count;
        if (k == window->self && m != 0) {
            lrb_entries_copy_out(layout, node, 0, pos, out + (SIZE_T)total * size);
            total += pos;
            memcpy(out + (SIZE_T)total * size, raw, (SIZE_T)m * size);
            total += m;
            lrb_entries_copy_out(layout, node, pos, count - pos, out + (SIZE_T)total * size);
            total += count - pos;
        } else {
            lrb_entries_copy_out(layout, node, 0, count, out + (SIZE_T)total * size);
            total += count;
        }
    }
    return total;
}

// Fills the nodes with the gathered entries: targets[j] entries to blocks[j], in order.
void window_scatter(lrbtree_cursor* cursor, ULONG level, mblk* const* blocks, const ULONG* targets, ULONG nodes) {
    const lrbtree_layout* layout = lrb_layout_for(&cursor->shape, level);
    const UCHAR* in = cursor->map->scratch;
    ULONG at = 0;
    for (ULONG j = 0; j < nodes; j++) {
        lrb_entries_fill(layout, lrb_node_of(blocks[j]), in + (SIZE_T)at * layout->entry_size, targets[j]);
        mblk_mark_dirty(blocks[j]);
        at += targets[j];
    }
}

// Brings the window's nodes to `targets` entries each (0 for a node to be emptied) without
// copying the entries that stay where they are. Entry j of the window (in key order) belongs in
// the node whose target range holds j; what a node keeps is where its present range and its
// target range meet. First every node puts what it does not keep into the scratch space, at its
// place in the window's order, and closes those slots; then every node opens slots at its front
// and end for what it lacks and takes it from there. No node holds more than its target at any
// time.
void window_spread(lrbtree_cursor* cursor, lrbtree_window* window, ULONG level, const ULONG* targets) {
    const lrbtree_layout* layout = lrb_layout_for(&cursor->shape, level);
    UCHAR* scratch = cursor->map->scratch;
    ULONG size = layout->entry_size;
    ULONG nodes = window->nodes;
    ULONG present[3];  // first window position each node holds now
    ULONG target[3];   // first window position each node is to hold
    ULONG keep_lo[3];
    ULONG keep_hi[3];
    ULONG at = 0;
    ULONG to = 0;
    for (ULONG k = 0; k < nodes; k++) {
        ULONG count = lrb_node_of(window_block(window, k, level))->h.count;
        present[k] = at;
        target[k] = to;
        keep_lo[k] = at > to ? at : to;
        keep_hi[k] = at + count < to + targets[k] ? at + count : to + targets[k];
        if (keep_lo[k] >= keep_hi[k]) {
            keep_lo[k] = keep_hi[k] = to;  // keeps nothing
        }
        at += count;
        to += targets[k];
    }
    for (ULONG k = 0; k < nodes; k++) {
        mblk* block = window_block(window, k, level);
        lrb_node* node = lrb_node_of(block);
        ULONG count = node->h.count;
        ULONG kept = keep_hi[k] - keep_lo[k];
        ULONG head = kept != 0 ? keep_lo[k] - present[k] : count;
        ULONG tail = count - head - kept;
        if (tail != 0) {
            lrb_entries_copy_out(layout, node, head + kept, tail, scratch + (SIZE_T)(present[k] + head + kept) * size);
            lrbtree_entries_remove(layout, node, head + kept, tail);
        }
        if (head != 0) {
            lrb_entries_copy_out(layout, node, 0, head, scratch + (SIZE_T)present[k] * size);
            lrbtree_entries_remove(layout, node, 0, head);
        }
        if (head != 0 || tail != 0) {
            mblk_mark_dirty(block);
        }
    }
    for (ULONG k = 0; k < nodes; k++) {
        mblk* block = window_block(window, k, level);
        lrb_node* node = lrb_node_of(block);
        ULONG front = keep_lo[k] - target[k];
        ULONG back = target[k] + targets[k] - keep_hi[k];
        if (front != 0) {
            lrbtree_entries_insert_slots(layout, node, 0, front);
            lrb_entries_copy_in(layout, node, 0, front, scratch + (SIZE_T)target[k] * size);
        }
        if (back != 0) {
            ULONG end = node->h.count;
            lrbtree_entries_insert_slots(layout, node, end, back);
            lrb_entries_copy_in(layout, node, end, back, scratch + (SIZE_T)keep_hi[k] * size);
        }
        if (front != 0 || back != 0) {
            mblk_mark_dirty(block);
        }
    }
}

// Even targets: total / nodes each, the first (total mod nodes) one more.
void even_targets(ULONG total, ULONG nodes, ULONG* targets) {
    for (ULONG j = 0; j < nodes; j++) {
        targets[j] = total / nodes + (j < total % nodes ? 1 : 0);
    }
}

int insert_entries(lrbtree_cursor* cursor, lrbtree_path* path, ULONG level, ULONG pos, const UCHAR* raw, ULONG m);

// A node without room for `m` new entries at `pos`: the entries of its window (and the new ones)
// are spread over the window's nodes, with one new node after it when they do not fit. The new
// node's separator goes into the parent the same way; a root that splits gets a new root above.
int split(lrbtree_cursor* cursor, lrbtree_path* path, ULONG level, ULONG pos, const UCHAR* raw, ULONG m) {
    const lrbtree_layout* layout = lrb_layout_for(&cursor->shape, level);
    lrbtree_window* window = &cursor->map->windows[level];
    window_build(cursor, path, level, window);
    ULONG total = window_gather(cursor, window, level, pos, raw, m);
    ULONG nodes = window->nodes;
    bool add = total > nodes * layout->capacity;

    mblk* blocks[5];
    ULONG targets[5];
    ULONG self = window->self;
    mblk* added = nullptr;
    if (add) {
        // The update took the nodes of every split and of a new root into the cursor's reserve
        // before it changed anything, so these cannot fail.
        int rc = lrbtree_node_new(cursor, level, &added);
        kpav_assert(rc == 0);
        if (rc != 0) {
            window_release(cursor, window);
            return rc;
        }
    }
    ULONG j = 0;
    for (ULONG k = 0; k < nodes; k++) {
        blocks[j++] = window_block(window, k, level);
        if (k == self && added != nullptr) {
            blocks[j++] = added;
        }
    }
    even_targets(total, j, targets);
    window_scatter(cursor, level, blocks, targets, j);
    lrb_count_entries(&cursor->shape, level, m);
    for (ULONG k = 0; k < nodes; k++) {
        lrbtree_separators_update(&cursor->shape, &window->paths[k], level);
    }
    if (added == nullptr) {
        window_release(cursor, window);
        return 0;
    }

    const lrbtree_layout* index_layout = &cursor->shape.index_layout;
    lrbtree_index_rec separator = {lrb_node_first_key(&cursor->shape, lrb_node_of(added)), (ULONG64)added};
    if ((LONG)level == cursor->shape.depth) {
        // The root split: a new root one level up takes both halves.
        mblk* old_root = window_block(window, 0, level);
        mblk* root = nullptr;
        int rc = lrbtree_node_new(cursor, level + 1, &root);
        kpav_assert(rc == 0);  // reserved, as above; the window's entries have moved already
        if (rc != 0) {
            window_release(cursor, window);
            return rc;
        }
        lrb_node* r = lrb_node_of(root);
        lrbtree_index_rec entries[2] = {{lrb_node_first_key(&cursor->shape, lrb_node_of(old_root)), (ULONG64)old_root},
                                        separator};
        lrbtree_entries_insert_slots(index_layout, r, 0, 2);
        lrbtree_index_write(index_layout, r, 0, entries, 2);
        lrb_node_of(old_root)->h.level &= (UCHAR)~LRB_ROOT_FLAG;
        mblk_mark_dirty(old_root);
        lrbtree_set_root(cursor, root);
        window_release(cursor, window);
        return 0;
    }
    lrbtree_path own = window->paths[self];
    lrbtree_path_reset(&window->paths[self]);
    window_release(cursor, window);
    UCHAR entry[16];
    lrb_index_encode(index_layout->kind, entry, &separator);
    ULONG parent_pos = (ULONG)own.level[level + 1].index + 1;
    return insert_entries(cursor, &own, level + 1, parent_pos, entry, 1);
}

// Puts `m` raw entries at `pos` of the node at `level` of the path, splitting when it is full.
// The path is used up.
int insert_entries(lrbtree_cursor* cursor, lrbtree_path* path, ULONG level, ULONG pos, const UCHAR* raw, ULONG m) {
    const lrbtree_layout* layout = lrb_layout_for(&cursor->shape, level);
    mblk* block = path->level[level].node;
    lrb_node* node = lrb_node_of(block);
    if (node->h.count + m > layout->capacity) {
        return split(cursor, path, level, pos, raw, m);
    }
    lrbtree_entries_insert_slots(layout, node, pos, m);
    for (ULONG i = 0; i < m; i++) {
        memcpy(lrb_entry(layout, node, pos + i), raw + (SIZE_T)i * layout->entry_size, layout->entry_size);
    }
    mblk_mark_dirty(block);
    lrbtree_separators_update(&cursor->shape, path, level);
    lrbtree_path_release(cursor, path);
    return 0;
}

// Nodes an insertion of `m` entries into the path's leaf may need: one per level, from the leaf
// up, while the node there is full, and a new root when the root is full too.
ULONG nodes_needed(const lrbtree_cursor* cursor, const lrbtree_path* path, ULONG m) {
    ULONG need = 0;
    for (LONG l = 0; l <= cursor->shape.depth; l++) {
        const lrbtree_layout* layout = lrb_layout_for(&cursor->shape, (ULONG)l);
        if (lrb_node_of(path->level[l].node)->h.count + m <= layout->capacity) {
            return need;
        }
        need++;
        m = 1;
    }
    return need + 1;
}

// ---------------------------------------------------------------------------------------------
// Rebalancing after removals

void collapse_root(lrbtree_cursor* cursor) {
    while (cursor->shape.root != nullptr) {
        mblk* root = cursor->shape.root;
        lrb_node* r = lrb_node_of(root);
        if (r->h.count == 0) {
            // The last leaf is gone: the shard is empty again.
            lrbtree_node_free(cursor, root);
            lrbtree_set_root(cursor, nullptr);
            return;
        }
        if (cursor->shape.depth <= 1 || r->h.count > 1) {
            return;
        }
        mblk* child = lrb_index_child(&cursor->shape.index_layout, r, 0);
        lrbtree_entries_remove(&cursor->shape.index_layout, r, 0, 1);
        lrbtree_node_free(cursor, root);
        lrbtree_set_root(cursor, child);
    }
}

// Rebalances the node at `level` of the path after entries were removed from it: its window
// gives up one or two whole nodes when it can, else its entries are spread evenly. The root is
// left to collapse_root. The path is used up.
void rebalance(lrbtree_cursor* cursor, lrbtree_path* path, ULONG level) {
    const lrbtree_layout* layout = lrb_layout_for(&cursor->shape, level);
    if ((LONG)level >= cursor->shape.depth || level + 1 >= LRB_MAX_LEVELS) {
        lrbtree_path_release(cursor, path);
        return;
    }
    lrbtree_window* window = &cursor->map->windows[level];
    window_build(cursor, path, level, window);
    ULONG nodes = window->nodes;
    if (nodes == 1 && lrb_node_of(window_block(window, 0, level))->h.count != 0) {
        window_release(cursor, window);  // the level's only node: nothing to spread over
        return;
    }
    ULONG total = 0;
    for (ULONG k = 0; k < nodes; k++) {
        total += lrb_node_of(window_block(window, k, level))->h.count;
    }
    ULONG self = window->self;
    ULONG cap = layout->capacity;
    ULONG free_slots = nodes * cap - total;

    bool emptied[3] = {false, false, false};
    if (free_slots >= cap) {
        bool has_right = self + 1 < nodes;
        if (free_slots >= 2 * cap && has_right) {
            emptied[self] = true;
            emptied[self + 1] = true;
        } else {
            emptied[has_right ? self + 1 : self] = true;
        }
    }
    ULONG kept = 0;
    for (ULONG k = 0; k < nodes; k++) {
        kept += emptied[k] ? 0 : 1;
    }
    ULONG even[3] = {0, 0, 0};
    ULONG targets[3];
    if (kept != 0) {
        even_targets(total, kept, even);
    }
    for (ULONG k = 0, j = 0; k < nodes; k++) {
        targets[k] = emptied[k] ? 0 : even[j++];
    }
    window_spread(cursor, window, level, targets);
    for (ULONG k = 0; k < nodes; k++) {
        if (!emptied[k]) {
            lrbtree_separators_update(&cursor->shape, &window->paths[k], level);
        }
    }

    // Emptied nodes leave their parents, the later one first so that indices stay good.
    const lrbtree_layout* index_layout = &cursor->shape.index_layout;
    mblk* freed[3];
    ULONG freed_count = 0;
    for (ULONG k = nodes; k-- > 0;) {
        if (!emptied[k]) {
            continue;
        }
        lrbtree_path_level* parent = &window->paths[k].level[level + 1];
        lrb_node* p = lrb_node_of(parent->node);
        lrbtree_entries_remove(index_layout, p, (ULONG)parent->index, 1);
        mblk_mark_dirty(parent->node);
        if (parent->index == 0 && p->h.count != 0) {
            lrbtree_separators_update(&cursor->shape, &window->paths[k], level + 1);
        }
        freed[freed_count++] = window_block(window, k, level);
    }
    // A key that leads to each parent that lost a child, for its own rebalance.
    ULONG64 parent_keys[3];
    mblk* parents[3];
    ULONG parent_count = 0;
    for (ULONG k = 0; k < nodes; k++) {
        if (!emptied[k]) {
            continue;
        }
        lrbtree_path_level* parent = &window->paths[k].level[level + 1];
        if (parent_count != 0 && parents[parent_count - 1] == parent->node) {
            continue;
        }
        const lrb_node* p = lrb_node_of(parent->node);
        parents[parent_count] = parent->node;
        parent_keys[parent_count++] = p->h.count != 0 ? lrb_node_first_key(&cursor->shape, p) : parent->low;
    }
    window_release(cursor, window);
    for (ULONG i = 0; i < freed_count; i++) {
        lrbtree_node_free(cursor, freed[i]);
    }
    for (ULONG i = 0; i < parent_count; i++) {
        if ((LONG)level + 1 >= cursor->shape.depth) {
            break;  // the root: collapse_root sees to it
        }
        lrbtree_path up;
        if (lrbtree_descend_to(cursor, &up, parent_keys[i], level + 1) == 0) {
            rebalance(cursor, &up, level + 1);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The shard core

struct leaf_cut {
    bool done;     // nothing of the piece lies beyond this leaf
    ULONG removed;
    int error;
};

bool touches(const lrbtree_cursor* cursor, const lrbtree_update_rec* piece, ULONG64 gpkt) {
    if (piece->unmap == 0 || piece->unmap == LRB_UNMAP_ALL) {
        return true;
    }
    return datalog_write_position(cursor->shape.log, gpkt) < piece->unmap;
}

// Hands a displaced run (shard-relative key) to the invalidation callback.
int report_displaced(lrbtree_cursor* cursor, lrbtree_path* path, ULONG64 key, ULONG64 length, ULONG64 gpkt) {
    if (gpkt < PAV_LOG_FIRST_ADDR || cursor->shape.invalidate == nullptr) {
        return 0;
    }
    ULONG64 first = cursor->shape.base + key;
    int rc = cursor->shape.invalidate(cursor->shape.invalidate_context, first, length, gpkt, cursor->record);
    if (rc >= 0) {
        return 0;
    }
    const pav_log* log = cursor->shape.log;
    ULONG span = log != nullptr && log->leb_span != 0 ? log->leb_span : 1;
    kpav_print(KPAV_CLASS_ERROR, "%s: invalidation failed for range %llu-%llu called from gpkt %llu %u,%u\n",
               datalog_device_name(log), first, first + length, gpkt,
               (ULONG)(USHORT)((gpkt - PAV_LOG_FIRST_ADDR) / span), (ULONG)((gpkt - PAV_LOG_FIRST_ADDR) % span));
    lrbtree_path_print(cursor, path);
    lrbtree_cursor_fail(cursor, rc);
    return rc;
}

// An address the log's chain cannot give: the stored run is not where the map says it is.
int broken_address(lrbtree_cursor* cursor) {
    lrbtree_cursor_fail(cursor, -KPAV_EIO);
    return -KPAV_EIO;
}

// Cuts or removes the entries of the path's leaf, from position `i` on, that overlap [from, e).
void cut_leaf(lrbtree_cursor* cursor, lrbtree_update_rec* piece, lrbtree_path* path, ULONG i, ULONG64 e,
              leaf_cut* cut) {
    const lrbtree_layout* layout = &cursor->shape.leaf_layout;
    mblk* block = path->level[0].node;
    lrb_node* leaf = lrb_node_of(block);
    ULONG n = leaf->h.count;
    ULONG write = i;
    ULONG j = i;
    cut->done = false;
    cut->error = 0;
    while (j < n) {
        lrbtree_leaf_rec rec;
        lrb_leaf_get(layout, leaf, j, &rec);
        if (rec.key >= e) {
            cut->done = true;
            break;
        }
        if (!touches(cursor, piece, rec.gpkt)) {
            if (write != j) {
                lrb_leaf_put(layout, leaf, write, &rec);
            }
            write++;
            j++;
            continue;
        }
        ULONG64 end = rec.key + rec.length;
        if (end > e) {
            // The entry continues after the piece: it keeps its tail.
            ULONG64 tail = lrbtree_gpkt_advance(&cursor->shape, rec.gpkt, e - rec.key);
            if (tail == ~0ull) {
                cut->error = broken_address(cursor);
                break;
            }
            cut->error = report_displaced(cursor, path, rec.key, e - rec.key, rec.gpkt);
            if (cut->error != 0) {
                break;
            }
            piece->out -= (LONG64)(e - rec.key);
            lrbtree_leaf_rec kept = {e, tail, (ULONG)(end - e)};
            lrb_leaf_put(layout, leaf, write, &kept);
            write++;
            j++;
            cut->done = true;
            break;
        }
        cut->error = report_displaced(cursor, path, rec.key, rec.length, rec.gpkt);
        if (cut->error != 0) {
            break;
        }
        piece->out -= rec.length;
        j++;
    }
    cut->removed = j - write;
    if (cut->removed != 0) {
        lrbtree_entries_remove(layout, leaf, write, cut->removed);
    }
    if (j != i) {
        mblk_mark_dirty(block);
    }
}

int create_root(lrbtree_cursor* cursor) {
    int rc = lrbtree_reserve_nodes(cursor, 2);
    if (rc != 0) {
        lrbtree_cursor_fail(cursor, rc);
        return rc;
    }
    mblk* leaf = nullptr;
    mblk* root = nullptr;
    lrbtree_node_new(cursor, 0, &leaf);
    lrbtree_node_new(cursor, 1, &root);
    lrbtree_index_rec entry = {0, (ULONG64)leaf};
    lrb_node* r = lrb_node_of(root);
    lrbtree_entries_insert_slots(&cursor->shape.index_layout, r, 0, 1);
    lrbtree_index_write(&cursor->shape.index_layout, r, 0, &entry, 1);
    lrbtree_set_root(cursor, root);
    return 0;
}

// The piece's work in the leaf that holds its first key: the entry around the first key is cut
// (or split, when it holds the whole piece), the overlapped entries are cut or removed, and a
// map piece's new run goes in. *next is where the piece continues, at or past e when done.
int update_first_leaf(lrbtree_cursor* cursor, lrbtree_update_rec* piece, ULONG64 s, ULONG64 e, ULONG64* next,
                      ULONG* removed) {
    const lrbtree_layout* layout = &cursor->shape.leaf_layout;
    bool mapping = piece->unmap == 0;
    lrbtree_path path;
    *next = e;
    *removed = 0;
    if (lrbtree_descend(cursor, &path, s) != 0) {
        return 0;
    }
    mblk* block = path.level[0].node;
    lrb_node* leaf = lrb_node_of(block);
    ULONG n = leaf->h.count;
    ULONG i = lrbtree_leaf_search(layout, leaf, s, path.level[0].low, path.level[0].high);
    ULONG64 high = path.level[0].high;

    lrbtree_leaf_rec first = {0, 0, 0};
    bool around = false;  // entry i starts before s and may be touched
    if (i < n) {
        lrb_leaf_get(layout, leaf, i, &first);
        around = first.key < s && touches(cursor, piece, first.gpkt);
    }
    bool whole = around && first.key + first.length > e;
    ULONG adding = whole ? (mapping ? 2 : 1) : (mapping ? 1 : 0);
    if (adding != 0) {
        ULONG need = nodes_needed(cursor, &path, adding);
        if (need != 0) {
            int rc = need > (ULONG)cursor->shape.depth + 1 && cursor->shape.depth + 1 >= (LONG)LRB_MAX_LEVELS
                         ? -KPAV_EINVAL
                         : lrbtree_reserve_nodes(cursor, need);
            if (rc != 0) {
                lrbtree_path_release(cursor, &path);
                lrbtree_cursor_fail(cursor, rc);
                return rc;
            }
        }
    }

    UCHAR raw[2 * 16];
    ULONG size = layout->entry_size;
    lrbtree_leaf_rec run = {s, piece->gpkt, (ULONG)(e - s)};
    if (whole) {
        ULONG64 displaced = lrbtree_gpkt_advance(&cursor->shape, first.gpkt, s - first.key);
        ULONG64 tail_gpkt = lrbtree_gpkt_advance(&cursor->shape, first.gpkt, e - first.key);
        if (displaced == ~0ull || tail_gpkt == ~0ull) {
            lrbtree_path_release(cursor, &path);
            return broken_address(cursor);
        }
        int rc = report_displaced(cursor, &path, s, e - s, displaced);
        if (rc != 0) {
            lrbtree_path_release(cursor, &path);
            return rc;
        }
        lrbtree_leaf_rec tail = {e, tail_gpkt, (ULONG)(first.key + first.length - e)};
        first.length = (ULONG)(s - first.key);
        lrb_leaf_put(layout, leaf, i, &first);
        mblk_mark_dirty(block);
        piece->out -= (LONG64)(e - s);
        ULONG m = 0;
        if (mapping) {
            lrb_leaf_encode(layout->kind, raw + m++ * size, &run);
            piece->out += (LONG64)(e - s);
        }
        lrb_leaf_encode(layout->kind, raw + m++ * size, &tail);
        return insert_entries(cursor, &path, 0, i + 1, raw, m);
    }
    if (around) {
        ULONG64 displaced = lrbtree_gpkt_advance(&cursor->shape, first.gpkt, s - first.key);
        if (displaced == ~0ull) {
            lrbtree_path_release(cursor, &path);
            return broken_address(cursor);
        }
        ULONG64 end = first.key + first.length;
        int rc = report_displaced(cursor, &path, s, end - s, displaced);
        if (rc != 0) {
            lrbtree_path_release(cursor, &path);
            return rc;
        }
        first.length = (ULONG)(s - first.key);
        lrb_leaf_put(layout, leaf, i, &first);
        mblk_mark_dirty(block);
        piece->out -= (LONG64)(end - s);
    }
    if (i < n && first.key < s) {
        i++;
    }
    leaf_cut cut;
    cut_leaf(cursor, piece, &path, i, e, &cut);
    *removed = cut.removed;
    if (cut.error != 0) {
        lrbtree_separators_update(&cursor->shape, &path, 0);
        lrbtree_path_release(cursor, &path);
        return cut.error;
    }
    if (!cut.done) {
        *next = high;
    }
    if (mapping) {
        // The new run takes the place of one removed entry: only the others leave the leaf.
        if (*removed != 0) {
            (*removed)--;
        }
        lrb_leaf_encode(layout->kind, raw, &run);
        piece->out += (LONG64)(e - s);
        return insert_entries(cursor, &path, 0, i, raw, 1);
    }
    lrbtree_separators_update(&cursor->shape, &path, 0);
    lrbtree_path_release(cursor, &path);
    return 0;
}

// The piece's work in a later leaf: from key `from` (everything before it is done).
int update_next_leaf(lrbtree_cursor* cursor, lrbtree_update_rec* piece, ULONG64 from, ULONG64 e, ULONG64* next) {
    const lrbtree_layout* layout = &cursor->shape.leaf_layout;
    lrbtree_path path;
    *next = e;
    if (lrbtree_descend(cursor, &path, from) != 0) {
        return 0;
    }
    lrb_node* leaf = lrb_node_of(path.level[0].node);
    ULONG n = leaf->h.count;
    ULONG i = lrbtree_leaf_search(layout, leaf, from, path.level[0].low, path.level[0].high);
    // An entry that starts before `from` was dealt with already (it is the new run, or one a
    // conditional removal keeps).
    while (i < n && lrb_leaf_key(layout, leaf, i) < from) {
        i++;
    }
    ULONG64 high = path.level[0].high;
    leaf_cut cut;
    cut_leaf(cursor, piece, &path, i, e, &cut);
    lrbtree_separators_update(&cursor->shape, &path, 0);
    if (cut.removed != 0) {
        rebalance(cursor, &path, 0);
    } else {
        lrbtree_path_release(cursor, &path);
    }
    if (cut.error != 0) {
        return cut.error;
    }
    if (!cut.done) {
        *next = high;
    }
    return 0;
}

}  // namespace

int lrbtree_shard_update(lrbtree_cursor* cursor, lrbtree_update_rec* piece) {
    bool mapping = piece->unmap == 0;
    piece->out = 0;
    if (mapping && (piece->count > LRB_MAX_RUN || piece->gpkt >= LRB_GPKT_INVALID)) {
        return -KPAV_EINVAL;
    }
    if (cursor->shape.error != 0) {
        return cursor->shape.error;
    }
    if (piece->count == 0) {
        return 0;
    }
    if (cursor->shape.root == nullptr) {
        if (!mapping) {
            return 0;
        }
        int rc = create_root(cursor);
        if (rc != 0) {
            return rc;
        }
    }
    ULONG64 s = piece->key;
    ULONG64 e = s + piece->count;
    ULONG64 next = e;
    ULONG removed = 0;
    int rc = update_first_leaf(cursor, piece, s, e, &next, &removed);
    while (rc == 0 && next < e) {
        ULONG64 from = next;
        rc = update_next_leaf(cursor, piece, from, e, &next);
    }
    if (removed != 0) {
        lrbtree_path path;
        if (lrbtree_descend(cursor, &path, s) == 0) {
            rebalance(cursor, &path, 0);
        }
    }
    collapse_root(cursor);
    lrbtree_release_reserve(cursor);
    lrb_header_block* header = lrb_header_of(&cursor->shape);
    if (header != nullptr) {
        header->mapped_keys += (ULONG64)piece->out;
        mblk_mark_dirty(cursor->shape.header);
    }
    return rc;
}

namespace {

bool record_in_range(const lrbtree* map, ULONG64 key, ULONG64 end) {
    if (end < key) {
        return false;
    }
    if (end <= map->sector_length) {
        return true;
    }
    return key >= map->reserved_base && end <= LRB_KEY_END;
}

// Whether a map record's packets are all in the log: its first address names a packet and the
// chain reaches its last key's. A run that is not could never be read back. Addresses below 16
// name no packet and pass; the invalid address is the shard core's to refuse.
bool run_in_log(const lrbtree* map, ULONG64 gpkt, ULONG64 count) {
    if (gpkt < PAV_LOG_FIRST_ADDR || gpkt >= LRB_GPKT_INVALID) {
        return true;
    }
    return pav_log_addr_is_packet(map->shape.log, gpkt) &&
           lrbtree_gpkt_advance(&map->shape, gpkt, count - 1) != ~0ull;
}

int update_record(lrbtree* map, lrbtree_update_rec* record) {
    record->out = 0;
    if (record->count == 0) {
        return 0;
    }
    ULONG64 end = record->key + record->count;
    bool mapping = record->unmap == 0;
    if (!record_in_range(map, record->key, end) || (mapping && !run_in_log(map, record->gpkt, record->count))) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 22536, "Unable to update metadata for sectors %llu - %llu\n",
                    record->key, end);
        return -KPAV_EINVAL;
    }
    ULONG64 key = record->key;
    ULONG64 gpkt = record->gpkt;
    while (key < end) {
        ULONG shard = lrbtree_shard_of(map, key);
        ULONG64 base = lrbtree_shard_base(map, shard);
        ULONG64 limit = base + lrbtree_shard_span(map, shard);
        if (shard < map->sector_shards && limit > map->sector_length) {
            limit = map->sector_length;
        }
        ULONG64 piece_end = end < limit ? end : limit;
        if (mapping && piece_end - key > LRB_MAX_RUN) {
            piece_end = key + LRB_MAX_RUN;
        }
        lrbtree_update_rec piece = {key - base, piece_end - key, gpkt, record->unmap, 0};

        EX_SPIN_LOCK* lock = &map->locks[shard & map->lock_mask].lock;
        KIRQL old = ExAcquireSpinLockExclusive(lock);
        lrbtree_cursor cursor;
        lrbtree_cursor_open(map, shard, &cursor);
        cursor.exclusive = true;
        cursor.record = record;
        int rc = lrbtree_shard_update(&cursor, &piece);
        lrbtree_cursor_close(&cursor);
        ExReleaseSpinLockExclusive(lock, old);
        if (rc != 0) {
            return rc;
        }
        record->out += piece.out;
        key = piece_end;
        if (mapping && key < end) {
            // The whole run was found in the log above.
            gpkt = lrbtree_gpkt_advance(&map->shape, gpkt, piece.count);
            kpav_assert(gpkt != ~0ull);
        }
    }
    return 0;
}

}  // namespace

int lrbtree_update(lrbtree* map, lrbtree_update_rec* records, ULONG n) {
    ExAcquireFastMutex(&map->writers);
    int rc = 0;
    for (ULONG i = 0; i < n && rc == 0; i++) {
        rc = update_record(map, &records[i]);
    }
    ExReleaseFastMutex(&map->writers);
    return rc;
}
