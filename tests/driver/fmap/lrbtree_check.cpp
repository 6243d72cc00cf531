#include "tests/driver/fmap/lrbtree_check.h"

#include <sstream>

#include "driver/fmap/lrbtree_node.h"
#include "tests/driver/log/mblk_inspect.h"

namespace {

struct counts {
    uint64_t leaf_nodes = 0;
    uint64_t index_nodes = 0;
    uint64_t leaf_entries = 0;
    uint64_t index_entries = 0;
    uint64_t mapped = 0;
};

struct checker {
    const lrbtree* map;
    const lrbtree_shape* shape;
    std::ostringstream errors;
    counts seen;
    uint64_t shard_base = 0;
    // End of the last run seen in the shard, to check order across leaves.
    uint64_t last_end = 0;

    void fail(const std::string& what) { errors << what << "\n"; }

    // Checks the node of `block` at `level` with key bounds [low, high); returns its first key.
    void node(const mblk* block, int level, bool is_root, uint64_t low, uint64_t high, uint64_t shard) {
        const lrb_node* n = lrb_node_of(block);
        std::ostringstream where;
        where << "shard " << shard << " node " << std::hex << block->key << std::dec << " level " << level << ": ";
        const lrbtree_layout* layout = lrb_layout_for(shape, (ULONG)level);
        if (n->h.type != 0) fail(where.str() + "type not 0");
        if (n->h.kind != (level == 0 ? shape->leaf_kind : shape->index_kind)) fail(where.str() + "wrong kind");
        if ((int)lrb_node_level(n) != level) fail(where.str() + "wrong level");
        if (((n->h.level & LRB_ROOT_FLAG) != 0) != is_root) fail(where.str() + "root flag wrong");
        if ((n->h.level & 0xE0) != 0 || n->h.zero3 != 0) fail(where.str() + "non-zero header bits");
        if (n->h.base != shard_base) fail(where.str() + "wrong base key");
        if (n->h.count > layout->capacity) fail(where.str() + "count above capacity");
        if (n->h.head >= layout->capacity) fail(where.str() + "head outside the slots");
        if (n->h.count == 0 && !is_root) fail(where.str() + "empty node that is not a root");
        if (block->refs != 1) fail(where.str() + "references besides the tree's: " + std::to_string(block->refs));
        if (level == 0) {
            seen.leaf_nodes++;
            seen.leaf_entries += n->h.count;
            for (ULONG i = 0; i < n->h.count; i++) {
                lrbtree_leaf_rec rec;
                lrb_leaf_get(layout, n, i, &rec);
                if (rec.length < 1 || rec.length > 64) fail(where.str() + "run length out of 1..64");
                if (rec.key < low || rec.key + rec.length > high) {
                    fail(where.str() + "run outside the node's bounds at entry " + std::to_string(i));
                }
                if (rec.key < last_end) fail(where.str() + "runs out of order or overlapping at entry " + std::to_string(i));
                if (rec.gpkt >= LRB_GPKT_INVALID) fail(where.str() + "invalid address stored");
                last_end = rec.key + rec.length;
                seen.mapped += rec.length;
            }
            return;
        }
        seen.index_nodes++;
        seen.index_entries += n->h.count;
        uint64_t previous = 0;
        for (ULONG i = 0; i < n->h.count; i++) {
            lrbtree_index_rec rec;
            lrb_index_get(layout, n, i, &rec);
            if ((rec.child & 1) != 0 || rec.child == 0) {
                fail(where.str() + "child is not a reference");
                continue;
            }
            if (i > 0 && rec.key <= previous) fail(where.str() + "separators not increasing");
            previous = rec.key;
            const mblk* child = (const mblk*)rec.child;
            const lrb_node* c = lrb_node_of(child);
            if (c->h.count != 0 && lrb_node_first_key(shape, c) != rec.key) {
                fail(where.str() + "separator " + std::to_string(i) + " is not its child's first key");
            }
            uint64_t child_low = i == 0 ? low : rec.key;
            uint64_t child_high = i + 1 < n->h.count ? lrb_index_key(layout, n, i + 1) : high;
            if (child_low < low || child_high > high) fail(where.str() + "separator outside the node's bounds");
            node(child, level - 1, false, child_low, child_high, shard);
        }
    }
};

}  // namespace

