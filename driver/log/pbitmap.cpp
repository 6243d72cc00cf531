#include "driver/log/pbitmap.h"

#include "driver/log/mblk_table.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/memory.h"

namespace {

constexpr ULONG64 words_per_top_slot = (ULONG64)PAV_PBITMAP_LEAF_WORDS * PAV_PBITMAP_DIR_SLOTS;

ULONG lowest_set_bit(ULONG value) {
#if defined(_MSC_VER)
    unsigned long index;
    _BitScanForward(&index, value);
    return (ULONG)index;
#else
    return (ULONG)__builtin_ctz(value);
#endif
}

void** leaf_slot(pav_pbitmap* bitmap, ULONG64 leaf) {
    return &bitmap->dir[leaf / PAV_PBITMAP_DIR_SLOTS][leaf % PAV_PBITMAP_DIR_SLOTS];
}

ULONG* leaf_of_word(pav_pbitmap* bitmap, ULONG64 word) {
    return (ULONG*)*leaf_slot(bitmap, word / PAV_PBITMAP_LEAF_WORDS);
}

ULONG64 leaf_count(const pav_pbitmap* bitmap) {
    return (bitmap->words + PAV_PBITMAP_LEAF_WORDS - 1) / PAV_PBITMAP_LEAF_WORDS;
}

void free_directory(pav_pbitmap* bitmap) {
    if (bitmap->dir == nullptr) {
        return;
    }
    for (ULONG i = 0; i < bitmap->top_slots; i++) {
        if (bitmap->dir[i] != nullptr) {
            pav_page_pool_put(&bitmap->log->md_pages, bitmap->dir[i]);
        }
    }
    kpav_free(bitmap->dir, KPAV_TAG_VML);
    bitmap->dir = nullptr;
}

// Checks `first`/`count` against the bitmap: false when the range reaches beyond it.
bool range_fits(const pav_pbitmap* bitmap, ULONG64 first, ULONG64 count) {
    ULONG64 bits = bitmap->words * 32;
    return first <= bits && count <= bits - first;
}

ULONG bit_count(ULONG value) {
#if defined(_MSC_VER)
    return (ULONG)__popcnt(value);
#else
    return (ULONG)__builtin_popcount(value);
#endif
}

// Sets (value true) or clears the bits [first, first + count) whose leaves are present; returns
// how many bits changed. Each word changes by one interlocked OR or AND: writers that set bits
// (write completions) and writers that clear them (invalidations under a forward-map shard lock,
// groomer moves) hold different locks, so a plain read-modify-write could lose a neighbour's bit.
ULONG64 change_bits(pav_pbitmap* bitmap, ULONG64 first, ULONG64 count, bool value) {
    ULONG64 end = first + count;
    ULONG64 word = first >> 5;
    ULONG64 last_word = (end - 1) >> 5;
    ULONG* leaf = nullptr;
    ULONG64 changed = 0;
    for (; word <= last_word; word++) {
        if (leaf == nullptr || word % PAV_PBITMAP_LEAF_WORDS == 0) {
            leaf = leaf_of_word(bitmap, word);
        }
        if (leaf == nullptr) {
            continue;  // an absent leaf reads as clear
        }
        ULONG mask = ~0u;
        if (word == first >> 5) {
            mask &= ~0u << (first & 31);
        }
        if (word == last_word) {
            mask &= ~0u >> (31 - ((end - 1) & 31));
        }
        auto* w = (volatile LONG*)&leaf[word % PAV_PBITMAP_LEAF_WORDS];
        ULONG old = value ? (ULONG)InterlockedOr(w, (LONG)mask) : (ULONG)InterlockedAnd(w, (LONG)~mask);
        changed += bit_count(value ? (mask & ~old) : (mask & old));
    }
    return changed;
}

ULONG64 find_next(pav_pbitmap* bitmap, ULONG64 start, ULONG64 count, bool set) {
    ULONG64 bits = bitmap->words * 32;
    if (count == 0 || start >= bits) {
        return count;
    }
    ULONG64 end = count > bits - start ? bits : start + count;
    ULONG64 word = start >> 5;
    ULONG64 last_word = (end - 1) >> 5;
    while (word <= last_word) {
        ULONG* leaf = leaf_of_word(bitmap, word);
        ULONG64 leaf_end = (word / PAV_PBITMAP_LEAF_WORDS + 1) * PAV_PBITMAP_LEAF_WORDS;
        if (leaf == nullptr) {
            if (!set) {
                ULONG64 at = word << 5 > start ? word << 5 : start;
                return at < end ? at - start : count;
            }
            word = leaf_end;
            continue;
        }
        for (; word <= last_word && word < leaf_end; word++) {
            ULONG value = set ? leaf[word % PAV_PBITMAP_LEAF_WORDS] : ~leaf[word % PAV_PBITMAP_LEAF_WORDS];
            if (word == start >> 5) {
                value &= ~0u << (start & 31);
            }
            if (value != 0) {
                ULONG64 at = (word << 5) + lowest_set_bit(value);
                return at < end ? at - start : count;
            }
        }
    }
    return count;
}

}  // namespace

