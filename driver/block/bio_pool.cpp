// The driver's bio cache and the per-device bio pools.
#include "driver/block/bio.h"

#include "driver/pipeline/request.h"
#include "driver/platform/errno_table.h"
#include "driver/platform/memory.h"
#include "driver/platform/params.h"

kpav_cache bio_cache;

namespace {

// The most bios a pool ever takes from the cache, and how many it starts with (never more).
ULONG pool_maximum() {
    return (ULONG)ReadNoFence(&pav_max_num_bios);
}

ULONG pool_minimum() {
    ULONG minimum = (ULONG)ReadNoFence(&pav_min_num_bios);
    return minimum < pool_maximum() ? minimum : pool_maximum();
}

ULONG64 bytes_per_bio(const bio_pool* pool) {
    return BIO_OBJECT_SIZE + ((ULONG64)pool->sgl_entries + 1) * 16;
}

// A zeroed bio of the pool on its free list. Under the pool lock.
bool grow_locked(bio_pool* pool) {
    auto* b = (bio*)kpav_cache_alloc(&bio_cache);
    if (b == nullptr) {
        return false;
    }
    RtlZeroMemory(b, sizeof *b);
    b->pool = pool;
    InsertHeadList(&pool->free_list, &b->pool_link);
    pool->free_count++;
    pool->allocated++;
    mem_stats_add(pool->memory, bytes_per_bio(pool));
    return true;
}

// Returns every free bio to the cache. Under the pool lock, or with the pool private.
void release_free_locked(bio_pool* pool, mem_stats* memory) {
    while (!IsListEmpty(&pool->free_list)) {
        bio* b = CONTAINING_RECORD(RemoveHeadList(&pool->free_list), bio, pool_link);
        kpav_cache_free(&bio_cache, b);
        pool->free_count--;
        pool->allocated--;
        mem_stats_sub(memory, bytes_per_bio(pool));
    }
}

// Waits, holding the pool lock, until no bio is in use.
void wait_drained_locked(bio_pool* pool) {
    while (pool->in_use != 0) {
        kpav_cv_timedwait(&pool->drain_waiters, &pool->lock, KPAV_NO_TIMEOUT, false);
    }
}

}  // namespace

int bio_pool_create(bio_pool** out, void* ignored, ULONG sgl_entries, mem_stats* memory) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ignored);
    *out = nullptr;
    auto* pool = (bio_pool*)kpav_zalloc(sizeof(bio_pool), KPAV_TAG_MAL);
    if (pool == nullptr) {
        return -KPAV_ENOMEM;
    }
    kpav_cv_init(&pool->free_waiters, "bio free");
    kpav_cv_init(&pool->drain_waiters, "bio drain");
    kpav_spinlock_init(&pool->lock, "bio pool");
    InitializeListHead(&pool->free_list);
    pool->reserve = 1;
    pool->sgl_entries = sgl_entries;
    pool->memory = memory;
    ULONG n = pool_minimum();
    kpav_spin_lock(&pool->lock);
    bool filled = true;
    for (ULONG i = 0; i < n && filled; i++) {
        filled = grow_locked(pool);
    }
    if (!filled) {
        release_free_locked(pool, memory);
    }
    kpav_spin_unlock(&pool->lock);
    if (!filled) {
        kpav_free(pool, KPAV_TAG_MAL);
        return -KPAV_ENOMEM;
    }
    *out = pool;
    return 0;
}

void bio_pool_shutdown(bio_pool* pool) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    if (pool == nullptr) {
        return;
    }
    kpav_spin_lock(&pool->lock);
    pool->shutting_down = 1;
    // Waiters for a bio give up with -5 rather than sleep through the shutdown.
    pool->waiters = 0;
    kpav_cv_broadcast(&pool->free_waiters);
    wait_drained_locked(pool);
    kpav_spin_unlock(&pool->lock);
}

