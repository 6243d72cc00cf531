// Walking the forward map: shard by shard in key order, mapped runs to on_data_range and
// unmapped stretches to on_empty_range, optionally joining runs that continue each other on the
// media. Walks hold one shard's lock shared at a time.
#include "driver/fmap/lrbtree_search.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

namespace {

// A coalesced run waiting for its continuation.
struct pending_run {
    bool valid;
    ULONG64 start;
    ULONG64 length;
    ULONG64 gpkt;
};

struct walk_state {
    lrbtree_cursor* cursor;
    lrbtree_range* range;
    const lrbtree_enum_ops* ops;
    void* context;
    const mblk* leaf;  // the leaf being walked (none at first)
    LONG entry;
    pending_run pending;
};

// The metadata-block key of the leaf being walked, for messages (0 when none).
ULONG64 leaf_key(const walk_state* w) {
    return w->leaf != nullptr ? w->leaf->key : 0;
}

void dump_leaf(const lrbtree_cursor* cursor, const lrb_node* leaf) {
    const lrbtree_layout* layout = &cursor->shape->leaf_layout;
    kpav_print(KPAV_CLASS_ERROR, "\n");
    for (ULONG i = 0; i < leaf->h.count; i++) {
        lrbtree_leaf_rec rec;
        lrb_leaf_get(layout, leaf, i, &rec);
        kpav_print(KPAV_CLASS_ERROR, " LFE %3u: %15llu, %5u, %10llu\n", i, rec.key, rec.length, rec.gpkt);
    }
}

int report_empty(walk_state* w, ULONG64 start, ULONG64 end, const lrb_node* leaf) {
    w->range->start = start;
    w->range->length = end - start;
    int rc = w->ops->on_empty_range(w->range, w->context);
    if (rc >= 0 || rc == -KPAV_EAGAIN) {
        return rc;
    }
    if (leaf == nullptr) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 22528,
                    "Internal software error: enumeration cancelled by on_empty_range: %d -- node %llu entry %d\n", rc,
                    leaf_key(w), (int)w->entry);
    } else {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 22529,
                    "Internal software error: enumeration cancelled by on_empty_range: %d -- node %llu entry %d base "
                    "%llu len %u\n",
                    rc, leaf_key(w), (int)w->entry, start, (ULONG)(end - start));
        if (rc == -KPAV_EIO) {
            dump_leaf(w->cursor, leaf);
        }
    }
    return rc;
}

// Logs why on_data_range's result `rc` cancels the walk (the range just reported is the one
// named): a failure, or a request to write an entry back in a walk that may not.
void log_data_cancel(const walk_state* w, int rc, bool coalesced, const lrb_node* leaf) {
    if (coalesced) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 22531,
                    "Internal software error: enumeration cancelled by on_data_range: %d -- node %llu entry %d base "
                    "%llu len %llu\n",
                    rc, leaf_key(w), (int)w->entry, w->range->start, w->range->length);
    } else {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 22530,
                    "Internal software error: enumeration cancelled by on_data_range: %d -- node %llu entry %d base "
                    "%llu len %u\n",
                    rc, leaf_key(w), (int)w->entry, w->range->start, (ULONG)w->range->length);
    }
    if (rc == -KPAV_EIO && leaf != nullptr) {
        dump_leaf(w->cursor, leaf);
    }
}

// What a walk makes of on_data_range's result: 0 to go on, a negative result as it is (logged
// unless -11), and 1 or more -- a request to write the entry back -- refused with -22 unless
// the walk holds the shard exclusively. With the writers' mutex a coalesced run, which has no
// entry, has nothing to write back and goes on.
int data_result(walk_state* w, int rc, bool coalesced, const lrb_node* leaf) {
    if (rc == 0 || rc == -KPAV_EAGAIN) {
        return rc;
    }
    if (rc > 0 && w->cursor->exclusive) {
        return 0;
    }
    log_data_cancel(w, rc, coalesced, leaf);
    return rc > 0 ? -KPAV_EINVAL : rc;
}

