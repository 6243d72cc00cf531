// Memory descriptor lists: their header and frame numbers, locking for DMA reach, system
// mappings and the misuse the stand-in stops.

#include <cstdlib>
#include <vector>

#include "sim/kernel/control.h"
#include "sim/kernel/kernel.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

class MdlTest : public KernelTest {};

constexpr ULONG test_tag = 0x74736554;  // "Test"

TEST_F(MdlTest, AllocatedMdlDescribesTheBufferAndItsFrames) {
    auto* buffer = (char*)ExAllocatePoolWithTag(NonPagedPoolNx, 3 * PAGE_SIZE, test_tag);
    char* start = buffer + 100;
    PMDL mdl = IoAllocateMdl(start, 8100, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(mdl->StartVa, buffer);
    EXPECT_EQ(MmGetMdlByteOffset(mdl), 100u);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 8100u);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), start);
    EXPECT_EQ((SIZE_T)mdl->Size, MmSizeOfMdl(start, 8100));
    EXPECT_EQ(MmSizeOfMdl(start, 8100), sizeof(MDL) + 3 * sizeof(PFN_NUMBER));  // 8100 bytes from 100 span 3 pages
    EXPECT_EQ(pool_outstanding("Mdl ").bytes, sizeof(MDL) + 3 * sizeof(PFN_NUMBER));

    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_NE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL, 0);
    EXPECT_EQ(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA, 0);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute), start);
    PPFN_NUMBER frames = MmGetMdlPfnArray(mdl);
    for (ULONG i = 0; i < 3; i++) {
        EXPECT_EQ(frames[i] << PAGE_SHIFT, (PFN_NUMBER)MmGetPhysicalAddress(buffer + i * PAGE_SIZE).QuadPart) << i;
    }
    IoFreeMdl(mdl);
    ExFreePoolWithTag(buffer, test_tag);

    fail_always(fault_site::pool, "Mdl ");
    EXPECT_EQ(IoAllocateMdl(start, 10, FALSE, FALSE, nullptr), nullptr);
    clear_faults();
    EXPECT_EQ(IoAllocateMdl(start, 64u << 20, FALSE, FALSE, nullptr), nullptr);  // too large for one MDL
}

TEST_F(MdlTest, LockedPagesAreReachableByDmaUntilTheLastUnlock) {
    // Memory outside pool, as a caller's buffer would be.
    auto* buffer = (char*)std::aligned_alloc(PAGE_SIZE, 2 * PAGE_SIZE);
    char* start = buffer + 10;
    EXPECT_FALSE(dma_accessible((uintptr_t)start, 5000));

    MDL* first = IoAllocateMdl(start, 5000, FALSE, FALSE, nullptr);
    std::vector<ULONG_PTR> storage((MmSizeOfMdl(start, 5000) + sizeof(ULONG_PTR) - 1) / sizeof(ULONG_PTR));
    auto* second = (PMDL)storage.data();
    MmInitializeMdl(second, start, 5000);
    EXPECT_EQ(second->MdlFlags, 0);

    MmProbeAndLockPages(first, KernelMode, IoWriteAccess);
    MmProbeAndLockPages(second, KernelMode, IoReadAccess);
    EXPECT_NE(first->MdlFlags & MDL_PAGES_LOCKED, 0);
    EXPECT_TRUE(dma_accessible((uintptr_t)start, 5000));
    EXPECT_EQ(MmGetMdlPfnArray(first)[1], ((ULONG_PTR)buffer >> PAGE_SHIFT) + 1);

    EXPECT_EQ(MmGetSystemAddressForMdlSafe(first, HighPagePriority), start);
    EXPECT_NE(first->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA, 0);
    expect_bug_check(SIM_ASSERTION_FAILURE, [&] { IoFreeMdl(first); });  // still locked

    MmUnlockPages(first);
    EXPECT_EQ(first->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA), 0);
    EXPECT_TRUE(dma_accessible((uintptr_t)start, 5000));  // the second MDL still holds them
    MmUnlockPages(second);
    EXPECT_FALSE(dma_accessible((uintptr_t)start, 5000));
    expect_bug_check(SIM_ASSERTION_FAILURE, [&] { MmUnlockPages(second); });  // not locked
    expect_bug_check(SIM_ASSERTION_FAILURE, [&] { MmGetSystemAddressForMdlSafe(second, NormalPagePriority); });

    IoFreeMdl(first);
    std::free(buffer);
}
