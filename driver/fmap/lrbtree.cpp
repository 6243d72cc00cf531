// The forward map's control block: creation, the shard arithmetic, the header block.
#include "driver/fmap/lrbtree_node.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/memory.h"

namespace {

ULONG bit_length(ULONG64 x) {
    ULONG n = 0;
    while (x != 0) {
        n++;
        x >>= 1;
    }
    return n;
}

ULONG64 shards_needed(ULONG64 length, ULONG shift) {
    return (length + (1ull << shift) - 1) >> shift;
}

// The index mask of a range: from the span doubled until it covers max(S, 2^32), the bits at
// and above the shift.
ULONG64 index_mask(ULONG64 span, ULONG shift, ULONG64 sector_space) {
    ULONG64 limit = sector_space > (1ull << 32) ? sector_space : (1ull << 32);
    ULONG64 m = span;
    while (m < limit) {
        m <<= 1;
    }
    return (m - 1) & ~((1ull << shift) - 1);
}

}  // namespace

int lrbtree_create(lrbtree** out, pav_log* owner, ULONG64 sector_count, ULONG64 sector_space) {
    PAGED_CODE();
    *out = nullptr;
    if (sector_space == 0 || sector_space > LRB_MAX_SECTOR_SPACE) {
        return -KPAV_EINVAL;
    }
    lrbtree* map = (lrbtree*)kpav_zalloc(sizeof(lrbtree), KPAV_TAG_VML);
    if (map == nullptr) {
        return -KPAV_ENOMEM;
    }
    map->locks = (lrbtree_lock_slot*)kpav_zalloc(LRB_SHARD_LOCKS * sizeof(lrbtree_lock_slot), KPAV_TAG_VML);
    if (map->locks == nullptr) {
        kpav_free(map, KPAV_TAG_VML);
        return -KPAV_ENOMEM;
    }
    map->lock_count = LRB_SHARD_LOCKS;
    map->lock_mask = LRB_SHARD_LOCKS - 1;
    ExInitializeFastMutex(&map->writers);
    map->sector_count = sector_count;
    map->sector_base = 0;
    map->sector_length = sector_space;
    map->reserved_base = LRB_RESERVED_BASE;
    map->reserved_length = LRB_RESERVED_LENGTH;
    map->owner = owner;

    // Sector range: 32 above 2^40; 17 below 2^17; else the larger of 17 and the bit length of
    // (S >> 16) - 1, raised until the shards fit the root table (that rule alone gives 65537
    // shards for S just above 2^k x 2^16).
    ULONG shift;
    if (sector_space > (1ull << 40)) {
        shift = 32;
    } else if (sector_space < 0x20000) {
        shift = 17;
    } else {
        shift = bit_length((sector_space >> 16) - 1);
        if (shift < 17) {
            shift = 17;
        }
        while (shards_needed(sector_space, shift) > LRB_SECTOR_ROOTS) {
            shift++;
        }
    }
    map->sector_shift = shift;
    map->sector_span = 1ull << shift;
    map->sector_mask = index_mask(map->sector_span, shift, sector_space);
    map->sector_shards = (ULONG)shards_needed(sector_space, shift);

    map->reserved_shift = sector_space > (1ull << 40) ? 32 : 24;
    map->reserved_span = 1ull << map->reserved_shift;
    map->reserved_mask = index_mask(map->reserved_span, map->reserved_shift, sector_space);
    map->total_shards = map->sector_shards + (ULONG)shards_needed(LRB_RESERVED_LENGTH, map->reserved_shift);

    ULONG64 largest = map->sector_span > map->reserved_span ? map->sector_span : map->reserved_span;
    lrbtree_shape_init(&map->shape, owner, largest - 1);
    map->node_cursor = map->shape.next_node_id + 1;
    *out = map;
    return 0;
}

void lrbtree_destroy(lrbtree** map) {
    PAGED_CODE();
    lrbtree* m = *map;
    if (m == nullptr) {
        return;
    }
    if (m->shape.header != nullptr) {
        mblk_put(m->owner, m->shape.header);
    }
    kpav_free(m->locks, KPAV_TAG_VML);
    kpav_free(m, KPAV_TAG_VML);
    *map = nullptr;
}

void lrbtree_set_invalidate(lrbtree* map, lrbtree_invalidate_fn callback, void* context) {
    PAGED_CODE();
    map->shape.invalidate = callback;
    map->shape.invalidate_context = context;
}

int lrbtree_reset(lrbtree* map) {
    PAGED_CODE();
    ExAcquireFastMutex(&map->writers);
    mblk* header = map->shape.header;
    int rc = 0;
    if (header == nullptr) {
        rc = mblk_get(&header, map->owner, LRB_HEADER_KEY, MBLK_FIND_OR_CREATE);
    }
    if (rc != 0) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 22535, "Internal software error - tree: %d\n", rc);
        map->shape.error = rc;
        ExReleaseFastMutex(&map->writers);
        return rc;
    }
    lrb_header_block* block = (lrb_header_block*)header->page;
    memset(block, 0, sizeof *block);
    block->type = LRB_NODE_TYPE_HEADER;
    block->level = LRB_HEADER_LEVEL;
    block->key_width = map->shape.key_width;
    block->alloc_cursor = map->shape.next_node_id + 1;
    map->node_cursor = block->alloc_cursor;
    block->first_node_key = map->shape.next_node_id;
    block->last_node_key = map->shape.last_node_id;
    mblk_mark_dirty(header);
    map->shape.header = header;
    memset(map->roots, 0, sizeof map->roots);
    ExReleaseFastMutex(&map->writers);
    return 0;
}

ULONG64 lrbtree_sector_count(const lrbtree* map) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return map->sector_count;
}

ULONG lrbtree_sector_shards(const lrbtree* map) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return map->sector_shards;
}