int flush_pending(walk_state* w, const lrb_node* leaf) {
    if (!w->pending.valid) {
        return 0;
    }
    w->pending.valid = false;
    w->range->start = w->pending.start;
    w->range->length = w->pending.length;
    int rc = w->ops->on_data_range(w->range, w->context, w->pending.gpkt, nullptr);
    return data_result(w, rc, true, leaf);
}

// True when a run at `gpkt` continues the pending run on the media: same erase block, next
// packet.
bool continues(const walk_state* w, ULONG64 gpkt) {
    const pav_log* log = w->cursor->shape->log;
    if (!w->pending.valid || gpkt < PAV_LOG_FIRST_ADDR || w->pending.gpkt < PAV_LOG_FIRST_ADDR || log == nullptr ||
        log->leb_span == 0) {
        return false;
    }
    ULONG64 next = w->pending.gpkt + w->pending.length;
    return gpkt == next &&
           (gpkt - PAV_LOG_FIRST_ADDR) / log->leb_span == (w->pending.gpkt - PAV_LOG_FIRST_ADDR) / log->leb_span;
}

int enter_leaf(walk_state* w, lrbtree_path* path) {
    mblk* block = path->level[0].node;
    w->leaf = block;
    w->entry = 0;
    if (w->ops->on_leaf == nullptr) {
        return 0;
    }
    w->range->start = w->cursor->base + path->level[0].low;
    w->range->length = path->level[0].high - path->level[0].low;
    int rc = w->ops->on_leaf(w->range, w->context, w->cursor, block);
    return rc > 0 ? 0 : rc;
}

// The walk of one shard, for one leaf entry kind (which gives the index entry kind).
template <ULONG Kind>
int shard_walk(lrbtree_cursor* cursor, lrbtree_range* range, const lrbtree_enum_ops* ops, void* context,
               bool coalesce) {
    constexpr ULONG IndexKind = Kind == LRB_KIND_LEAF48 ? LRB_KIND_INDEX48 : LRB_KIND_INDEX32;
    ULONG64 base = cursor->base;
    ULONG64 pos = range->start;
    ULONG64 end = range->start + range->length;
    walk_state w = {cursor, range, ops, context, nullptr, -1, {false, 0, 0, 0}};
    lrbtree_path path;
    // The walk steps along leaves only: the levels above the root stay as they are.
    if (lrb_descend<IndexKind, false>(cursor, &path, pos - base, 0) != 0) {
        return report_empty(&w, pos, end, nullptr);
    }
    int rc = enter_leaf(&w, &path);
    const lrb_node* leaf = lrb_node_of(path.level[0].node);
    ULONG i = lrb_leaf_search<Kind>(leaf, pos - base, path.level[0].low, path.level[0].high);
    while (rc == 0) {
        leaf = lrb_node_of(path.level[0].node);
        ULONG n = leaf->h.count;
        for (; i < n && rc == 0 && pos < end; i++) {
            lrbtree_leaf_rec rec;
            lrb_leaf_get_at<Kind>(leaf, i, &rec);
            ULONG64 k = base + rec.key;
            ULONG64 kend = k + rec.length;
            w.entry = (LONG)i;
            if (k >= end) {
                break;
            }
            if (kend <= pos) {
                continue;
            }
            if (k > pos) {
                rc = flush_pending(&w, leaf);
                if (rc == 0) {
                    rc = report_empty(&w, pos, k, leaf);
                }
                if (rc != 0) {
                    break;
                }
                pos = k;
            }
            ULONG64 stop = kend < end ? kend : end;
            ULONG64 gpkt = lrbtree_gpkt_advance(cursor->shape, rec.gpkt, pos - k);
            if (gpkt == ~0ull) {
                lrbtree_cursor_fail(cursor, -KPAV_EIO);
                rc = -KPAV_EIO;
                break;
            }
            if (!coalesce) {
                range->start = pos;
                range->length = stop - pos;
                rc = ops->on_data_range(range, context, gpkt, &rec);
                if (rc != 0 && rc != -KPAV_EAGAIN) {
                    if (rc >= 1 && cursor->exclusive) {
                        lrb_leaf_encode(Kind, lrb_entry_at<Kind>(leaf, i), &rec);
                        mblk_mark_dirty(path.level[0].node);
                    }
                    rc = data_result(&w, rc, false, leaf);
                }
            } else if (continues(&w, gpkt)) {
                w.pending.length += stop - pos;
            } else {
                rc = flush_pending(&w, leaf);
                w.pending = {true, pos, stop - pos, gpkt};
            }
            pos = stop;
        }
        if (rc != 0 || pos >= end || i < n) {
            break;
        }
        // The leaf is done: on to the next one unless it ends the shard.
        if (path.level[0].high >= cursor->span || lrbtree_path_next(cursor, &path, 0) != 0) {
            break;
        }
        i = 0;
        rc = enter_leaf(&w, &path);
    }
    if (rc == 0) {
        rc = flush_pending(&w, leaf);
    }
    if (rc == 0 && pos < end) {
        rc = report_empty(&w, pos, end, leaf);
    }
    return rc;
}

}  // namespace

