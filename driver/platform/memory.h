// Memory of the driver: tagged non-paged pool, named lookaside caches of fixed-size objects,
// 1 MiB physically contiguous DMA buffers, and copies from and to user-side buffers.
#pragma once

#include "driver/platform/errno_table.h"
#include "driver/platform/kassert.h"
#include "driver/platform/os.h"

// A pool tag as it reads in memory: kpav_tag("mal4").
constexpr ULONG kpav_tag(const char (&text)[5]) {
    return (ULONG)(UCHAR)text[0] | (ULONG)(UCHAR)text[1] << 8 | (ULONG)(UCHAR)text[2] << 16 |
           (ULONG)(UCHAR)text[3] << 24;
}

constexpr ULONG KPAV_TAG_MAL = kpav_tag("mal4");  // general objects
constexpr ULONG KPAV_TAG_VML = kpav_tag("vml4");  // variable-size buffers
constexpr ULONG KPAV_TAG_CRC = kpav_tag("crc4");  // lookaside descriptors
constexpr ULONG KPAV_TAG_SAL = kpav_tag("sal4");  // objects of lookaside caches
constexpr ULONG KPAV_TAG_THR = kpav_tag("thr4");  // thread start contexts
constexpr ULONG KPAV_TAG_TOP = kpav_tag("top4");  // processor-to-node table
constexpr ULONG KPAV_TAG_PRO = kpav_tag("pro4");  // per-node round-robin table
constexpr ULONG KPAV_TAG_ZPG = kpav_tag("zpg4");  // zeroed pages and page chunks
constexpr ULONG KPAV_TAG_LOG = kpav_tag("log4");  // trace message buffers
constexpr ULONG KPAV_TAG_ATO = kpav_tag("ato4");  // DMA mapping records

// The driver's pool type, chosen at driver entry (no-execute pool where the system has it).
extern POOL_TYPE kpav_pool_type;

// Pool at high priority; NULL when none is left.
void* kpav_alloc(size_t size, ULONG tag);
void* kpav_zalloc(size_t size, ULONG tag);
void kpav_free(void* block, ULONG tag);
// The same for a block that may be NULL (nothing to do then).
inline void kpav_free_if(void* block, ULONG tag) {
    if (block != nullptr) {
        kpav_free(block, tag);
    }
}

// A lookaside cache of objects of one size, named "<object>-strovane".
struct kpav_cache {
    PNPAGED_LOOKASIDE_LIST lookaside;
    char name[40];
};

constexpr size_t KPAV_LOOKASIDE_DESCRIPTOR_SIZE = 128;
static_assert(sizeof(NPAGED_LOOKASIDE_LIST) <= KPAV_LOOKASIDE_DESCRIPTOR_SIZE);

// 0, or -KPAV_ENOMEM (logged) when the descriptor cannot be had. A name is cut to 39 characters.
int __kpav_create_cache(kpav_cache* cache, const char* name, size_t object_size);
void kpav_destroy_cache(kpav_cache* cache);

// At most DISPATCH_LEVEL, as the other memory routines (the contiguous buffers' free: APC_LEVEL;
// the user copies: below DISPATCH_LEVEL).
inline void* kpav_cache_alloc(kpav_cache* cache) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    return ExAllocateFromNPagedLookasideList(cache->lookaside);
}

inline void kpav_cache_free(kpav_cache* cache, void* object) {
    KPAV_IRQL_AT_MOST(DISPATCH_LEVEL);
    ExFreeToNPagedLookasideList(cache->lookaside, object);
}

// Frees an object that was still in use when its cache was destroyed: cache objects are pool
// blocks of the cache tag.
inline void kpav_cache_free_after_destroy(void* object) {
    kpav_free(object, KPAV_TAG_SAL);
}

// A zeroed, cached, physically contiguous buffer of KPAV_DMA_CONTIG_SIZE bytes anywhere in
// physical memory; its bus address (its physical address) goes to *bus_address (0 on failure).
constexpr size_t KPAV_DMA_CONTIG_SIZE = 1048576;
void* kpav_dma_alloc_contig(ULONG64* bus_address);
void kpav_dma_free_contig(void* buffer);

// Copies from or to a user-side caller's buffer: 0, or the length when the buffer cannot be
// reached (callers answer -KPAV_EFAULT).
ULONG kpav_copy_from_user(void* destination, const void* user_source, ULONG length);
ULONG kpav_copy_to_user(void* user_destination, const void* source, ULONG length);
