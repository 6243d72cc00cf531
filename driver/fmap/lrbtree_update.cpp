// Updating the forward map: records cut into shard pieces, each piece cutting or removing the
// runs it overlaps (every displaced run goes to the invalidation callback) and placing its new
// run; lrbtree_balance.cpp keeps the tree balanced.
//
// A piece takes every node it may need before it changes anything, so an allocation failure
// leaves the shard as it was.
#include "driver/fmap/lrbtree_node.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

namespace {

// ---------------------------------------------------------------------------------------------
// The shard core

// What cutting a leaf left: entries [write, end) are to go (their slots are free), the ones
// before `write` stay.
struct leaf_cut {
    bool done;     // nothing of the piece lies beyond this leaf
    ULONG write;
    ULONG end;
    int error;
};

bool touches(const lrbtree_cursor* cursor, const lrbtree_update_rec* piece, ULONG64 gpkt) {
    if (piece->unmap == 0 || piece->unmap == LRB_UNMAP_ALL) {
        return true;
    }
    return datalog_write_position(cursor->shape->log, gpkt) < piece->unmap;
}

// Hands a displaced run (shard-relative key) to the invalidation callback.
int report_displaced(lrbtree_cursor* cursor, lrbtree_path* path, ULONG64 key, ULONG64 length, ULONG64 gpkt) {
    if (gpkt < PAV_LOG_FIRST_ADDR || cursor->shape->invalidate == nullptr) {
        return 0;
    }
    ULONG64 first = cursor->base + key;
    int rc = cursor->shape->invalidate(cursor->shape->invalidate_context, first, length, gpkt, cursor->record);
    if (rc >= 0) {
        return 0;
    }
    const pav_log* log = cursor->shape->log;
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

// Cuts the entries of the path's leaf, from position `i` on, that overlap [from, e): what they
// keep is packed from `i` on, and the slots of the removed ones are left at [write, end) for the
// caller to close or reuse.
void cut_leaf(lrbtree_cursor* cursor, lrbtree_update_rec* piece, lrbtree_path* path, ULONG i, ULONG64 e,
              leaf_cut* cut) {
    const lrbtree_layout* layout = &cursor->shape->leaf_layout;
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
            ULONG64 tail = lrbtree_gpkt_advance(cursor->shape, rec.gpkt, e - rec.key);
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
    cut->write = write;
    cut->end = j;
    if (j != i) {
        mblk_mark_dirty(block);
    }
}

// Closes the slots a cut left: the number of entries removed.
ULONG close_cut(const lrbtree_cursor* cursor, lrbtree_path* path, const leaf_cut* cut) {
    ULONG removed = cut->end - cut->write;
    if (removed != 0) {
        lrbtree_entries_remove(&cursor->shape->leaf_layout, lrb_node_of(path->level[0].node), cut->write, removed);
    }
    return removed;
}

}  // namespace

int lrbtree_create_root(lrbtree_cursor* cursor) {
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
    lrbtree_entries_insert_slots(&cursor->shape->index_layout, r, 0, 1);
    lrbtree_index_write(&cursor->shape->index_layout, r, 0, &entry, 1);
    lrbtree_set_root(cursor, root);
    return 0;
}

namespace {

// The piece's work in the leaf that holds its first key: the entry around the first key is cut
// (or split, when it holds the whole piece), the overlapped entries are cut or removed, and a
// map piece's new run goes in. *next is where the piece continues, at or past e when done.
// *removed counts the entries that left the leaf; when *kept, `path` still leads to it; *placed
// tells whether the new run went in.
int update_first_leaf(lrbtree_cursor* cursor, lrbtree_update_rec* piece, ULONG64 s, ULONG64 e, ULONG64* next,
                      ULONG* removed, lrbtree_path* path, bool* kept, bool* placed) {
    const lrbtree_layout* layout = &cursor->shape->leaf_layout;
    bool mapping = piece->unmap == 0;
    *next = e;
    *removed = 0;
    *kept = false;
    *placed = false;
    if (lrbtree_descend(cursor, path, s) != 0) {
        return 0;
    }
    mblk* block = path->level[0].node;
    lrb_node* leaf = lrb_node_of(block);
    ULONG n = leaf->h.count;
    ULONG i = lrbtree_leaf_search(layout, leaf, s, path->level[0].low, path->level[0].high);
    ULONG64 high = path->level[0].high;

    lrbtree_leaf_rec first = {0, 0, 0};
    bool around = false;  // entry i starts before s and may be touched
    if (i < n) {
        lrb_leaf_get(layout, leaf, i, &first);
        around = first.key < s && touches(cursor, piece, first.gpkt);
    }
    bool whole = around && first.key + first.length > e;
    ULONG adding = whole ? (mapping ? 2 : 1) : (mapping ? 1 : 0);
    if (adding != 0) {
        ULONG need = lrbtree_nodes_needed(cursor, path, adding);
        if (need != 0) {
            int rc = need > (ULONG)cursor->depth + 1 && cursor->depth + 1 >= (LONG)LRB_MAX_LEVELS
                         ? -KPAV_EINVAL
                         : lrbtree_reserve_nodes(cursor, need);
            if (rc != 0) {
                lrbtree_cursor_fail(cursor, rc);
                return rc;
            }
        }
    }

    UCHAR raw[2 * 16];
    ULONG size = layout->entry_size;
    lrbtree_leaf_rec run = {s, piece->gpkt, (ULONG)(e - s)};
    if (whole) {
        ULONG64 displaced = lrbtree_gpkt_advance(cursor->shape, first.gpkt, s - first.key);
        ULONG64 tail_gpkt = lrbtree_gpkt_advance(cursor->shape, first.gpkt, e - first.key);
        if (displaced == ~0ull || tail_gpkt == ~0ull) {
            return broken_address(cursor);
        }
        int rc = report_displaced(cursor, path, s, e - s, displaced);
        if (rc != 0) {
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
        int inserted = lrbtree_insert_entries(cursor, path, 0, i + 1, raw, m);
        *placed = mapping && inserted == 0;
        return inserted;
    }
    if (around) {
        ULONG64 displaced = lrbtree_gpkt_advance(cursor->shape, first.gpkt, s - first.key);
        if (displaced == ~0ull) {
            return broken_address(cursor);
        }
        ULONG64 end = first.key + first.length;
        int rc = report_displaced(cursor, path, s, end - s, displaced);
        if (rc != 0) {
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
    cut_leaf(cursor, piece, path, i, e, &cut);
    *kept = true;
    if (cut.error != 0 || !mapping || cut.end == cut.write) {
        *removed = close_cut(cursor, path, &cut);
        if (cut.error != 0) {
            lrbtree_separators_update(cursor->shape, path, 0);
            return cut.error;
        }
    }
    if (!cut.done) {
        *next = high;
    }
    if (!mapping) {
        lrbtree_separators_update(cursor->shape, path, 0);
        return 0;
    }
    piece->out += (LONG64)(e - s);
    if (cut.end == cut.write) {
        lrb_leaf_encode(layout->kind, raw, &run);
        *kept = false;
        int inserted = lrbtree_insert_entries(cursor, path, 0, i, raw, 1);
        *placed = inserted == 0;
        return inserted;
    }
    // The new run takes the first freed slot; what the cut kept (the tail of the last entry it
    // cut) moves up one to stay after it. Only the other removed entries leave the leaf.
    for (ULONG k = cut.write; k > i; k--) {
        memcpy(lrb_entry(layout, leaf, k), lrb_entry(layout, leaf, k - 1), size);
    }
    lrb_leaf_put(layout, leaf, i, &run);
    leaf_cut rest = {cut.done, cut.write + 1, cut.end, 0};
    *removed = close_cut(cursor, path, &rest);
    mblk_mark_dirty(block);
    lrbtree_separators_update(cursor->shape, path, 0);
    *placed = true;
    return 0;
}

// A map piece's run goes into its first leaf before the later leaves are cut; when one of their
// invalidations fails, the piece ends there and places no run: the run comes out again. Leaves
// `path` at the leaf that holds s (*kept) and returns the entries removed (the run, when found).
ULONG withdraw_run(lrbtree_cursor* cursor, lrbtree_update_rec* piece, ULONG64 s, ULONG64 e, lrbtree_path* path,
                   bool* kept) {
    const lrbtree_layout* layout = &cursor->shape->leaf_layout;
    *kept = lrbtree_descend(cursor, path, s) == 0;
    if (!*kept) {
        return 0;
    }
    lrb_node* leaf = lrb_node_of(path->level[0].node);
    ULONG i = lrbtree_leaf_search(layout, leaf, s, path->level[0].low, path->level[0].high);
    lrbtree_leaf_rec run = {0, 0, 0};
    if (i < leaf->h.count) {
        lrb_leaf_get(layout, leaf, i, &run);
    }
    if (run.key != s || run.length != e - s || run.gpkt != piece->gpkt) {
        return 0;
    }
    lrbtree_entries_remove(layout, leaf, i, 1);
    mblk_mark_dirty(path->level[0].node);
    lrbtree_separators_update(cursor->shape, path, 0);
    piece->out -= (LONG64)(e - s);
    return 1;
}

// The piece's work in a later leaf: from key `from` (everything before it is done).
int update_next_leaf(lrbtree_cursor* cursor, lrbtree_update_rec* piece, ULONG64 from, ULONG64 e, ULONG64* next) {
    const lrbtree_layout* layout = &cursor->shape->leaf_layout;
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
    ULONG removed = close_cut(cursor, &path, &cut);
    lrbtree_separators_update(cursor->shape, &path, 0);
    if (removed != 0) {
        lrbtree_rebalance(cursor, &path, 0);
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
    if (cursor->error != 0) {
        return cursor->error;
    }
    if (piece->count == 0) {
        return 0;
    }
    if (cursor->root == nullptr) {
        if (!mapping) {
            return 0;
        }
        int rc = lrbtree_create_root(cursor);
        if (rc != 0) {
            return rc;
        }
    }
    ULONG64 s = piece->key;
    ULONG64 e = s + piece->count;
    ULONG64 next = e;
    ULONG removed = 0;
    lrbtree_path path;
    bool kept = false;
    bool placed = false;
    int rc = update_first_leaf(cursor, piece, s, e, &next, &removed, &path, &kept, &placed);
    while (rc == 0 && next < e) {
        ULONG64 from = next;
        rc = update_next_leaf(cursor, piece, from, e, &next);
        kept = false;  // the later leaves' rebalancing may have moved things
        if (rc != 0 && placed) {
            removed += withdraw_run(cursor, piece, s, e, &path, &kept);
        }
    }
    if (removed != 0 && (kept || lrbtree_descend(cursor, &path, s) == 0)) {
        lrbtree_rebalance(cursor, &path, 0);
    }
    lrbtree_collapse_root(cursor);
    lrbtree_release_reserve(cursor);
    lrb_header_block* header = lrb_header_of(cursor->shape);
    if (header != nullptr) {
        header->mapped_keys += (ULONG64)piece->out;
        mblk_mark_dirty(cursor->shape->header);
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
    // A map record is one run of at most 64 keys, cut only where it crosses shards: a longer one
    // is refused whole, before any of it is applied.
    if (!record_in_range(map, record->key, end) ||
        (mapping && (record->count > LRB_MAX_RUN || !run_in_log(map, record->gpkt, record->count)))) {
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
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    ExAcquireFastMutex(&map->writers);
    int rc = 0;
    for (ULONG i = 0; i < n && rc == 0; i++) {
        rc = update_record(map, &records[i]);
    }
    ExReleaseFastMutex(&map->writers);
    return rc;
}