int lrbtree_shard_walk(lrbtree_cursor* cursor, lrbtree_range* range, const lrbtree_enum_ops* ops, void* context,
                       bool coalesce) {
    if (cursor->error != 0) {
        return -KPAV_EINVAL;
    }
    switch (cursor->shape->leaf_kind) {
        case LRB_KIND_LEAF24: return shard_walk<LRB_KIND_LEAF24>(cursor, range, ops, context, coalesce);
        case LRB_KIND_LEAF32: return shard_walk<LRB_KIND_LEAF32>(cursor, range, ops, context, coalesce);
        default: return shard_walk<LRB_KIND_LEAF48>(cursor, range, ops, context, coalesce);
    }
}

namespace {

// The shard whose keys are at or after `key`, or the shard count when there is none.
ULONG first_shard_from(const lrbtree* map, ULONG64 key) {
    ULONG64 sector_end = (ULONG64)map->sector_shards << map->sector_shift;
    if (key < sector_end) {
        return (ULONG)(key >> map->sector_shift);
    }
    if (key < map->reserved_base) {
        return map->sector_shards;
    }
    if (key < LRB_KEY_END) {
        return map->sector_shards + (ULONG)((key - map->reserved_base) >> map->reserved_shift);
    }
    return map->total_shards;
}

// An unmapped stretch outside every shard's walk: a crossing between the ranges, or the rest
// after the last shard.
int report_outside(lrbtree_range* range, const lrbtree_enum_ops* ops, void* context, ULONG64 start, ULONG64 end) {
    walk_state w = {nullptr, range, ops, context, nullptr, -1, {false, 0, 0, 0}};
    return report_empty(&w, start, end, nullptr);
}

}  // namespace

