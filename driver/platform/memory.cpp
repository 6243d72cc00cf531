#include "driver/platform/memory.h"

#include "driver/platform/kassert.h"
#include "driver/platform/log.h"

POOL_TYPE kpav_pool_type = NonPagedPoolNx;

void* kpav_alloc(size_t size, ULONG tag) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return ExAllocatePoolWithTagPriority(kpav_pool_type, size, tag, HighPoolPriority);
}

void* kpav_zalloc(size_t size, ULONG tag) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    void* p = kpav_alloc(size, tag);
    if (p != nullptr) {
        RtlZeroMemory(p, size);
    }
    return p;
}

void kpav_free(void* block, ULONG tag) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ExFreePoolWithTag(block, tag);
}

int __kpav_create_cache(kpav_cache* cache, const char* name, size_t object_size) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    size_t length = strnlen(name, sizeof cache->name - 1);
    RtlCopyMemory(cache->name, name, length);
    cache->name[length] = 0;
    cache->lookaside = (PNPAGED_LOOKASIDE_LIST)kpav_alloc(KPAV_LOOKASIDE_DESCRIPTOR_SIZE, KPAV_TAG_CRC);
    if (cache->lookaside == nullptr) {
        kpav_syslog(KPAV_LEVEL_ERROR, KPAV_DRIVER_COMPONENT, 6157,
                    "__kpav_create_cache failed because of memory allocation failure (%u bytes)", (ULONG)object_size);
        return -KPAV_ENOMEM;
    }
    ExInitializeNPagedLookasideList(cache->lookaside, nullptr, nullptr, (ULONG)kpav_pool_type, object_size,
                                    KPAV_TAG_SAL, 0);
    return 0;
}

void kpav_destroy_cache(kpav_cache* cache) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    if (cache->lookaside == nullptr) {
        return;
    }
    ExDeleteNPagedLookasideList(cache->lookaside);
    kpav_free(cache->lookaside, KPAV_TAG_CRC);
    cache->lookaside = nullptr;
}

void* kpav_dma_alloc_contig(ULONG64* bus_address) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    PHYSICAL_ADDRESS lowest{};
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = -1;
    PHYSICAL_ADDRESS boundary{};
    void* buffer = MmAllocateContiguousMemorySpecifyCache(KPAV_DMA_CONTIG_SIZE, lowest, highest, boundary, MmCached);
    if (buffer == nullptr) {
        kpav_print(KPAV_CLASS_NORMAL, "Alloc contig buffer of size %d failed", (int)KPAV_DMA_CONTIG_SIZE);
        *bus_address = 0;
        return nullptr;
    }
    RtlZeroMemory(buffer, KPAV_DMA_CONTIG_SIZE);
    *bus_address = (ULONG64)MmGetPhysicalAddress(buffer).QuadPart;
    return buffer;
}

void kpav_dma_free_contig(void* buffer) {
    KPAV_IRQL_AT_MOST(APC_LEVEL);
    if (buffer != nullptr) {
        MmFreeContiguousMemory(buffer);
    }
}

ULONG kpav_copy_from_user(void* destination, const void* user_source, ULONG length) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    if (length == 0) {
        return 0;
    }
    return os_copy_from_user(destination, user_source, length) ? 0 : length;
}

ULONG kpav_copy_to_user(void* user_destination, const void* source, ULONG length) {
    KPAV_IRQL_BELOW(DISPATCH_LEVEL);
    if (length == 0) {
        return 0;
    }
    return os_copy_to_user(user_destination, source, length) ? 0 : length;
}
