// A paged bitmap: a bitmap too large to allocate at once, kept as 4096-byte leaf pages (32768
// bits each) that are metadata blocks, reached through a two-level directory (top index =
// word >> 19, directory index = (word >> 10) & 511, word in the leaf = word & 1023). Leaves are
// made for a range of words before it is used and released when the range is given up.
#pragma once

#include "driver/log/datalog.h"
#include "driver/platform/os.h"

// Leaf n is the metadata block of key PAV_PBITMAP_BASE_KEY + n.
constexpr ULONG64 PAV_PBITMAP_BASE_KEY = 0x00FFFFFFFEF70000ull;
constexpr ULONG PAV_PBITMAP_LEAF_WORDS = 1024;
constexpr ULONG PAV_PBITMAP_DIR_SLOTS = 512;

struct pav_pbitmap {
    void*** dir;          // top table: one directory page (512 leaf pointers) per 2^19 words
    ULONG top_slots;
    ULONG64 words;        // bits / 32 + 1
    ULONG leaves;         // leaf pages present
    ULONG64 base_key;
    pav_log* log;
};

// 0, or -KPAV_ENOMEM with nothing left allocated. The directory pages come from the log's page
// pool. PASSIVE_LEVEL, as is destroy.
int pav_pbitmap_create(pav_pbitmap** out, ULONG64 bits, void* ignored, pav_log* log);
// Frees the directory and the record and clears *bitmap; leaf blocks stay with the log's
// block table.
void pav_pbitmap_destroy(pav_pbitmap** bitmap);

// Makes present the leaves that hold words first..last (inclusive), the partial leaves at both
// ends too: 0; -KPAV_ENOMEM when a leaf could not be made (the others are made; the failure is
// reported through the log); -KPAV_EEXIST when a leaf's block exists already outside the bitmap
// (the walk stops there). Up to DISPATCH_LEVEL, as is trim.
int pav_mblk_alloc_for_append(pav_pbitmap* bitmap, ULONG64 first_word, ULONG64 last_word);
// Releases the leaves that lie wholly inside words first..last: 0, or -KPAV_EBUSY when a leaf's
// block is still referenced (that leaf stays).
int pav_pbitmap_trim(pav_pbitmap* bitmap, ULONG64 first_word, ULONG64 last_word);

// Sets or clears `count` bits from `first`. 0; -KPAV_EINVAL beyond the bitmap; -KPAV_ENOENT when
// setting bits of a leaf that is not present (nothing changes then). Each word changes by one
// interlocked operation, so writers under different locks may change bits of one word at once;
// callers still keep one range from being set and cleared at the same time. Up to
// DISPATCH_LEVEL, as is the rest below.
int pav_pbitmap_set_range(pav_pbitmap* bitmap, ULONG64 first, ULONG64 count);
int pav_pbitmap_clear_range(pav_pbitmap* bitmap, ULONG64 first, ULONG64 count);
// The same, telling how many bits actually changed (set from clear, or cleared from set).
int pav_pbitmap_set_range_counted(pav_pbitmap* bitmap, ULONG64 first, ULONG64 count, ULONG64* out_changed);
int pav_pbitmap_clear_range_counted(pav_pbitmap* bitmap, ULONG64 first, ULONG64 count, ULONG64* out_changed);
// Whether `bit` is set (clear for an absent leaf or beyond the bitmap).
bool pav_pbitmap_test(pav_pbitmap* bitmap, ULONG64 bit);
// Makes present the leaves of words first..last from the blocks of their keys, taking a block
// that exists already (one loaded from media) or making it: 0 or mblk_get's error.
int pav_pbitmap_adopt_leaves(pav_pbitmap* bitmap, ULONG64 first_word, ULONG64 last_word);
// The page of leaf `leaf` (4096 bytes), NULL when absent.
void* pav_pbitmap_leaf(pav_pbitmap* bitmap, ULONG64 leaf);
// Distance from `start` of the first set (clear) bit of [start, start + count), or `count` when
// there is none. Bits of absent leaves read as clear.
ULONG64 pav_pbitmap_find_next_set(pav_pbitmap* bitmap, ULONG64 start, ULONG64 count);
ULONG64 pav_pbitmap_find_next_zero(pav_pbitmap* bitmap, ULONG64 start, ULONG64 count);