void bio_pool_reopen(bio_pool* pool) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (pool == nullptr) {
        return;
    }
    kpav_spin_lock(&pool->lock);
    pool->shutting_down = 0;
    kpav_spin_unlock(&pool->lock);
}

void bio_pool_destroy(bio_pool** pool_ref, mem_stats* memory) {
    PAGED_CODE();
    bio_pool* pool = *pool_ref;
    if (pool == nullptr) {
        return;
    }
    kpav_spin_lock(&pool->lock);
    pool->shutting_down = 1;
    pool->reserve = pool->allocated;
    pool->waiters = 0;
    kpav_cv_broadcast(&pool->free_waiters);
    wait_drained_locked(pool);
    release_free_locked(pool, memory);
    kpav_spin_unlock(&pool->lock);
    kpav_free(pool, KPAV_TAG_MAL);
    *pool_ref = nullptr;
}

int bio_alloc(bio_pool* pool, bdev* device, bio** out) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    *out = nullptr;
    // A caller at DISPATCH_LEVEL may not sleep: it is refused where others would wait.
    bool may_wait = KeGetCurrentIrql() < DISPATCH_LEVEL;
    kpav_spin_lock(&pool->lock);
    for (;;) {
        if (pool->shutting_down != 0) {
            kpav_spin_unlock(&pool->lock);
            return -KPAV_EIO;
        }
        if (pool->free_count >= pool->reserve) {
            break;
        }
        if (pool->allocated < pool_maximum()) {
            if (!grow_locked(pool)) {
                kpav_spin_unlock(&pool->lock);
                return -KPAV_ENOMEM;
            }
            continue;
        }
        if (!may_wait) {
            kpav_spin_unlock(&pool->lock);
            return -KPAV_ENOMEM;
        }
        // The freeing thread uncounts the waiter it wakes; the test above runs again.
        pool->waiters++;
        kpav_cv_timedwait(&pool->free_waiters, &pool->lock, KPAV_NO_TIMEOUT, false);
    }
    bio* b = CONTAINING_RECORD(RemoveHeadList(&pool->free_list), bio, pool_link);
    pool->free_count--;
    pool->in_use++;
    kpav_spin_unlock(&pool->lock);

    RtlZeroMemory(b, sizeof *b);
    b->pool = pool;
    b->origin = device;
    b->target = device;
    tavrin_ioctx* context = request_alloc(device->channel, may_wait ? REQUEST_ALLOC_WAIT : 0);
    if (context == nullptr) {
        bio_free(pool, b);
        return -KPAV_ENOMEM;
    }
    b->base = ~0ull;
    b->discard_mark = ~0ull;
    b->ioctx = context;
    b->list = context->list;
    b->cpu = context->cpu;
    context->request->flags |= REQ_CALLER_FREES;
    *out = b;
    return 0;
}

void bio_free(bio_pool* pool, bio* b) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    b->ioctx = nullptr;
    b->list = nullptr;
    kpav_spin_lock(&pool->lock);
    InsertHeadList(&pool->free_list, &b->pool_link);
    pool->free_count++;
    pool->in_use--;
    // One waiter per bio that comes back, as long as enough are free: a burst of frees wakes
    // as many waiters as it frees bios.
    if (pool->waiters > 0 && pool->free_count >= pool->reserve) {
        pool->waiters--;
        kpav_cv_signal(&pool->free_waiters);
    }
    if (pool->in_use == 0 && pool->shutting_down != 0) {
        kpav_cv_broadcast(&pool->drain_waiters);
    }
    kpav_spin_unlock(&pool->lock);
}

void bio_free_requests(velkor_request* head) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (head != nullptr) {
        request_free_list(head);
    }
}

void bio_free_chain(bio* first) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (first->ioctx != nullptr) {
        bio_free_requests(first->ioctx->request);
    }
    for (bio* b = first; b != nullptr;) {
        bio* next = b->next;
        bio_free(b->pool, b);
        b = next;
    }
}
