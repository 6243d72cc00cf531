#include "driver/log/page_pool.h"

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/log.h"
#include "driver/platform/mem_chunk.h"
#include "driver/platform/memory.h"

void* pav_zero_page_alloc() {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    void* page = pav_mem_chunk_get_page();
    if (page == nullptr) {
        page = kpav_alloc(PAV_PAGE_SIZE, KPAV_TAG_ZPG);
    }
    if (page == nullptr) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 6159,
                    "Alloc zero (0) page failed due to memory allocation failure.");
        return nullptr;
    }
    RtlZeroMemory(page, PAV_PAGE_SIZE);
    return page;
}

void pav_zero_page_free(void* page) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (!pav_mem_chunk_free_page(page)) {
        kpav_free(page, KPAV_TAG_ZPG);
    }
}

void pav_page_pool_init(pav_page_pool* pool, const char* name, mem_stats* counter, bool preallocated) {
    PAGED_CODE();
    kpav_spinlock_init(&pool->lock, "page pool");
    InitializeListHead(&pool->spare);
    pool->spare_count = 0;
    pool->warned = 0;
    pool->has_pages = 0;
    pool->preallocated = preallocated ? 1 : 0;
    pool->counter = counter;
    pool->name = name;
}

namespace {

// Frees a private list of pages.
void free_page_list(LIST_ENTRY* list) {
    while (!IsListEmpty(list)) {
        pav_zero_page_free(RemoveHeadList(list));
    }
}

// Moves `n` pages of a private list into the pool.
void pool_take_list(pav_page_pool* pool, LIST_ENTRY* list, ULONG64 n) {
    if (n == 0) {
        return;
    }
    kpav_spin_lock(&pool->lock);
    while (!IsListEmpty(list)) {
        InsertTailList(&pool->spare, RemoveHeadList(list));
    }
    pool->spare_count += n;
    pool->has_pages = 1;
    kpav_spin_unlock(&pool->lock);
}

void* pool_take_spare(pav_page_pool* pool) {
    void* page = nullptr;
    kpav_spin_lock(&pool->lock);
    if (!IsListEmpty(&pool->spare)) {
        page = RemoveHeadList(&pool->spare);
        pool->spare_count--;
    }
    kpav_spin_unlock(&pool->lock);
    if (page != nullptr) {
        RtlZeroMemory(page, PAV_PAGE_SIZE);
    }
    return page;
}

}  // namespace

int pav_page_pool_fill(pav_page_pool* pool, ULONG64 n) {
    PAGED_CODE();
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    for (ULONG64 i = 0; i < n; i++) {
        void* page = pav_zero_page_alloc();
        if (page == nullptr) {
            free_page_list(&taken);
            return -KPAV_ENOMEM;
        }
        InsertTailList(&taken, (PLIST_ENTRY)page);
    }
    pool_take_list(pool, &taken, n);
    mem_stats_add(pool->counter, n * PAV_PAGE_SIZE);
    return 0;
}

int pav_page_pool_get(void** out, pav_page_pool* pool) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    *out = nullptr;
    if (pool->preallocated) {
        void* page = pool_take_spare(pool);
        if (page != nullptr) {
            *out = page;
            return 0;
        }
        kpav_spin_lock(&pool->lock);
        bool first = pool->warned == 0;
        pool->warned = 1;
        kpav_spin_unlock(&pool->lock);
        if (first) {
            kpav_print(KPAV_CLASS_NORMAL, "%s: preallocated memory footprint exceeded\n", pool->name);
        }
    }

    ULONG64 allocated = 0;
    void* page = pav_zero_page_alloc();
    if (page != nullptr) {
        allocated = 1;
        kpav_spin_lock(&pool->lock);
        ULONG64 wanted = pool->preallocated || pool->spare_count >= PAV_PAGE_POOL_SPARE_PAGES
                             ? 0
                             : PAV_PAGE_POOL_SPARE_PAGES - pool->spare_count;
        kpav_spin_unlock(&pool->lock);
        if (wanted != 0) {
            // The pool fills itself up to its spare count; the caller gets the page allocated
            // after that. A failed allocation on the way hands out the last page allocated,
            // which then never joins the spares.
            LIST_ENTRY taken;
            InitializeListHead(&taken);
            ULONG64 spares = 0;
            for (;;) {
                InsertTailList(&taken, (PLIST_ENTRY)page);
                spares++;
                page = pav_zero_page_alloc();
                if (page == nullptr) {
                    page = RemoveTailList(&taken);
                    spares--;
                    RtlZeroMemory(page, sizeof(LIST_ENTRY));
                    break;
                }
                allocated++;
                if (spares == wanted) {
                    break;
                }
            }
            pool_take_list(pool, &taken, spares);
        }
    } else {
        page = pool_take_spare(pool);
        if (page == nullptr) {
            return -KPAV_ENOMEM;
        }
    }
    mem_stats_add(pool->counter, allocated * PAV_PAGE_SIZE);
    *out = page;
    return 0;
}

int pav_page_pool_put(pav_page_pool* pool, void* page) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    kpav_spin_lock(&pool->lock);
    if (pool->preallocated || pool->spare_count < PAV_PAGE_POOL_SPARE_PAGES) {
        InsertTailList(&pool->spare, (PLIST_ENTRY)page);
        pool->spare_count++;
        pool->has_pages = 1;
        kpav_spin_unlock(&pool->lock);
        return 0;
    }
    kpav_spin_unlock(&pool->lock);
    pav_zero_page_free(page);
    mem_stats_sub(pool->counter, PAV_PAGE_SIZE);
    return 0;
}

void pav_mempool_destroy(pav_page_pool* pool) {
    PAGED_CODE();
    if (!pool->has_pages) {
        return;
    }
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    kpav_spin_lock(&pool->lock);
    ULONG64 n = pool->spare_count;
    while (!IsListEmpty(&pool->spare)) {
        InsertTailList(&taken, RemoveHeadList(&pool->spare));
    }
    pool->spare_count = 0;
    pool->has_pages = 0;
    kpav_spin_unlock(&pool->lock);
    free_page_list(&taken);
    mem_stats_sub(pool->counter, n * PAV_PAGE_SIZE);
}

int pav_mempool_init(pav_entry_pool* pool) {
    PAGED_CODE();
    pool->entries = (pav_pool_entry*)kpav_zalloc(PAV_ENTRY_POOL_ENTRIES * sizeof(pav_pool_entry), KPAV_TAG_MAL);
    InitializeListHead(&pool->free);
    InitializeListHead(&pool->used);
    pool->free_count = 0;
    pool->counters[0] = 0;
    pool->counters[1] = 0;
    if (pool->entries == nullptr) {
        return -KPAV_ENOMEM;
    }
    for (ULONG i = 0; i < PAV_ENTRY_POOL_ENTRIES; i++) {
        InitializeListHead(&pool->entries[i].inner);
        InsertTailList(&pool->free, &pool->entries[i].link);
    }
    pool->free_count = PAV_ENTRY_POOL_ENTRIES;
    return 0;
}

void pav_mempool_exit(pav_entry_pool* pool) {
    PAGED_CODE();
    if (pool->entries != nullptr) {
        kpav_free(pool->entries, KPAV_TAG_MAL);
        pool->entries = nullptr;
    }
    InitializeListHead(&pool->free);
    InitializeListHead(&pool->used);
    pool->free_count = 0;
}