int pav_pbitmap_create(pav_pbitmap** out, ULONG64 bits, void* ignored, pav_log* log) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ignored);
    *out = nullptr;
    pav_pbitmap* bitmap = (pav_pbitmap*)kpav_zalloc(sizeof(pav_pbitmap), KPAV_TAG_MAL);
    if (bitmap == nullptr) {
        return -KPAV_ENOMEM;
    }
    bitmap->words = bits / 32 + 1;
    bitmap->log = log;
    bitmap->base_key = PAV_PBITMAP_BASE_KEY;
    bitmap->top_slots = (ULONG)(bitmap->words / words_per_top_slot + 1);
    bitmap->dir = (void***)kpav_zalloc((SIZE_T)bitmap->top_slots * sizeof(void**), KPAV_TAG_VML);
    if (bitmap->dir == nullptr) {
        kpav_free(bitmap, KPAV_TAG_MAL);
        return -KPAV_ENOMEM;
    }
    for (ULONG i = 0; i < bitmap->top_slots; i++) {
        void* page = nullptr;
        if (pav_page_pool_get(&page, &log->md_pages) != 0) {
            free_directory(bitmap);
            kpav_free(bitmap, KPAV_TAG_MAL);
            return -KPAV_ENOMEM;
        }
        bitmap->dir[i] = (void**)page;
    }
    *out = bitmap;
    return 0;
}

void pav_pbitmap_destroy(pav_pbitmap** bitmap) {
    PAGED_CODE();
    pav_pbitmap* b = *bitmap;
    if (b == nullptr) {
        return;
    }
    free_directory(b);
    RtlZeroMemory(b, sizeof *b);
    kpav_free(b, KPAV_TAG_MAL);
    *bitmap = nullptr;
}

int pav_mblk_alloc_for_append(pav_pbitmap* bitmap, ULONG64 first_word, ULONG64 last_word) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (first_word > last_word || first_word >= bitmap->words) {
        return 0;
    }
    if (last_word >= bitmap->words) {
        last_word = bitmap->words - 1;
    }
    int result = 0;
    for (ULONG64 n = first_word / PAV_PBITMAP_LEAF_WORDS; n <= last_word / PAV_PBITMAP_LEAF_WORDS; n++) {
        void** slot = leaf_slot(bitmap, n);
        if (*slot != nullptr) {
            continue;
        }
        mblk* block = nullptr;
        int rc = mblk_get(&block, bitmap->log, bitmap->base_key + n, MBLK_CREATE);
        if (rc == -KPAV_ENOMEM) {
            result = rc;  // reported by the block layer; the other leaves are still made
            continue;
        }
        if (rc != 0) {
            return rc;
        }
        block->users++;
        *slot = block->page;
        bitmap->leaves++;
    }
    return result;
}

int pav_pbitmap_trim(pav_pbitmap* bitmap, ULONG64 first_word, ULONG64 last_word) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (first_word > last_word) {
        return 0;
    }
    ULONG64 end = (last_word + 1) / PAV_PBITMAP_LEAF_WORDS;
    if (end > leaf_count(bitmap)) {
        end = leaf_count(bitmap);
    }
    pav_log* log = bitmap->log;
    for (ULONG64 n = (first_word + PAV_PBITMAP_LEAF_WORDS - 1) / PAV_PBITMAP_LEAF_WORDS; n < end; n++) {
        void** slot = leaf_slot(bitmap, n);
        if (*slot == nullptr) {
            continue;
        }
        mblk* block = nullptr;
        int rc = mblk_get(&block, log, bitmap->base_key + n, MBLK_FIND);
        if (rc != 0) {
            return rc;
        }
        kpav_spin_lock(&log->mblks->lock);
        if (block->refs != 2) {
            // Someone besides the bitmap holds it: the leaf stays.
            mblk_put(log, block);
            kpav_spin_unlock(&log->mblks->lock);
            return -KPAV_EBUSY;
        }
        *slot = nullptr;
        block->users--;
        mblk_put(log, block);
        mblk_put(log, block);
        mblk_release(log, block, true);
        kpav_spin_unlock(&log->mblks->lock);
        bitmap->leaves--;
    }
    return 0;
}