int lrbtree_enumerate(lrbtree* map, lrbtree_range* range, const lrbtree_enum_ops* ops, void* context, ULONG flags,
                      ULONG64 start, ULONG64 end) {
    KPAV_IRQL_AT_MOST((flags & LRB_ENUM_LOCK_WRITERS) != 0 ? APC_LEVEL : DISPATCH_LEVEL);
    if (start >= end) {
        return 0;
    }
    bool locked = (flags & LRB_ENUM_LOCK_WRITERS) != 0;
    if (locked) {
        if ((flags & LRB_ENUM_TRY) != 0) {
            if (!ExTryToAcquireFastMutex(&map->writers)) {
                return -KPAV_EBUSY;
            }
        } else {
            ExAcquireFastMutex(&map->writers);
        }
    }
    bool coalesce = (flags & LRB_ENUM_COALESCE) != 0;
    int rc = 0;
    ULONG64 pos = start;
    for (ULONG shard = first_shard_from(map, start); shard < map->total_shards && pos < end; shard++) {
        ULONG64 base = lrbtree_shard_base(map, shard);
        ULONG64 shard_end = base + lrbtree_shard_span(map, shard);
        if (base >= end) {
            break;
        }
        if (pos < base) {
            rc = report_outside(range, ops, context, pos, base);
            if (rc != 0) {
                break;
            }
            pos = base;
        }
        ULONG64 walk_end = end < shard_end ? end : shard_end;
        range->start = pos;
        range->length = walk_end - pos;
        // A walk under the writers' mutex may write entries back: it keeps readers of the shard
        // away while it does, so that none sees an entry half written.
        EX_SPIN_LOCK* lock = &map->locks[shard & map->lock_mask].lock;
        KIRQL old = locked ? ExAcquireSpinLockExclusive(lock) : ExAcquireSpinLockShared(lock);
        lrbtree_cursor cursor;
        lrbtree_cursor_open(map, shard, &cursor);
        cursor.exclusive = locked;
        rc = lrbtree_shard_walk(&cursor, range, ops, context, coalesce);
        lrbtree_cursor_close(&cursor);
        if (locked) {
            ExReleaseSpinLockExclusive(lock, old);
        } else {
            ExReleaseSpinLockShared(lock, old);
        }
        // The shard walk reports an empty shard itself: any result but 0, a -2 included, is a
        // callback's and ends the walk.
        if (rc != 0) {
            break;
        }
        pos = walk_end;
    }
    if (rc == 0 && pos < end) {
        rc = report_outside(range, ops, context, pos, end);
    }
    if (locked) {
        ExReleaseFastMutex(&map->writers);
    }
    return rc;
}

// ---------------------------------------------------------------------------------------------
// Lookups

int lrbtree_first_data(lrbtree_range* range, void* context, ULONG64 gpkt, lrbtree_leaf_rec*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    lrbtree_lookup* found = (lrbtree_lookup*)context;
    found->start = range->start;
    found->length = range->length;
    found->gpkt = gpkt;
    return -KPAV_EAGAIN;
}

int lrbtree_first_gap(lrbtree_range* range, void* context) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    lrbtree_lookup* found = (lrbtree_lookup*)context;
    found->start = range->start;
    found->length = range->length;
    found->gpkt = 0;
    return -KPAV_EAGAIN;
}

int lrbtree_gap_start(lrbtree_range* range, void* context) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ((lrbtree_lookup*)context)->start = range->start;
    return -KPAV_EAGAIN;
}

int lrbtree_noop_data(lrbtree_range*, void*, ULONG64, lrbtree_leaf_rec*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return 0;
}

namespace {

int add_run_length(lrbtree_range* range, void* context, ULONG64, lrbtree_leaf_rec*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    *(ULONG64*)context += range->length;
    return 0;
}

int pass_gap(lrbtree_range*, void*) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return 0;
}

}  // namespace

const lrbtree_enum_ops lrbtree_lookup_at = {lrbtree_first_data, lrbtree_first_gap, nullptr};
const lrbtree_enum_ops lrbtree_find_gap = {lrbtree_noop_data, lrbtree_gap_start, nullptr};
const lrbtree_enum_ops lrbtree_count_mapped = {add_run_length, pass_gap, nullptr};

int lrbtree_cursor_borrow(lrbtree_cursor* cursor, lrbtree_path* destination, lrbtree_path* source, int level) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (level < 0 || level >= (int)LRB_MAX_LEVELS) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 22534, "%s() called with invalid level: %d.\n",
                    "lrbtree_cursor_borrow", level);
        return -KPAV_EINVAL;
    }
    UNREFERENCED_PARAMETER(cursor);
    destination->level[level] = source->level[level];
    source->level[level].node = nullptr;
    source->level[level].index = -1;
    return 0;
}