std::string lrb_check_map(const lrbtree* map) {
    checker c{map, &map->shape, {}, {}};
    for (ULONG shard = 0; shard < map->total_shards; shard++) {
        const mblk* root = (const mblk*)map->roots[lrbtree_root_slot(map, shard)];
        if (root == nullptr) {
            continue;
        }
        c.shard_base = lrbtree_shard_base(map, shard);
        c.last_end = 0;
        const lrb_node* r = lrb_node_of(root);
        int depth = (int)lrb_node_level(r);
        if (depth < 1 || depth >= (int)LRB_MAX_LEVELS) {
            c.fail("shard " + std::to_string(shard) + ": root at level " + std::to_string(depth));
            continue;
        }
        if (r->h.count == 0) {
            c.fail("shard " + std::to_string(shard) + ": empty root left behind");
        }
        if (depth > 1 && r->h.count < 2) {
            c.fail("shard " + std::to_string(shard) + ": root above level 1 with one child");
        }
        c.node(root, depth, true, 0, lrbtree_shard_span(map, shard), shard);
    }
    for (ULONG slot = map->sector_shards; slot < LRB_SECTOR_ROOTS; slot++) {
        if (map->roots[slot] != 0) c.fail("root in an unused sector slot " + std::to_string(slot));
    }
    const lrb_header_block* header = lrb_header_of(&map->shape);
    if (header != nullptr) {
        auto expect = [&](const char* name, uint64_t have, uint64_t want) {
            if (have != want) {
                c.fail(std::string("header block ") + name + " " + std::to_string(have) + ", tree has " +
                       std::to_string(want));
            }
        };
        expect("leaf nodes", header->leaf_nodes, c.seen.leaf_nodes);
        expect("index nodes", header->index_nodes, c.seen.index_nodes);
        expect("leaf entries", header->leaf_entries, c.seen.leaf_entries);
        expect("index entries", header->index_entries, c.seen.index_entries);
        expect("mapped keys", header->mapped_keys, c.seen.mapped);
        expect("nodes created less freed", header->leaf_created - header->leaf_freed, c.seen.leaf_nodes);
        expect("index nodes created less freed", header->index_created - header->index_freed, c.seen.index_nodes);
        // Blocks of the log: the tree's nodes and the header block.
        expect("blocks in use", mblk_blocks_in_use(map->owner), c.seen.leaf_nodes + c.seen.index_nodes + 1);
    }
    return c.errors.str();
}

void lrb_clear_error(lrbtree* map) {
    map->shape.error = 0;
    map->first_error = 0;
}

int lrb_max_depth(const lrbtree* map) {
    int depth = -1;
    for (ULONG shard = 0; shard < map->total_shards; shard++) {
        const mblk* root = (const mblk*)map->roots[lrbtree_root_slot(map, shard)];
        if (root != nullptr && (int)lrb_node_level(lrb_node_of(root)) > depth) {
            depth = (int)lrb_node_level(lrb_node_of(root));
        }
    }
    return depth;
}

int lrb_first_error(const lrbtree* map) {
    return map->first_error;
}

lrb_geometry lrb_geometry_of(const lrbtree* map) {
    return {map->sector_shift,           map->sector_shards,
            map->total_shards - map->sector_shards, map->shape.key_width,
            map->shape.leaf_layout.entry_size,       map->shape.index_kind,
            map->shape.leaf_layout.fill_target};
}

ULONG lrb_shard_of(const lrbtree* map, uint64_t key) {
    return lrbtree_shard_of(map, key);
}

uint64_t lrb_shard_base_of(const lrbtree* map, uint64_t key) {
    return lrbtree_shard_base(map, lrbtree_shard_of(map, key));
}

lrb_node_view lrb_view(const lrbtree* map, const mblk* block) {
    lrb_node_view v;
    v.block = block;
    const lrb_node* n = lrb_node_of(block);
    v.kind = n->h.kind;
    v.level = lrb_node_level(n);
    v.root_flag = (n->h.level & LRB_ROOT_FLAG) != 0;
    v.count = n->h.count;
    const lrbtree_layout* layout = lrb_layout_for(&map->shape, v.level);
    for (ULONG i = 0; i < n->h.count; i++) {
        if (v.level == 0) {
            lrbtree_leaf_rec rec;
            lrb_leaf_get(layout, n, i, &rec);
            v.runs.push_back(rec);
            v.keys.push_back(rec.key);
        } else {
            v.keys.push_back(lrb_index_key(layout, n, i));
            v.children.push_back(lrb_index_child(layout, n, i));
        }
    }
    return v;
}

const mblk* lrb_root_of(const lrbtree* map, uint64_t key) {
    return (const mblk*)map->roots[lrbtree_root_slot(map, lrbtree_shard_of(map, key))];
}

lrb_header_view lrb_header(const lrbtree* map) {
    const lrb_header_block* h = lrb_header_of(&map->shape);
    if (h == nullptr) {
        return {};
    }
    return {h->last_root, h->leaf_nodes, h->index_nodes, h->leaf_created, h->leaf_freed, h->mapped_keys,
            h->alloc_cursor};
}

