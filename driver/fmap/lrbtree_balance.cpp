// Keeping a shard's tree balanced: a node without room for new entries spreads them over a window
// of up to three neighbouring nodes of its level, with a new node when they do not fit (and a new
// root above a root that split); a node that lost entries spreads its window evenly or empties
// one or two of its nodes into the others; a root with one child gives way to it.
//
// Structural steps re-descend by key instead of patching paths: a path is only trusted until the
// next split or merge.
#include "driver/fmap/lrbtree_node.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"

namespace {

// True when every ancestor of the path's node at `level` leads to its first (last) child: the
// node is the first (last) of its level.
bool at_edge(const lrbtree_cursor* cursor, const lrbtree_path* path, ULONG level, bool last) {
    for (LONG l = (LONG)level + 1; l <= cursor->depth; l++) {
        const lrbtree_path_level* at = &path->level[l];
        LONG edge = last ? (LONG)lrb_node_of(at->node)->h.count - 1 : 0;
        if (at->index != edge) {
            return false;
        }
    }
    return true;
}

// Most often the window of the path's node at `level` is made of children of the node's own
// parent: then this gives the first one's position in the parent and their number.
bool window_in_parent(const lrbtree_cursor* cursor, const lrbtree_path* path, ULONG level, LONG* first, ULONG* nodes) {
    if ((LONG)level >= cursor->depth) {
        return false;  // the root: no parent, no neighbours
    }
    const lrbtree_path_level* parent = &path->level[level + 1];
    LONG c = lrb_node_of(parent->node)->h.count;
    LONG i = parent->index;
    *nodes = 3;
    if (i >= 1 && i + 1 < c) {
        *first = i - 1;
    } else if (c >= 3 && i == 0 && at_edge(cursor, path, level, false)) {
        *first = 0;
    } else if (c >= 3 && i == c - 1 && at_edge(cursor, path, level, true)) {
        *first = c - 3;
    } else if (c <= 2 && at_edge(cursor, path, level + 1, false) && at_edge(cursor, path, level + 1, true)) {
        // The parent is the only node of its level: it holds the whole level.
        *first = 0;
        *nodes = (ULONG)c;
    } else {
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Windows of neighbouring nodes

// The window of the path's node when window_in_parent found it: the neighbours' paths are the
// node's with the parent's index and the node moved. Only the levels from `level` up to the one
// above the root are copied: the others are not looked at.
void window_from_parent(const lrbtree_cursor* cursor, const lrbtree_path* path, ULONG level, LONG first,
                        ULONG nodes, lrbtree_window* window) {
    const lrbtree_layout* index_layout = &cursor->shape->index_layout;
    const lrbtree_path_level* parent = &path->level[level + 1];
    const lrb_node* p = lrb_node_of(parent->node);
    ULONG count = p->h.count;
    ULONG top = (ULONG)cursor->depth + 1 < LRB_MAX_LEVELS ? (ULONG)cursor->depth + 1 : LRB_MAX_LEVELS - 1;
    for (ULONG k = 0; k < nodes; k++) {
        ULONG i = (ULONG)first + k;
        lrbtree_path* to = &window->paths[k];
        for (ULONG l = level + 1; l <= top; l++) {
            to->level[l] = path->level[l];
        }
        to->level[level + 1].index = (LONG)i;
        lrbtree_path_level* at = &to->level[level];
        at->node = lrb_index_child(index_layout, p, i);
        at->index = path->level[level].index;
        at->low = i == 0 ? parent->low : lrb_index_key(index_layout, p, i);
        at->high = i + 1 >= count ? parent->high : lrb_index_key(index_layout, p, i + 1);
    }
    window->nodes = nodes;
    window->self = (ULONG)(parent->index - first);
}

// Forms the window of up to three consecutive nodes of `level` around the node of `path`: its
// left and right neighbours; at the left edge the two to its right, at the right edge the two
// to its left. The path moves into the window.
void window_build(lrbtree_cursor* cursor, lrbtree_path* path, ULONG level, lrbtree_window* window) {
    LONG first;
    ULONG nodes;
    if (window_in_parent(cursor, path, level, &first, &nodes)) {
        window_from_parent(cursor, path, level, first, nodes, window);
        return;
    }
    lrbtree_path left;
    lrbtree_path right;
    left = *path;
    right = *path;
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
        further = right;
        window->paths[n++] = right;
        if (lrbtree_path_next(cursor, &further, level) == 0) {
            window->paths[n++] = further;
        } else {
            lrbtree_path_release(cursor, &further);
        }
        lrbtree_path_release(cursor, &left);
    } else if (has_left) {
        lrbtree_path further;
        further = left;
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

// Whether a window that window_in_parent found is even already: none of its nodes could be
// emptied into the others, and their counts differ by one at most (a level's only node is even
// unless it is empty). Reads only the nodes' headers.
bool window_already_even(const lrbtree_cursor* cursor, const lrbtree_path* path, ULONG level, LONG first,
                         ULONG nodes) {
    const lrbtree_layout* index_layout = &cursor->shape->index_layout;
    const lrb_node* p = lrb_node_of(path->level[level + 1].node);
    ULONG cap = lrb_layout_for(cursor->shape, level)->capacity;
    ULONG total = 0;
    ULONG low = ~0u;
    ULONG high = 0;
    for (LONG k = first; k < first + (LONG)nodes; k++) {
        ULONG n = lrb_node_of(lrb_index_child(index_layout, p, (ULONG)k))->h.count;
        total += n;
        low = n < low ? n : low;
        high = n > high ? n : high;
    }
    return nodes * cap - total < cap && high - low <= 1;
}

// Gathers the entries of the window's nodes, in order, into the map's scratch space, with `m`
// raw entries put in at position `pos` of the window's own node. Returns the entry count.
ULONG window_gather(lrbtree_cursor* cursor, const lrbtree_window* window, ULONG level, ULONG pos, const UCHAR* raw,
                    ULONG m) {
    const lrbtree_layout* layout = lrb_layout_for(cursor->shape, level);
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
    const lrbtree_layout* layout = lrb_layout_for(cursor->shape, level);
    const UCHAR* in = cursor->map->scratch;
    ULONG at = 0;
    for (ULONG j = 0; j < nodes; j++) {
        lrb_entries_fill(layout, lrb_node_of(blocks[j]), in + (SIZE_T)at * layout->entry_size, targets[j]);
        mblk_mark_dirty(blocks[j]);
        at += targets[j];
    }
}

// Brings the window's nodes to `targets` entries each (0 for a node to be emptied). Entries only
// cross the boundaries between neighbours, each boundary in one direction: from the front of the
// right node to the end of the left one, or from the end of the left one to the front of the
// right one, so that the entries that stay where they are do not move. A node passes entries on
// only once it has them, and takes no more than it has room for: when it cannot yet, the
// boundary waits for the next round (there are at most two boundaries, so two rounds do). Sets
// front[k] when node k's first entry changed.
void window_spread(lrbtree_cursor* cursor, lrbtree_window* window, ULONG level, const ULONG* targets, bool* front) {
    const lrbtree_layout* layout = lrb_layout_for(cursor->shape, level);
    ULONG nodes = window->nodes;
    lrb_node* node[3];
    LONG flow[2] = {0, 0};  // across boundary b: > 0 leftward (b + 1 to b), < 0 rightward
    LONG present = 0;
    LONG wanted = 0;
    for (ULONG k = 0; k < nodes; k++) {
        node[k] = lrb_node_of(window_block(window, k, level));
        front[k] = false;
        present += node[k]->h.count;
        wanted += (LONG)targets[k];
        if (k + 1 < nodes) {
            flow[k] = wanted - present;
        }
    }
    for (ULONG round = 0; round < 3 && (flow[0] != 0 || flow[1] != 0); round++) {
        for (ULONG b = 0; b + 1 < nodes; b++) {
            if (flow[b] == 0) {
                continue;
            }
            bool leftward = flow[b] > 0;
            lrb_node* giver = node[leftward ? b + 1 : b];
            lrb_node* taker = node[leftward ? b : b + 1];
            ULONG n = (ULONG)(leftward ? flow[b] : -flow[b]);
            n = n < giver->h.count ? n : giver->h.count;
            ULONG room = layout->capacity - taker->h.count;
            n = n < room ? n : room;
            if (n == 0) {
                continue;
            }
            if (leftward) {
                ULONG at = taker->h.count;
                front[b] = front[b] || at == 0;  // an empty node's first entry is new too
                lrbtree_entries_insert_slots(layout, taker, at, n);
                lrb_entries_move(layout, taker, at, giver, 0, n);
                lrbtree_entries_remove(layout, giver, 0, n);
            } else {
                ULONG from = giver->h.count - n;
                lrbtree_entries_insert_slots(layout, taker, 0, n);
                lrb_entries_move(layout, taker, 0, giver, from, n);
                lrbtree_entries_remove(layout, giver, from, n);
            }
            front[b + 1] = true;
            mblk_mark_dirty(window_block(window, b, level));
            mblk_mark_dirty(window_block(window, b + 1, level));
            flow[b] += leftward ? -(LONG)n : (LONG)n;
        }
    }
    if (flow[0] != 0 || flow[1] != 0) {
        kpav_assert_failed(__LINE__);  // a check that holds is not counted: it runs on every rebalance
    }
}

// Even targets: total / nodes each, the first (total mod nodes) one more.
void even_targets(ULONG total, ULONG nodes, ULONG* targets) {
    for (ULONG j = 0; j < nodes; j++) {
        targets[j] = total / nodes + (j < total % nodes ? 1 : 0);
    }
}

// A node without room for `m` new entries at `pos`: the entries of its window (and the new ones)
// are spread over the window's nodes, with one new node after it when they do not fit. The new
// node's separator goes into the parent the same way; a root that splits gets a new root above.
int split(lrbtree_cursor* cursor, lrbtree_path* path, ULONG level, ULONG pos, const UCHAR* raw, ULONG m) {
    const lrbtree_layout* layout = lrb_layout_for(cursor->shape, level);
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
    lrb_count_entries(cursor->shape, level, m);
    for (ULONG k = 0; k < nodes; k++) {
        lrbtree_separators_update(cursor->shape, &window->paths[k], level);
    }
    if (added == nullptr) {
        window_release(cursor, window);
        return 0;
    }

    const lrbtree_layout* index_layout = &cursor->shape->index_layout;
    lrbtree_index_rec separator = {lrb_node_first_key(cursor->shape, lrb_node_of(added)), (ULONG64)added};
    if ((LONG)level == cursor->depth) {
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
        lrbtree_index_rec entries[2] = {{lrb_node_first_key(cursor->shape, lrb_node_of(old_root)), (ULONG64)old_root},
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
    return lrbtree_insert_entries(cursor, &own, level + 1, parent_pos, entry, 1);
}

}  // namespace

int lrbtree_insert_entries(lrbtree_cursor* cursor, lrbtree_path* path, ULONG level, ULONG pos, const UCHAR* raw, ULONG m) {
    const lrbtree_layout* layout = lrb_layout_for(cursor->shape, level);
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
    lrbtree_separators_update(cursor->shape, path, level);
    lrbtree_path_release(cursor, path);
    return 0;
}

ULONG lrbtree_nodes_needed(lrbtree_cursor* cursor, const lrbtree_path* path, ULONG m) {
    ULONG need = 0;
    for (LONG l = 0; l <= cursor->depth; l++) {
        const lrbtree_layout* layout = lrb_layout_for(cursor->shape, (ULONG)l);
        ULONG count = lrb_node_of(path->level[l].node)->h.count;
        if (count + m <= layout->capacity) {
            return need;
        }
        if (l < cursor->depth) {
            // A full node spreads into its window (the one a split forms) when the window has
            // room: no new node then, and nothing for the level above.
            lrbtree_path copy = *path;
            lrbtree_window window;
            window_build(cursor, &copy, (ULONG)l, &window);
            ULONG total = m;
            for (ULONG k = 0; k < window.nodes; k++) {
                total += lrb_node_of(window_block(&window, k, (ULONG)l))->h.count;
            }
            if (total <= window.nodes * layout->capacity) {
                return need;
            }
        }
        need++;
        m = 1;
    }
    return need + 1;
}

// ---------------------------------------------------------------------------------------------
// Rebalancing after removals

void lrbtree_collapse_root(lrbtree_cursor* cursor) {
    while (cursor->root != nullptr) {
        mblk* root = cursor->root;
        lrb_node* r = lrb_node_of(root);
        if (r->h.count == 0) {
            // The last leaf is gone: the shard is empty again.
            lrbtree_node_free(cursor, root);
            lrbtree_set_root(cursor, nullptr);
            return;
        }
        if (cursor->depth <= 1 || r->h.count > 1) {
            return;
        }
        mblk* child = lrb_index_child(&cursor->shape->index_layout, r, 0);
        lrbtree_entries_remove(&cursor->shape->index_layout, r, 0, 1);
        lrbtree_node_free(cursor, root);
        lrbtree_set_root(cursor, child);
    }
}

// The window of the node gives up one or two whole nodes when it can, else its entries are spread
// evenly (a window that is even already stays as it is). The root is left to
// lrbtree_collapse_root.
void lrbtree_rebalance(lrbtree_cursor* cursor, lrbtree_path* path, ULONG level) {
    const lrbtree_layout* layout = lrb_layout_for(cursor->shape, level);
    if ((LONG)level >= cursor->depth || level + 1 >= LRB_MAX_LEVELS) {
        lrbtree_path_release(cursor, path);
        return;
    }
    lrbtree_window* window = &cursor->map->windows[level];
    LONG first;
    ULONG in_parent;
    if (window_in_parent(cursor, path, level, &first, &in_parent)) {
        if (window_already_even(cursor, path, level, first, in_parent)) {
            return;
        }
        window_from_parent(cursor, path, level, first, in_parent, window);
    } else {
        window_build(cursor, path, level, window);
    }
    ULONG nodes = window->nodes;
    if (nodes == 1 && lrb_node_of(window_block(window, 0, level))->h.count != 0) {
        window_release(cursor, window);  // the level's only node: nothing to spread over
        return;
    }
    ULONG total = 0;
    ULONG fewest = ~0u;
    ULONG most = 0;
    for (ULONG k = 0; k < nodes; k++) {
        ULONG count = lrb_node_of(window_block(window, k, level))->h.count;
        total += count;
        fewest = count < fewest ? count : fewest;
        most = count > most ? count : most;
    }
    ULONG self = window->self;
    ULONG cap = layout->capacity;
    ULONG free_slots = nodes * cap - total;
    if (free_slots < cap && most - fewest <= 1) {
        window_release(cursor, window);  // even already: nothing moves
        return;
    }

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
    bool front[3];
    window_spread(cursor, window, level, targets, front);
    for (ULONG k = 0; k < nodes; k++) {
        if (!emptied[k] && front[k]) {
            lrbtree_separators_update(cursor->shape, &window->paths[k], level);
        }
    }

    // Emptied nodes leave their parents, the later one first so that indices stay good.
    const lrbtree_layout* index_layout = &cursor->shape->index_layout;
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
            lrbtree_separators_update(cursor->shape, &window->paths[k], level + 1);
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
        parent_keys[parent_count++] = p->h.count != 0 ? lrb_node_first_key(cursor->shape, p) : parent->low;
    }
    window_release(cursor, window);
    for (ULONG i = 0; i < freed_count; i++) {
        lrbtree_node_free(cursor, freed[i]);
    }
    for (ULONG i = 0; i < parent_count; i++) {
        if ((LONG)level + 1 >= cursor->depth) {
            break;  // the root: lrbtree_collapse_root sees to it
        }
        lrbtree_path up;
        if (lrbtree_descend_to(cursor, &up, parent_keys[i], level + 1) == 0) {
            lrbtree_rebalance(cursor, &up, level + 1);
        }
    }
}

