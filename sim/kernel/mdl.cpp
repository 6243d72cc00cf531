#include "sim/kernel/mdl.h"

#include <map>
#include <mutex>

#include "sim/kernel/bugcheck.h"
#include "sim/kernel/control.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/irql.h"
#include "sim/kernel/pool.h"

namespace {

constexpr ULONG mdl_tag = 0x206C644D;  // "Mdl "
constexpr SIZE_T largest_mdl = 0xFFFF;  // Size must fit the header's 16-bit field

// DMA reach that locking added. Ranges are counted per start address, so that two MDLs over
// the same buffer keep it reachable until both are unlocked; memory the card reaches anyway
// (pool, contiguous memory) is not registered again.
struct registration {
    size_t length;
    int locks;
};
std::mutex registrations_mutex;
std::map<uintptr_t, registration> registrations;
std::map<PMDL, uintptr_t> registered_by;

void fill_frames(PMDL mdl) {
    PPFN_NUMBER frames = MmGetMdlPfnArray(mdl);
    ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
    for (ULONG i = 0; i < pages; i++) {
        frames[i] = ((ULONG_PTR)mdl->StartVa >> PAGE_SHIFT) + i;
    }
}

void add_reach(PMDL mdl) {
    auto address = (uintptr_t)MmGetMdlVirtualAddress(mdl);
    size_t length = mdl->ByteCount;
    if (length == 0) {
        return;
    }
    std::lock_guard<std::mutex> g(registrations_mutex);
    auto it = registrations.find(address);
    if (it == registrations.end()) {
        if (sim::kernel::dma_accessible(address, length)) {
            return;
        }
        sim::kernel::dma_register_range((const void*)address, length);
        registrations[address] = registration{length, 1};
    } else {
        if (it->second.length < length) {
            sim::kernel::dma_unregister_range((const void*)address);
            sim::kernel::dma_register_range((const void*)address, length);
            it->second.length = length;
        }
        it->second.locks++;
    }
    registered_by[mdl] = address;
}

void drop_reach(PMDL mdl) {
    std::lock_guard<std::mutex> g(registrations_mutex);
    auto by = registered_by.find(mdl);
    if (by == registered_by.end()) {
        return;
    }
    auto it = registrations.find(by->second);
    registered_by.erase(by);
    if (it != registrations.end() && --it->second.locks == 0) {
        sim::kernel::dma_unregister_range((const void*)it->first);
        registrations.erase(it);
    }
}

}  // namespace

SIZE_T MmSizeOfMdl(PVOID base, SIZE_T length) {
    return sizeof(MDL) + (SIZE_T)ADDRESS_AND_SIZE_TO_SPAN_PAGES(base, length) * sizeof(PFN_NUMBER);
}

void MmInitializeMdl(PMDL mdl, PVOID base, SIZE_T length) {
    mdl->Next = nullptr;
    mdl->Size = (CSHORT)(USHORT)MmSizeOfMdl(base, length);
    mdl->MdlFlags = 0;
    mdl->Process = nullptr;
    mdl->MappedSystemVa = nullptr;
    mdl->StartVa = PAGE_ALIGN(base);
    mdl->ByteCount = (ULONG)length;
    mdl->ByteOffset = BYTE_OFFSET(base);
}

PMDL IoAllocateMdl(PVOID virtual_address, ULONG length, BOOLEAN secondary_buffer, BOOLEAN charge_quota, PVOID irp) {
    UNREFERENCED_PARAMETER(secondary_buffer);
    UNREFERENCED_PARAMETER(charge_quota);
    NT_ASSERT(irp == nullptr);  // the stand-in chains no MDL to an IRP
    SIZE_T size = MmSizeOfMdl(virtual_address, length);
    if (size > largest_mdl) {
        return nullptr;
    }
    auto mdl = (PMDL)ExAllocatePoolWithTag(NonPagedPoolNx, size, mdl_tag);
    if (mdl == nullptr) {
        return nullptr;
    }
    MmInitializeMdl(mdl, virtual_address, length);
    mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
    return mdl;
}

void IoFreeMdl(PMDL mdl) {
    NT_ASSERT((mdl->MdlFlags & MDL_PAGES_LOCKED) == 0);
    ExFreePoolWithTag(mdl, mdl_tag);
}

void MmBuildMdlForNonPagedPool(PMDL mdl) {
    fill_frames(mdl);
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

void MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE access_mode, LOCK_OPERATION operation) {
    UNREFERENCED_PARAMETER(access_mode);
    UNREFERENCED_PARAMETER(operation);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)MmGetMdlVirtualAddress(mdl), KeGetCurrentIrql(), 0, 0);
    }
    NT_ASSERT((mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) == 0);
    fill_frames(mdl);
    add_reach(mdl);
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
}

void MmUnlockPages(PMDL mdl) {
    NT_ASSERT((mdl->MdlFlags & MDL_PAGES_LOCKED) != 0);
    drop_reach(mdl);
    mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
    mdl->MappedSystemVa = nullptr;
}

PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG priority) {
    UNREFERENCED_PARAMETER(priority);
    if ((mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0) {
        return mdl->MappedSystemVa;
    }
    NT_ASSERT((mdl->MdlFlags & MDL_PAGES_LOCKED) != 0);  // only resident pages can be mapped
    if (sim::kernel::faults::should_fail(sim::kernel::fault_site::mdl_mapping)) {
        return nullptr;
    }
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}