uint64_t lrb_node_cursor(const lrbtree* map) {
    return map->node_cursor;
}

LONG lrb_lock_word(const lrbtree* map, uint64_t key) {
    return map->locks[lrbtree_shard_of(map, key) & map->lock_mask].lock;
}

void lrb_hold_writers(lrbtree* map, bool hold) {
    if (hold) {
        ExAcquireFastMutex(&map->writers);
    } else {
        ExReleaseFastMutex(&map->writers);
    }
}

int lrb_update_piece(lrbtree* map, uint64_t key, lrbtree_update_rec* piece) {
    ULONG shard = lrbtree_shard_of(map, key);
    EX_SPIN_LOCK* lock = &map->locks[shard & map->lock_mask].lock;
    ExAcquireFastMutex(&map->writers);
    KIRQL old = ExAcquireSpinLockExclusive(lock);
    lrbtree_cursor cursor;
    lrbtree_cursor_open(map, shard, &cursor);
    cursor.exclusive = true;
    int rc = lrbtree_shard_update(&cursor, piece);
    lrbtree_cursor_close(&cursor);
    ExReleaseSpinLockExclusive(lock, old);
    ExReleaseFastMutex(&map->writers);
    return rc;
}

int lrb_record_invalidation(void* context, ULONG64 first_key, ULONG64 length, ULONG64 gpkt, lrbtree_update_rec*) {
    invalidation_log* log = (invalidation_log*)context;
    if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
        log->wrong_irql = true;
    }
    log->calls++;
    if (log->fail_at != 0 && log->calls == log->fail_at) {
        return log->fail_with;
    }
    log->runs.push_back({first_key, length, gpkt});
    return 0;
}

namespace {

int copy_block(pav_log* log, mblk* block, void* argument, int) {
    auto* image = (lrb_image*)argument;
    const uint8_t* page = (const uint8_t*)block->page;
    (*image)[block->key] = std::vector<uint8_t>(page, page + 4096);
    mblk_put(log, block);
    return 0;
}

}  // namespace

int lrb_save_image(lrbtree* map, lrb_image* image) {
    int rc = lrbtree_save(map);
    image->clear();
    mblk_for_each(map->owner, copy_block, image);
    return rc;
}

int lrb_replay_image(pav_log* log, const lrb_image& image) {
    for (auto& [key, page] : image) {
        mblk* block = nullptr;
        int rc = mblk_get(&block, log, key, MBLK_CREATE);
        if (rc != 0) return rc;
        memcpy(block->page, page.data(), page.size());
        mblk_put(log, block);
    }
    return 0;
}

int lrb_load_image(lrbtree** map, pav_log* log, uint64_t sector_count, uint64_t sector_space, const lrb_image& image) {
    int rc = lrbtree_create(map, log, sector_count, sector_space);
    if (rc != 0) return rc;
    rc = lrb_replay_image(log, image);
    return rc != 0 ? rc : lrbtree_load(*map);
}

int lrb_restart(lrbtree** map, pav_log* log, uint64_t sector_count, uint64_t sector_space, lrb_image* image,
                void (*edit)(lrb_image*, void*), void* edit_context) {
    lrb_image local;
    lrb_image* saved = image != nullptr ? image : &local;
    int rc = lrb_save_image(*map, saved);
    lrbtree_destroy(map);
    mblk_release_all(log);
    if (rc != 0) return rc;
    if (edit != nullptr) edit(saved, edit_context);
    return lrb_load_image(map, log, sector_count, sector_space, *saved);
}

std::string lrb_check_packed(const lrbtree* map) {
    std::ostringstream errors;
    for (ULONG shard = 0; shard < map->total_shards; shard++) {
        const mblk* root = (const mblk*)map->roots[lrbtree_root_slot(map, shard)];
        if (root == nullptr) continue;
        // Level by level, in key order.
        std::vector<const mblk*> level = {root};
        ULONG depth = lrb_node_level(lrb_node_of(root));
        for (LONG l = (LONG)depth; l >= 0; l--) {
            const lrbtree_layout* layout = lrb_layout_for(&map->shape, (ULONG)l);
            std::vector<const mblk*> below;
            for (size_t i = 0; i < level.size(); i++) {
                const lrb_node* n = lrb_node_of(level[i]);
                if (i + 1 < level.size() && n->h.count != layout->capacity) {
                    errors << "shard " << shard << " level " << l << " node " << i << " of " << level.size()
                           << " holds " << n->h.count << " of " << layout->capacity << "\n";
                }
                for (ULONG e = 0; l > 0 && e < n->h.count; e++) below.push_back(lrb_index_child(layout, n, e));
            }
            level = below;
        }
    }
    return errors.str();
}
