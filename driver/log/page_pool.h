// Zeroed 4096-byte pages for the metadata side of the driver (forward-map nodes, metadata
// blocks, bitmap directories), the page pool that keeps spare ones, and the fixed pool of small
// entries each log keeps.
#pragma once

#include "driver/platform/mem_stats.h"
#include "driver/platform/os.h"
#include "driver/platform/sync.h"

constexpr ULONG PAV_PAGE_SIZE = 4096;
// A pool that is not preallocated keeps at most this many spare pages.
constexpr ULONG64 PAV_PAGE_POOL_SPARE_PAGES = 512;

struct pav_page_pool {
    kpav_spinlock lock;
    LIST_ENTRY spare;     // each spare page's first bytes hold its link
    ULONG64 spare_count;
    UCHAR warned;         // the footprint warning was given
    UCHAR has_pages;      // the pool holds pages of its own
    UCHAR preallocated;   // a fixed set: every page is kept on return
    mem_stats* counter;   // bytes of pages taken from the system, or NULL
    const char* name;     // for the footprint warning
};

// A zeroed page from the page-chunk allocator, else from pool; NULL (logged) when neither has
// one. Up to DISPATCH_LEVEL.
void* pav_zero_page_alloc();
// Gives a page of pav_zero_page_alloc back to where it came from.
void pav_zero_page_free(void* page);

// PASSIVE_LEVEL, as are fill and destroy.
void pav_page_pool_init(pav_page_pool* pool, const char* name, mem_stats* counter, bool preallocated);
// Adds n zeroed pages to the pool: 0, or -KPAV_ENOMEM with nothing added.
int pav_page_pool_fill(pav_page_pool* pool, ULONG64 n);
// A zeroed page: 0, or -KPAV_ENOMEM when no page could be had. Up to DISPATCH_LEVEL.
int pav_page_pool_get(void** page, pav_page_pool* pool);
// Takes a page back: kept as a spare, or freed when the pool has enough. Returns 0. Up to
// DISPATCH_LEVEL.
int pav_page_pool_put(pav_page_pool* pool, void* page);
// Frees every spare page.
void pav_mempool_destroy(pav_page_pool* pool);

// The fixed pool of 128 entries of 200 bytes that a log keeps for its atomic writes.
constexpr ULONG PAV_ENTRY_POOL_ENTRIES = 128;
constexpr ULONG PAV_ENTRY_POOL_ENTRY_SIZE = 200;

struct pav_pool_entry {
    LIST_ENTRY link;   // in the free list while free
    LIST_ENTRY inner;  // empty at start
    ULONG64 first;
    ULONG64 second;
    UCHAR body[PAV_ENTRY_POOL_ENTRY_SIZE - 2 * sizeof(LIST_ENTRY) - 2 * sizeof(ULONG64)];
};
static_assert(sizeof(pav_pool_entry) == PAV_ENTRY_POOL_ENTRY_SIZE);

struct pav_entry_pool {
    pav_pool_entry* entries;  // one allocation of 128 entries
    LIST_ENTRY free;
    ULONG free_count;
    LIST_ENTRY used;
    ULONG64 counters[2];
};

// 0, or -KPAV_ENOMEM with nothing allocated. PASSIVE_LEVEL, as is exit.
int pav_mempool_init(pav_entry_pool* pool);
void pav_mempool_exit(pav_entry_pool* pool);
