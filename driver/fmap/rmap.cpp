// The reverse map: a radix array of packet addresses by sector, and the forward map's rebuild
// from it.
#include "driver/fmap/rmap.h"

#include "driver/fmap/lrbtree_bulk.h"
#include "driver/log/mblk.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/memory.h"

namespace {

ULONG top_of(ULONG64 key) {
    return (ULONG)(key >> RMAP_TOP_SHIFT);
}
ULONG middle_of(ULONG64 key) {
    return (ULONG)(key >> 10) & (RMAP_MIDDLE_SLOTS - 1);
}

ULONG* leaf_page(const rmap_tree* map, ULONG64 key) {
    ULONG t = top_of(key);
    if (map->top == nullptr || t >= map->top_slots || map->top[t] == nullptr) {
        return nullptr;
    }
    return (ULONG*)map->top[t][middle_of(key)];
}

int leaf_alloc(rmap_tree* map, ULONG t, ULONG i, void** out) {
    if (map->base_key == 0) {
        int rc = pav_page_pool_get(out, &map->log->md_pages);
        if (rc == 0) {
            memset(*out, 0, PAV_PAGE_SIZE);  // a spare page comes back as it was left
        }
        return rc;
    }
    mblk* block = nullptr;
    int rc = mblk_get(&block, map->log, map->base_key + (ULONG64)t * RMAP_MIDDLE_SLOTS + i, MBLK_CREATE);
    if (rc != 0) {
        return rc;
    }
    memset(block->page, 0, PAV_PAGE_SIZE);
    map->blocks_taken++;
    *out = block->page;
    return 0;
}

void leaf_free(rmap_tree* map, ULONG t, ULONG i, void* page) {
    if (map->base_key == 0) {
        pav_page_pool_put(&map->log->md_pages, page);
        return;
    }
    mblk* block = nullptr;
    if (mblk_get(&block, map->log, map->base_key + (ULONG64)t * RMAP_MIDDLE_SLOTS + i, MBLK_FIND) == 0) {
        mblk_put(map->log, block);
        mblk_retire(map->log, block);  // the reference taken when it was made
        map->blocks_taken--;
    }
}

// Gives back the pages of top slot t.
void free_slot(rmap_tree* map, ULONG t) {
    void** middle = map->top[t];
    if (middle == nullptr) {
        return;
    }
    for (ULONG i = 0; i < RMAP_MIDDLE_SLOTS; i++) {
        if (middle[i] != nullptr) {
            leaf_free(map, t, i, middle[i]);
        }
    }
    pav_page_pool_put(&map->log->md_pages, middle);
    map->top[t] = nullptr;
}

}  // namespace

int rmap_create(rmap_tree** out, ULONG64 sector_count, pav_log* log, ULONG64 base_key) {
    PAGED_CODE();
    *out = nullptr;
    rmap_tree* map = (rmap_tree*)kpav_zalloc(sizeof(rmap_tree), KPAV_TAG_MAL);
    if (map == nullptr) {
        return -KPAV_ENOMEM;
    }
    map->capacity = sector_count + 2;
    map->log = log;
    map->base_key = base_key;
    *out = map;
    return 0;
}

int rmap_grow(rmap_tree* map, ULONG64 key_count) {
    PAGED_CODE();
    if (key_count > map->capacity) {
        return -KPAV_ENOSPC;
    }
    if (key_count <= map->covered) {
        return 0;
    }
    if (map->top == nullptr) {
        // ((capacity >> 16) & ~7) + 8 bytes: a slot for every 2^19 keys.
        ULONG64 bytes = ((map->capacity >> 16) & ~7ull) + 8;
        map->top = (void***)kpav_zalloc((SIZE_T)bytes, KPAV_TAG_VML);
        if (map->top == nullptr) {
            return -KPAV_ENOMEM;
        }
        map->top_slots = (ULONG)(bytes / sizeof(void*));
    }
    ULONG last = top_of(key_count - 1);
    ULONG first = map->covered == 0 ? 0 : top_of(map->covered - 1);
    for (ULONG t = first; t <= last; t++) {
        if (map->top[t] == nullptr) {
            void* middle = nullptr;
            int rc = pav_page_pool_get(&middle, &map->log->md_pages);
            if (rc != 0) {
                return rc;
            }
            memset(middle, 0, PAV_PAGE_SIZE);
            map->top[t] = (void**)middle;
        }
        ULONG leaves = t < last ? RMAP_MIDDLE_SLOTS : middle_of(key_count - 1) + 1;
        // The slot's pages below the covered keys' last one are there already.
        ULONG i = t == first && map->covered != 0 ? middle_of(map->covered - 1) : 0;
        for (; i < leaves; i++) {
            if (map->top[t][i] == nullptr) {
                int rc = leaf_alloc(map, t, i, &map->top[t][i]);
                if (rc != 0) {
                    return rc;
                }
            }
        }
    }
    map->covered = key_count;
    return 0;
}

