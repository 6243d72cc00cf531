// Memory descriptor lists: a buffer's virtual range and, right behind the header, the page
// frame numbers of its pages.
//
// Physical addresses are host addresses, so the frame number of a page is its host address
// shifted right by PAGE_SHIFT. Locking pages makes them reachable by the card's DMA
// (control.h, dma_accessible) until they are unlocked. Mapping to system space gives the
// buffer's own address: the stand-in has one address space.
#pragma once

#include "sim/kernel/sync.h"
#include "sim/kernel/types.h"

struct MDL {
    MDL* Next;
    CSHORT Size;  // bytes of the header and its frame numbers
    CSHORT MdlFlags;
    PVOID Process;
    PVOID MappedSystemVa;
    PVOID StartVa;  // page aligned
    ULONG ByteCount;
    ULONG ByteOffset;
};
using PMDL = MDL*;
static_assert(sizeof(MDL) == 48 && offsetof(MDL, MappedSystemVa) == 24 && offsetof(MDL, ByteOffset) == 44);

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008

enum LOCK_OPERATION { IoReadAccess = 0, IoWriteAccess = 1, IoModifyAccess = 2 };

enum MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 };
#define MdlMappingNoWrite 0x80000000u
#define MdlMappingNoExecute 0x40000000u

SIZE_T MmSizeOfMdl(PVOID base, SIZE_T length);
void MmInitializeMdl(PMDL mdl, PVOID base, SIZE_T length);

// An MDL from non-paged pool (failure injection: the pool site, tag "Mdl "), or NULL. The
// stand-in chains no MDL to an IRP: `irp` must be NULL.
PMDL IoAllocateMdl(PVOID virtual_address, ULONG length, BOOLEAN secondary_buffer, BOOLEAN charge_quota, PVOID irp);
// The MDL's pages must have been unlocked first.
void IoFreeMdl(PMDL mdl);

// Fills the frame numbers of a buffer in non-paged memory, which is mapped already.
void MmBuildMdlForNonPagedPool(PMDL mdl);
// Fills the frame numbers and keeps the pages resident and reachable by DMA until
// MmUnlockPages. The stand-in trusts the address (the kernel would raise on a bad one).
void MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE access_mode, LOCK_OPERATION operation);
void MmUnlockPages(PMDL mdl);
// The buffer's system address: the mapping already made, or a new one for locked pages.
PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG priority);

inline ULONG MmGetMdlByteOffset(const MDL* mdl) {
    return mdl->ByteOffset;
}

inline ULONG MmGetMdlByteCount(const MDL* mdl) {
    return mdl->ByteCount;
}

inline PVOID MmGetMdlVirtualAddress(const MDL* mdl) {
    return (PUCHAR)mdl->StartVa + mdl->ByteOffset;
}

inline PPFN_NUMBER MmGetMdlPfnArray(PMDL mdl) {
    return (PPFN_NUMBER)(mdl + 1);
}
