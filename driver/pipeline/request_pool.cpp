// The request pool of a channel and the per-processor caches in front of it.

#include "driver/platform/contig_node.h"
#include "driver/pipeline/pipeline_internal.h"
#include "driver/pipeline/request.h"
#include "driver/platform/mem_stats.h"
#include "driver/platform/memory.h"
#include "driver/platform/params.h"
#include "driver/platform/thread.h"

namespace {

kpav_cache request_cache = {nullptr, {0}};
kpav_cache context_cache = {nullptr, {0}};

bool numa_objects() {
    return port_supports_numa_node_cache_allocations != 0;
}

void* object_alloc(kpav_cache* cache, size_t size, nand_dev* channel) {
    if (numa_objects()) {
        LONG node = channel->card != nullptr ? channel->card->numa_node : PAV_NO_NUMA_NODE;
        return kpav_alloc_contig_node(size, node);
    }
    return kpav_cache_alloc(cache);
}

void object_free(kpav_cache* cache, void* object) {
    if (object == nullptr) {
        return;
    }
    if (numa_objects()) {
        kpav_free_contig_node(object);
    } else {
        kpav_cache_free(cache, object);
    }
}

LONG64 pair_bytes(const nand_dev* channel) {
    return (LONG64)(sizeof(velkor_request) + sizeof(tavrin_ioctx) + (channel->sgl_capacity + 1) * sizeof(sgl_entry));
}

void account(nand_dev* channel, LONG64 bytes) {
    if (bytes >= 0) {
        mem_stats_add(&channel->memory, (ULONG64)bytes);
    } else {
        mem_stats_sub(&channel->memory, (ULONG64)-bytes);
    }
}

void free_request_object(velkor_request* request) {
    if (request->dma_record != nullptr) {
        kpav_free(request->dma_record, KPAV_TAG_ATO);
    }
    object_free(&request_cache, request);
}

void free_context_object(tavrin_ioctx* context) {
    kpav_sgl_free(context->list);
    object_free(&context_cache, context);
}

// Creates one request and one context and puts them on the free lists. The pool's lock is held
// (or the pool is not yet shared). False when memory ran out; nothing is left taken.
bool create_pair(nand_dev* channel) {
    request_pool* pool = &channel->pool;
    auto* request = (velkor_request*)object_alloc(&request_cache, sizeof(velkor_request), channel);
    if (request == nullptr) {
        return false;
    }
    RtlZeroMemory(request, sizeof(velkor_request));
    request->dma_record = (dma_map*)kpav_zalloc(sizeof(dma_map), KPAV_TAG_ATO);
    auto* context = (tavrin_ioctx*)object_alloc(&context_cache, sizeof(tavrin_ioctx), channel);
    if (request->dma_record == nullptr || context == nullptr) {
        object_free(&context_cache, context);
        free_request_object(request);
        return false;
    }
    RtlZeroMemory(context, sizeof(tavrin_ioctx));
    if (kpav_sgl_create(nullptr, &context->list, channel->sgl_capacity) != 0) {
        object_free(&context_cache, context);
        free_request_object(request);
        return false;
    }
    pool->total++;
    request->pool_index = pool->total;
    request->channel = channel;
    WritePointerRelease((PVOID volatile*)&pool->table[pool->total], request);
    InsertTailList(&pool->free_requests, &request->chain_link);
    InsertTailList(&pool->free_contexts, &context->free_link);
    InterlockedIncrement(&pool->free_request_count);
    InterlockedIncrement(&pool->free_context_count);
    account(channel, pair_bytes(channel));
    return true;
}

// The current processor's cache, locked, at DISPATCH_LEVEL; NULL when the processor has none.
request_cpu_cache* cache_enter(nand_dev* channel, KIRQL* old_irql) {
    KeRaiseIrql(DISPATCH_LEVEL, old_irql);
    ULONG cpu = kpav_current_cpu();
    request_pool* pool = &channel->pool;
    if (pool->caches == nullptr || cpu >= pool->cache_count) {
        KeLowerIrql(*old_irql);
        return nullptr;
    }
    request_cpu_cache* cache = &pool->caches[cpu];
    KeAcquireSpinLockAtDpcLevel(&cache->lock.lock);
    return cache;
}

void cache_leave(request_cpu_cache* cache, KIRQL old_irql) {
    KeReleaseSpinLockFromDpcLevel(&cache->lock.lock);
    KeLowerIrql(old_irql);
}

// Both objects from the processor's cache, or neither.
bool take_cached(nand_dev* channel, velkor_request** request, tavrin_ioctx** context) {
    KIRQL old;
    request_cpu_cache* cache = cache_enter(channel, &old);
    if (cache == nullptr) {
        return false;
    }
    bool found = cache->request_count > 0 && cache->context_count > 0;
    if (found) {
        *request = CONTAINING_RECORD(RemoveHeadList(&cache->requests), velkor_request, chain_link);
        *context = CONTAINING_RECORD(RemoveHeadList(&cache->contexts), tavrin_ioctx, free_link);
        cache->request_count--;
        cache->context_count--;
    }
    cache_leave(cache, old);
    return found;
}

// Offers the objects to the processor's cache; those it takes are cleared from the arguments.
void offer_to_cache(nand_dev* channel, velkor_request** request, tavrin_ioctx** context) {
    KIRQL old;
    request_cpu_cache* cache = cache_enter(channel, &old);
    if (cache == nullptr) {
        return;
    }
    request_pool* pool = &channel->pool;
    ULONG64 now = pipe_now_us();
    if (*context != nullptr && cache->context_count < REQUEST_CPU_CACHE_MAX &&
        ReadNoFence(&pool->free_context_count) >= (LONG)REQUEST_CPU_CACHE_MAX) {
        (*context)->cached_us = now;
        InsertHeadList(&cache->contexts, &(*context)->free_link);
        cache->context_count++;
        *context = nullptr;
    }
    if (*request != nullptr && cache->request_count < REQUEST_CPU_CACHE_MAX &&
        ReadNoFence(&pool->free_request_count) >= (LONG)REQUEST_CPU_CACHE_MAX) {
        RtlCopyMemory((*request)->inline_data, &now, sizeof now);
        InsertHeadList(&cache->requests, &(*request)->chain_link);
        cache->request_count++;
        *request = nullptr;
    }
    cache_leave(cache, old);
}

// Under the pool's lock: back onto the free lists.
void push_free(request_pool* pool, velkor_request* request, tavrin_ioctx* context) {
    if (request != nullptr) {
        InsertHeadList(&pool->free_requests, &request->chain_link);
        InterlockedIncrement(&pool->free_request_count);
    }
    if (context != nullptr) {
        InsertHeadList(&pool->free_contexts, &context->free_link);
        InterlockedIncrement(&pool->free_context_count);
    }
}

void wake_waiters(request_pool* pool) {
    if (pool->waiter != 0) {
        pool->waiter = 0;
        kpav_cv_broadcast(&pool->cv);
    }
}

void note_lowest(request_pool* pool) {
    ULONG free_now = (ULONG)ReadNoFence(&pool->free_request_count);
    if (free_now < pool->lowest_free) {
        pool->lowest_free = free_now;
    }
}

// Moves a whole cache onto the free lists (pool lock held, cache lock held or unshared).
void empty_cache(request_pool* pool, request_cpu_cache* cache, ULONG64 older_than_us, ULONG64 now) {
    for (PLIST_ENTRY e = cache->requests.Blink; e != &cache->requests;) {
        PLIST_ENTRY previous = e->Blink;
        auto* request = CONTAINING_RECORD(e, velkor_request, chain_link);
        ULONG64 cached;
        RtlCopyMemory(&cached, request->inline_data, sizeof cached);
        if (now - cached <= older_than_us) {
            break;  // the rest are younger
        }
        RemoveEntryList(e);
        cache->request_count--;
        push_free(pool, request, nullptr);
        e = previous;
    }
    for (PLIST_ENTRY e = cache->contexts.Blink; e != &cache->contexts;) {
        PLIST_ENTRY previous = e->Blink;
        auto* context = CONTAINING_RECORD(e, tavrin_ioctx, free_link);
        if (now - context->cached_us <= older_than_us) {
            break;
        }
        RemoveEntryList(e);
        cache->context_count--;
        push_free(pool, nullptr, context);
        e = previous;
    }
}

}  // namespace

