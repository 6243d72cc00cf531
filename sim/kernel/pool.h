// Memory: tagged pool, lookaside lists, interlocked singly linked lists, contiguous memory and
// physical addresses.
//
// Pool is counted per tag (control.h); allocations can be made to fail on purpose. Physical and
// bus addresses equal host addresses, so the card model reaches host memory directly.
#pragma once

#include "sim/kernel/types.h"

enum POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
};

enum EX_POOL_PRIORITY {
    LowPoolPriority = 0,
    NormalPoolPriority = 16,
    HighPoolPriority = 32,
};

// Pool blocks of a page or more are page aligned, smaller ones 16-byte aligned. Contents are not
// zeroed. Non-paged pool may be used at or below DISPATCH_LEVEL, paged pool below it.
PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag);
PVOID ExAllocatePoolWithTagPriority(POOL_TYPE type, SIZE_T size, ULONG tag, EX_POOL_PRIORITY priority);
PVOID ExAllocatePool(POOL_TYPE type, SIZE_T size);
void ExFreePoolWithTag(PVOID block, ULONG tag);
void ExFreePool(PVOID block);

// ---------------------------------------------------------------------------------------------
// Interlocked singly linked lists (entries 16-byte aligned)

struct alignas(16) SLIST_ENTRY {
    SLIST_ENTRY* Next;
};
using PSLIST_ENTRY = SLIST_ENTRY*;

struct alignas(16) SLIST_HEADER {
    SLIST_ENTRY* First;
    USHORT Depth;
    USHORT Sequence;
    volatile LONG Lock;  // the stand-in's list lock
};
using PSLIST_HEADER = SLIST_HEADER*;
static_assert(sizeof(SLIST_HEADER) == 16);

void InitializeSListHead(PSLIST_HEADER head);
PSLIST_ENTRY InterlockedPushEntrySList(PSLIST_HEADER head, PSLIST_ENTRY entry);
PSLIST_ENTRY InterlockedPopEntrySList(PSLIST_HEADER head);
PSLIST_ENTRY InterlockedFlushSList(PSLIST_HEADER head);
USHORT QueryDepthSList(PSLIST_HEADER head);
#define ExInterlockedPushEntrySList(head, entry, lock) InterlockedPushEntrySList(head, entry)
#define ExInterlockedPopEntrySList(head, lock) InterlockedPopEntrySList(head)

// ---------------------------------------------------------------------------------------------
// Non-paged lookaside lists. The depth is managed by the system (the depth argument is a hint).

using PALLOCATE_FUNCTION = PVOID (*)(POOL_TYPE type, SIZE_T size, ULONG tag);
using PFREE_FUNCTION = void (*)(PVOID buffer);

struct alignas(16) NPAGED_LOOKASIDE_LIST {
    SLIST_HEADER ListHead;
    USHORT Depth;
    USHORT MaximumDepth;
    ULONG TotalAllocates;
    ULONG AllocateMisses;
    ULONG TotalFrees;
    ULONG FreeMisses;
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    LIST_ENTRY ListEntry;
    ULONG LastTotalAllocates;
    ULONG LastAllocateMisses;
    ULONG_PTR Reserved[4];
};
using PNPAGED_LOOKASIDE_LIST = NPAGED_LOOKASIDE_LIST*;
static_assert(sizeof(NPAGED_LOOKASIDE_LIST) == 128);

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PALLOCATE_FUNCTION allocate,
                                     PFREE_FUNCTION free, ULONG flags, SIZE_T size, ULONG tag, USHORT depth);
void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list);
PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list);
void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PVOID entry);

// ---------------------------------------------------------------------------------------------
// Contiguous memory and physical addresses

enum MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1, MmWriteCombined = 2 };

PVOID MmAllocateContiguousMemorySpecifyCache(SIZE_T size, PHYSICAL_ADDRESS lowest, PHYSICAL_ADDRESS highest,
                                             PHYSICAL_ADDRESS boundary, MEMORY_CACHING_TYPE cache_type);
PVOID MmAllocateContiguousMemory(SIZE_T size, PHYSICAL_ADDRESS highest);
// The same, preferring memory of NUMA node `preferred_node` (the machine has one memory).
PVOID MmAllocateContiguousNodeMemory(SIZE_T size, PHYSICAL_ADDRESS lowest, PHYSICAL_ADDRESS highest,
                                     PHYSICAL_ADDRESS boundary, ULONG protect, ULONG preferred_node);
void MmFreeContiguousMemory(PVOID base);
PHYSICAL_ADDRESS MmGetPhysicalAddress(PVOID base);

#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) memmove((d), (s), (n))
#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlFillMemory(d, n, v) memset((d), (v), (n))
#define RtlCompareMemory(a, b, n) sim_compare_memory((a), (b), (n))
SIZE_T sim_compare_memory(const void* a, const void* b, SIZE_T length);

// ---------------------------------------------------------------------------------------------
// User buffers. The kernel reaches a user buffer under an exception handler; the stand-in's
// equivalent is a guarded copy that reports a bad address instead of faulting. The memory is
// the calling thread's user process (control.h), this process by default; a thread of the
// system process (a system thread, a worker, a DPC) has no user memory, and its copies fail.

BOOLEAN SimCopyFromUser(PVOID destination, const void* user_source, SIZE_T length);
BOOLEAN SimCopyToUser(PVOID user_destination, const void* source, SIZE_T length);