int rmap_set_range(rmap_tree* map, ULONG64 first, ULONG64 count, USHORT leb, ULONG offset) {
    PAGED_CODE();
    if (count == 0) {
        return 0;
    }
    if (first >= map->capacity || count > map->capacity - first) {
        return -KPAV_ENOSPC;
    }
    ULONG64 address = pav_log_addr(map->log, leb, offset);
    if (address + count - 1 > 0xFFFFFFFFull) {
        return -KPAV_ERANGE;
    }
    int rc = rmap_grow(map, first + count);
    if (rc != 0) {
        return rc;
    }
    for (ULONG64 i = 0; i < count;) {
        ULONG64 key = first + i;
        ULONG* page = leaf_page(map, key);
        ULONG at = (ULONG)(key & (RMAP_LEAF_KEYS - 1));
        ULONG64 n = RMAP_LEAF_KEYS - at < count - i ? RMAP_LEAF_KEYS - at : count - i;
        for (ULONG64 j = 0; j < n; j++) {
            page[at + j] = (ULONG)(address + i + j);
        }
        i += n;
    }
    return 0;
}

ULONG rmap_lookup(const rmap_tree* map, ULONG64 key) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    const ULONG* page = key < map->covered ? leaf_page(map, key) : nullptr;
    return page != nullptr ? page[key & (RMAP_LEAF_KEYS - 1)] : 0;
}

ULONG64 rmap_trim_range(rmap_tree* map, lrbtree_range* range, ULONG64 limit) {
    PAGED_CODE();
    ULONG64 cleared = 0;
    ULONG64 end = range->start + range->length;
    if (end > map->covered || end < range->start) {
        end = map->covered;
    }
    for (ULONG64 key = range->start; key < end; key++) {
        ULONG* page = leaf_page(map, key);
        ULONG* slot = page != nullptr ? &page[key & (RMAP_LEAF_KEYS - 1)] : nullptr;
        if (slot != nullptr && *slot != 0 && datalog_write_position(map->log, *slot) < limit) {
            *slot = 0;
            cleared++;
        }
    }
    range->start += range->length;
    range->length = 0;
    return cleared;
}

namespace {

// Reads the keys of the reverse map in order, one leaf page at a time.
struct key_reader {
    const rmap_tree* map;
    ULONG64 page_base = ~0ull;
    const ULONG* page = nullptr;
    ULONG at(ULONG64 key) {
        if ((key & ~(ULONG64)(RMAP_LEAF_KEYS - 1)) != page_base) {
            page_base = key & ~(ULONG64)(RMAP_LEAF_KEYS - 1);
            page = leaf_page(map, key);
        }
        return page != nullptr ? page[key & (RMAP_LEAF_KEYS - 1)] : 0;
    }
};

// One shard's build over [base, end) of the reverse map.
int build_shard(lrbtree* fmap, rmap_tree* map, ULONG shard, ULONG64 end, const lrbtree_validity* validity) {
    lrbtree_cursor cursor;
    lrbtree_bulk_builder builder;
    int rc = lrbtree_build_begin(fmap, shard, &cursor, &builder, "rmap");
    ULONG64 base = cursor.base;
    key_reader keys{map};
    for (ULONG64 key = base; rc == 0 && key < end;) {
        ULONG address = keys.at(key);
        if (address == 0) {
            // Past a page that is not there, or a key without a packet.
            key = keys.page == nullptr ? (key | (RMAP_LEAF_KEYS - 1)) + 1 : key + 1;
            continue;
        }
        // A run: the next keys hold the next packets, up to 64 keys and the shard's end.
        ULONG length = 1;
        while (length < LRB_MAX_RUN && key + length < end && keys.at(key + length) == address + length) {
            length++;
        }
        if (!pav_log_addr_is_packet(map->log, address) ||
            pav_log_addr_advance(map->log, address, length - 1) != (ULONG64)address + length - 1) {
            rc = -KPAV_EINVAL;  // packets the log does not have
            break;
        }
        bool flushed = false;
        rc = lrbtree_build_add(&builder, key - base, length, address, &flushed);
        if (rc == 0 && flushed) {
            // The build has passed these: their pages go back.
            ULONG t = top_of(key);
            while (map->freed_below + 1 < t) {
                free_slot(map, map->freed_below++);
            }
        }
        if (rc == 0) {
            rc = lrbtree_mark_valid(map->log, validity, address, length);
        }
        key += length;
    }
    return lrbtree_build_end(&cursor, &builder, rc);
}

}  // namespace

int rmap_build_forward_map(lrbtree* fmap, rmap_tree* map, const lrbtree_validity* validity) {
    PAGED_CODE();
    // Every key that has a page, not the two beyond the device's sectors.
    ULONG64 end = map->covered < map->capacity - 2 ? map->covered : map->capacity - 2;
    if (end > fmap->sector_length) {
        end = fmap->sector_length;
    }
    ExAcquireFastMutex(&fmap->writers);
    int rc = fmap->shape.error;
    for (ULONG shard = 0; rc == 0 && shard < fmap->sector_shards; shard++) {
        ULONG64 base = lrbtree_shard_base(fmap, shard);
        if (base >= end) {
            break;
        }
        ULONG64 shard_end = base + fmap->sector_span < end ? base + fmap->sector_span : end;
        rc = build_shard(fmap, map, shard, shard_end, validity);
    }
    ExReleaseFastMutex(&fmap->writers);
    return rc;
}

void rmap_destroy(rmap_tree** map) {
    PAGED_CODE();
    rmap_tree* m = *map;
    if (m == nullptr) {
        return;
    }
    if (m->top != nullptr) {
        for (ULONG t = 0; t < m->top_slots; t++) {
            free_slot(m, t);
        }
        kpav_free(m->top, KPAV_TAG_VML);
    }
    kpav_free(m, KPAV_TAG_MAL);
    *map = nullptr;
}