int request_caches_create() {
    PAGED_CODE();
    int err = __kpav_create_cache(&request_cache, "velkor_request-strovane", sizeof(velkor_request));
    if (err != 0) {
        return err;
    }
    err = __kpav_create_cache(&context_cache, "tavrin_ioctx-strovane", sizeof(tavrin_ioctx));
    if (err != 0) {
        kpav_destroy_cache(&request_cache);
    }
    return err;
}

void request_caches_destroy() {
    PAGED_CODE();
    kpav_destroy_cache(&context_cache);
    kpav_destroy_cache(&request_cache);
}

int request_pool_init(nand_dev* channel) {
    PAGED_CODE();
    request_pool* pool = &channel->pool;
    InitializeListHead(&pool->free_contexts);
    InitializeListHead(&pool->free_requests);
    pool->free_context_count = 0;
    pool->free_request_count = 0;
    pool->waiter = 0;
    pool->total = 0;
    kpav_cv_init(&pool->cv, "request pool");
    kpav_spinlock_init(&pool->lock, "request pool");
    ULONG pages = channel->geometry.stripe_bytes / 4096 + 2;
    channel->sgl_capacity = pages > 257 ? pages : 257;

    // The card echoes the pool index in 14 bits: a larger pool would alias tag 0.
    ULONG capacity = max_requests > 0 ? (ULONG)max_requests : 1;
    if (capacity > REQUEST_TAG_LIMIT) {
        capacity = REQUEST_TAG_LIMIT;
    }
    pool->capacity = capacity;
    ULONG count = min_requests > 0 ? (ULONG)min_requests : 0;
    if (count > capacity) {
        kpav_print(KPAV_CLASS_NORMAL, "%s: min_requests > max_request, reducing to %u\n", channel_name(channel),
                   capacity);
        count = capacity;
    }
    pool->table = (velkor_request**)kpav_zalloc((capacity + 1) * sizeof(velkor_request*), KPAV_TAG_MAL);
    if (pool->table == nullptr) {
        return -KPAV_ENOMEM;
    }
    pool->cache_count = kpav_max_cpus();
    pool->caches = (request_cpu_cache*)kpav_zalloc(pool->cache_count * sizeof(request_cpu_cache), KPAV_TAG_MAL);
    if (pool->caches == nullptr) {
        kpav_free(pool->table, KPAV_TAG_MAL);
        pool->table = nullptr;
        return -KPAV_ENOMEM;
    }
    for (ULONG i = 0; i < pool->cache_count; i++) {
        kpav_spinlock_init(&pool->caches[i].lock, "request cpu cache");
        InitializeListHead(&pool->caches[i].requests);
        InitializeListHead(&pool->caches[i].contexts);
    }
    for (ULONG i = 0; i < count; i++) {
        if (!create_pair(channel)) {
            kpav_print(KPAV_CLASS_ERROR,
                       "%s: Inadequate memory to allocate %u requests. Try using the max_requests module parameter.\n",
                       channel_name(channel), count);
            request_pool_free(channel);
            return -KPAV_ENOMEM;
        }
    }
    pool->lowest_free = count;
    return 0;
}