int pav_pbitmap_set_range_counted(pav_pbitmap* bitmap, ULONG64 first, ULONG64 count, ULONG64* out_changed) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (out_changed != nullptr) {
        *out_changed = 0;
    }
    if (!range_fits(bitmap, first, count)) {
        return -KPAV_EINVAL;
    }
    if (count == 0) {
        return 0;
    }
    ULONG64 last_leaf = ((first + count - 1) >> 5) / PAV_PBITMAP_LEAF_WORDS;
    for (ULONG64 n = (first >> 5) / PAV_PBITMAP_LEAF_WORDS; n <= last_leaf; n++) {
        if (*leaf_slot(bitmap, n) == nullptr) {
            return -KPAV_ENOENT;
        }
    }
    ULONG64 changed = change_bits(bitmap, first, count, true);
    if (out_changed != nullptr) {
        *out_changed = changed;
    }
    return 0;
}

int pav_pbitmap_clear_range_counted(pav_pbitmap* bitmap, ULONG64 first, ULONG64 count, ULONG64* out_changed) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (out_changed != nullptr) {
        *out_changed = 0;
    }
    if (!range_fits(bitmap, first, count)) {
        return -KPAV_EINVAL;
    }
    if (count != 0) {
        ULONG64 changed = change_bits(bitmap, first, count, false);
        if (out_changed != nullptr) {
            *out_changed = changed;
        }
    }
    return 0;
}

int pav_pbitmap_set_range(pav_pbitmap* bitmap, ULONG64 first, ULONG64 count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return pav_pbitmap_set_range_counted(bitmap, first, count, nullptr);
}

int pav_pbitmap_clear_range(pav_pbitmap* bitmap, ULONG64 first, ULONG64 count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return pav_pbitmap_clear_range_counted(bitmap, first, count, nullptr);
}

bool pav_pbitmap_test(pav_pbitmap* bitmap, ULONG64 bit) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (bit >= bitmap->words * 32) {
        return false;
    }
    const ULONG* leaf = leaf_of_word(bitmap, bit >> 5);
    if (leaf == nullptr) {
        return false;
    }
    ULONG word = ReadNoFence((volatile LONG*)&leaf[(bit >> 5) % PAV_PBITMAP_LEAF_WORDS]);
    return ((word >> (bit & 31)) & 1) != 0;
}

int pav_pbitmap_adopt_leaves(pav_pbitmap* bitmap, ULONG64 first_word, ULONG64 last_word) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (first_word > last_word || first_word >= bitmap->words) {
        return 0;
    }
    if (last_word >= bitmap->words) {
        last_word = bitmap->words - 1;
    }
    for (ULONG64 n = first_word / PAV_PBITMAP_LEAF_WORDS; n <= last_word / PAV_PBITMAP_LEAF_WORDS; n++) {
        void** slot = leaf_slot(bitmap, n);
        if (*slot != nullptr) {
            continue;
        }
        mblk* block = nullptr;
        int rc = mblk_get(&block, bitmap->log, bitmap->base_key + n, MBLK_FIND_OR_CREATE);
        if (rc != 0) {
            return rc;
        }
        block->users++;
        *slot = block->page;
        bitmap->leaves++;
    }
    return 0;
}

void* pav_pbitmap_leaf(pav_pbitmap* bitmap, ULONG64 leaf) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (leaf >= leaf_count(bitmap)) {
        return nullptr;
    }
    return *leaf_slot(bitmap, leaf);
}

ULONG64 pav_pbitmap_find_next_set(pav_pbitmap* bitmap, ULONG64 start, ULONG64 count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return find_next(bitmap, start, count, true);
}

ULONG64 pav_pbitmap_find_next_zero(pav_pbitmap* bitmap, ULONG64 start, ULONG64 count) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return find_next(bitmap, start, count, false);
}
