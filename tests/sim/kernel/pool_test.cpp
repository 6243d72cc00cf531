// Pool accounting and planned failures, lookaside lists, contiguous memory, DMA reach and user
// buffer copies.

#include <sys/mman.h>

#include <cstring>

#include "sim/kernel/control.h"
#include "sim/kernel/kernel.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

class PoolTest : public KernelTest {};

constexpr ULONG tag_of(const char* t) {
    return (ULONG)t[0] | (ULONG)t[1] << 8 | (ULONG)t[2] << 16 | (ULONG)t[3] << 24;
}

TEST_F(PoolTest, CountsOutstandingPoolPerTagAndRefusesBadFrees) {
    void* small = ExAllocatePoolWithTag(NonPagedPoolNx, 100, tag_of("abc4"));
    void* page = ExAllocatePoolWithTag(NonPagedPoolNx, 8192, tag_of("abc4"));
    ASSERT_NE(small, nullptr);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ((uintptr_t)small % 16, 0u);
    EXPECT_EQ((uintptr_t)page % PAGE_SIZE, 0u);
    EXPECT_EQ(pool_outstanding("abc4").allocations, 2u);
    EXPECT_EQ(pool_outstanding("abc4").bytes, 8292u);
    EXPECT_TRUE(dma_accessible((uintptr_t)page + 4096, 4096));
    EXPECT_FALSE(dma_accessible((uintptr_t)page + 4096, 4097));

    expect_bug_check(BAD_POOL_CALLER, [&] { ExFreePoolWithTag(small, tag_of("xyz4")); });
    ExFreePoolWithTag(small, tag_of("abc4"));
    expect_bug_check(BAD_POOL_CALLER, [&] { ExFreePoolWithTag(small, tag_of("abc4")); });  // twice
    ExFreePool(page);
    EXPECT_EQ(pool_outstanding("abc4").allocations, 0u);
}

TEST_F(PoolTest, NewPoolAndContiguousMemoryHoldThePatternOverTheirWholeLength) {
    // Not zero anywhere, so that a caller that forgets to zero (or zeroes only a part) shows.
    constexpr size_t size = 3 << 20;
    auto only_pattern = [](const void* p, size_t length) {
        const auto* bytes = (const UCHAR*)p;
        for (size_t i = 0; i < length; i++) {
            if (bytes[i] != 0xA5) {
                return false;
            }
        }
        return true;
    };
    void* pool = ExAllocatePoolWithTag(NonPagedPoolNx, size, tag_of("pat4"));
    ASSERT_NE(pool, nullptr);
    EXPECT_TRUE(only_pattern(pool, size));
    ExFreePoolWithTag(pool, tag_of("pat4"));
    PHYSICAL_ADDRESS low{}, high, boundary{};
    high.QuadPart = -1;
    void* contiguous = MmAllocateContiguousMemorySpecifyCache(size, low, high, boundary, MmCached);
    ASSERT_NE(contiguous, nullptr);
    EXPECT_TRUE(only_pattern(contiguous, size));
    MmFreeContiguousMemory(contiguous);
}

TEST_F(PoolTest, PlannedFailuresHitTheNthAttemptOrATag) {
    fail_nth(fault_site::pool, 3);
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag_of("aaa4"));
    void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag_of("aaa4"));
    void* c = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag_of("aaa4"));
    void* d = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag_of("aaa4"));
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(c, nullptr);
    EXPECT_NE(d, nullptr);
    fail_always(fault_site::pool, "bbb4");
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag_of("bbb4")), nullptr);
    void* e = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag_of("aaa4"));
    EXPECT_NE(e, nullptr);
    clear_faults();
    for (void* p : {a, b, d, e}) {
        ExFreePool(p);
    }
}

TEST_F(PoolTest, LookasideListKeepsFreedEntriesAndCountsMisses) {
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 200, tag_of("sal4"), 0);
    void* first = ExAllocateFromNPagedLookasideList(&list);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(list.AllocateMisses, 1u);
    ExFreeToNPagedLookasideList(&list, first);
    void* again = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(again, first);  // served from the list
    EXPECT_EQ(list.TotalAllocates, 2u);
    EXPECT_EQ(list.AllocateMisses, 1u);
    // A planned failure hits list entries as well as misses.
    ExFreeToNPagedLookasideList(&list, again);
    fail_nth(fault_site::pool, 1, "sal4");
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    EXPECT_EQ(pool_outstanding("sal4").allocations, 1u);  // the cached entry stays cached
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(pool_outstanding("sal4").allocations, 0u);
}

TEST_F(PoolTest, SinglyLinkedListIsLastInFirstOut) {
    SLIST_HEADER head;
    InitializeSListHead(&head);
    SLIST_ENTRY entries[3];
    for (auto& e : entries) {
        InterlockedPushEntrySList(&head, &e);
    }
    EXPECT_EQ(QueryDepthSList(&head), 3);
    EXPECT_EQ(InterlockedPopEntrySList(&head), &entries[2]);
    PSLIST_ENTRY rest = InterlockedFlushSList(&head);
    EXPECT_EQ(rest, &entries[1]);
    EXPECT_EQ(rest->Next, &entries[0]);
    EXPECT_EQ(InterlockedPopEntrySList(&head), nullptr);
}

TEST_F(PoolTest, ContiguousMemoryIsPageAlignedAndReachableByDma) {
    PHYSICAL_ADDRESS low{}, high, boundary{};
    high.QuadPart = -1;
    void* p = MmAllocateContiguousMemorySpecifyCache(1 << 20, low, high, boundary, MmCached);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ((uintptr_t)p % PAGE_SIZE, 0u);
    EXPECT_EQ((uintptr_t)MmGetPhysicalAddress(p).QuadPart, (uintptr_t)p);
    EXPECT_TRUE(dma_accessible((uintptr_t)p, 1 << 20));
    EXPECT_EQ(pool_outstanding("(contiguous)").bytes, 1u << 20);
    MmFreeContiguousMemory(p);
    EXPECT_FALSE(dma_accessible((uintptr_t)p, 1));
    fail_nth(fault_site::contiguous_memory, 1);
    EXPECT_EQ(MmAllocateContiguousMemorySpecifyCache(4096, low, high, boundary, MmCached), nullptr);
}

TEST_F(PoolTest, UserCopiesReportBadAddressesInsteadOfFaulting) {
    char source[16] = "user data";
    char destination[16] = {};
    EXPECT_TRUE(SimCopyFromUser(destination, source, sizeof source));
    EXPECT_STREQ(destination, "user data");

    void* hole = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(hole, MAP_FAILED);
    EXPECT_FALSE(SimCopyFromUser(destination, hole, 8));
    EXPECT_FALSE(SimCopyToUser(hole, source, 8));
    EXPECT_FALSE(SimCopyFromUser(destination, (void*)16, 8));
    munmap(hole, 4096);
}