void request_pool_free(nand_dev* channel) {
    PAGED_CODE();
    request_pool* pool = &channel->pool;
    if (pool->table == nullptr) {
        return;
    }
    kpav_spin_lock(&pool->lock);
    for (ULONG i = 0; i < pool->cache_count; i++) {
        empty_cache(pool, &pool->caches[i], 0, ~0ull);
    }
    kpav_spin_unlock(&pool->lock);
    // Every request is accounted for: nothing may still be in use.
    kpav_assert(ReadNoFence(&pool->free_request_count) == (LONG)pool->total);
    kpav_assert(ReadNoFence(&pool->free_context_count) >= (LONG)pool->total);
    ULONG created = pool->total;
    for (ULONG i = 1; i <= created; i++) {
        if (pool->table[i] != nullptr) {
            free_request_object(pool->table[i]);
            pool->table[i] = nullptr;
        }
    }
    while (!IsListEmpty(&pool->free_contexts)) {
        free_context_object(CONTAINING_RECORD(RemoveHeadList(&pool->free_contexts), tavrin_ioctx, free_link));
    }
    InitializeListHead(&pool->free_requests);
    pool->free_request_count = 0;
    pool->free_context_count = 0;
    kpav_free(pool->caches, KPAV_TAG_MAL);
    pool->caches = nullptr;
    pool->cache_count = 0;
    kpav_free(pool->table, KPAV_TAG_MAL);
    pool->table = nullptr;
    pool->total = 0;
    account(channel, -(LONG64)created * pair_bytes(channel));
}

void request_pool_trim_percpu(nand_dev* channel, ULONG cpu) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    request_pool* pool = &channel->pool;
    if (pool->caches == nullptr || cpu >= pool->cache_count) {
        return;
    }
    request_cpu_cache* cache = &pool->caches[cpu];
    ULONG64 now = pipe_now_us();
    kpav_spin_lock(&cache->lock);
    KeAcquireSpinLockAtDpcLevel(&pool->lock.lock);
    empty_cache(pool, cache, REQUEST_CACHE_TRIM_US, now);
    wake_waiters(pool);
    KeReleaseSpinLockFromDpcLevel(&pool->lock.lock);
    kpav_spin_unlock(&cache->lock);
}

tavrin_ioctx* request_alloc(nand_dev* channel, ULONG flags) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    bool may_wait = (flags & REQUEST_ALLOC_WAIT) != 0;
    if (may_wait) {
        KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    }
    if (channel_failed(channel)) {
        return nullptr;
    }
    request_pool* pool = &channel->pool;
    velkor_request* request = nullptr;
    tavrin_ioctx* context = nullptr;
    if (!take_cached(channel, &request, &context)) {
        kpav_spin_lock(&pool->lock);
        for (;;) {
            if (channel_failed(channel)) {
                kpav_spin_unlock(&pool->lock);
                return nullptr;
            }
            if (!IsListEmpty(&pool->free_requests) && !IsListEmpty(&pool->free_contexts)) {
                break;
            }
            if (!may_wait) {
                kpav_spin_unlock(&pool->lock);
                return nullptr;
            }
            if (pool->total < pool->capacity && create_pair(channel)) {
                continue;
            }
            pool->waiter = 1;
            kpav_cv_timedwait(&pool->cv, &pool->lock, KPAV_NO_TIMEOUT, false);
        }
        request = CONTAINING_RECORD(RemoveHeadList(&pool->free_requests), velkor_request, chain_link);
        context = CONTAINING_RECORD(RemoveHeadList(&pool->free_contexts), tavrin_ioctx, free_link);
        InterlockedDecrement(&pool->free_request_count);
        InterlockedDecrement(&pool->free_context_count);
        note_lowest(pool);
        kpav_spin_unlock(&pool->lock);
    }
    context->request = request;
    context->channel = channel;
    context->done = 0;
    context->cleared = 0;
    context->cpu = kpav_current_cpu();
    request->channel = channel;
    request_reset(request, request);
    request->list = context->list;
    request->ioctx = context;
    request->done_arg = nullptr;
    return context;
}

velkor_request* request_alloc_chained(nand_dev* channel, velkor_request** head_ref) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (channel_failed(channel)) {
        return nullptr;
    }
    request_pool* pool = &channel->pool;
    velkor_request* request = nullptr;
    KIRQL old;
    request_cpu_cache* cache = cache_enter(channel, &old);
    if (cache != nullptr) {
        if (cache->request_count > 0) {
            request = CONTAINING_RECORD(RemoveHeadList(&cache->requests), velkor_request, chain_link);
            cache->request_count--;
        }
        cache_leave(cache, old);
    }
    if (request == nullptr) {
        kpav_spin_lock(&pool->lock);
        if (!IsListEmpty(&pool->free_requests)) {
            request = CONTAINING_RECORD(RemoveHeadList(&pool->free_requests), velkor_request, chain_link);
            InterlockedDecrement(&pool->free_request_count);
            note_lowest(pool);
        }
        kpav_spin_unlock(&pool->lock);
        if (request == nullptr) {
            return nullptr;
        }
    }
    request->channel = channel;
    request->ioctx = nullptr;
    if (*head_ref == nullptr) {
        request_reset(request, request);
        *head_ref = request;
    } else {
        request_reset(request, *head_ref);
    }
    return request;
}

void request_free(velkor_request* request) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    nand_dev* channel = request->channel;
    tavrin_ioctx* context = request->ioctx;
    if (context != nullptr) {
        context->list->used = 0;
        context->list->mapped = 0;
        context->list->total_bytes = 0;
        context->request = nullptr;
        request->ioctx = nullptr;
    }
    request->list = nullptr;
    offer_to_cache(channel, &request, &context);
    if (request == nullptr && context == nullptr) {
        return;
    }
    request_pool* pool = &channel->pool;
    kpav_spin_lock(&pool->lock);
    push_free(pool, request, context);
    wake_waiters(pool);
    kpav_spin_unlock(&pool->lock);
}

void request_free_list(velkor_request* head) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    // Members leave the ring one by one: the free lists reuse their chain links.
    while (head->chain_link.Flink != &head->chain_link) {
        velkor_request* member = request_next(head);
        RemoveEntryList(&member->chain_link);
        request_free(member);
    }
    request_free(head);
}

velkor_request* request_of_tag(nand_dev* channel, ULONG tag) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    request_pool* pool = &channel->pool;
    if (tag == 0 || tag > pool->capacity || pool->table == nullptr) {
        return nullptr;
    }
    return (velkor_request*)ReadPointerAcquire((PVOID const volatile*)&pool->table[tag]);
}
