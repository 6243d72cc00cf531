// Pool, lookaside caches, contiguous DMA buffers and user copies of the platform layer.

#include <sys/mman.h>

#include <string>

#include "driver/platform/memory.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

class MemoryTest : public KernelTest {};

TEST_F(MemoryTest, CacheIsNamedTaggedAndReturnsItsObjects) {
    kpav_cache cache;
    std::string long_name(45, 'n');
    ASSERT_EQ(__kpav_create_cache(&cache, long_name.c_str(), 960), 0);
    EXPECT_EQ(std::string(cache.name), std::string(39, 'n'));
    EXPECT_EQ(pool_outstanding("crc4").allocations, 1u);
    EXPECT_EQ(pool_outstanding("crc4").bytes, 128u);
    void* a = kpav_cache_alloc(&cache);
    void* b = kpav_cache_alloc(&cache);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(pool_outstanding("sal4").allocations, 2u);
    EXPECT_EQ(pool_outstanding("sal4").bytes, 1920u);
    kpav_cache_free(&cache, a);
    EXPECT_EQ(kpav_cache_alloc(&cache), a);
    kpav_cache_free(&cache, a);
    kpav_cache_free(&cache, b);
    kpav_destroy_cache(&cache);
    EXPECT_EQ(pool_outstanding("sal4").allocations, 0u);
    EXPECT_EQ(pool_outstanding("crc4").allocations, 0u);
}

TEST_F(MemoryTest, CacheCreationFailureIsLogged) {
    kpav_cache cache;
    fail_nth(fault_site::pool, 1, "crc4");
    EXPECT_EQ(__kpav_create_cache(&cache, "kpav_bio-strovane", 280), -12);
    EXPECT_EQ(log(), std::vector<std::string>{"paverr Corvane driver: 06157 __kpav_create_cache failed because of "
                                              "memory allocation failure (280 bytes)"});
}

TEST_F(MemoryTest, ContiguousBufferIsOneZeroedMegabyteAtItsPhysicalAddress) {
    ULONG64 bus = 1;
    auto* p = (unsigned char*)kpav_dma_alloc_contig(&bus);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(bus, (ULONG64)MmGetPhysicalAddress(p).QuadPart);
    EXPECT_TRUE(dma_accessible(bus, KPAV_DMA_CONTIG_SIZE));
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[KPAV_DMA_CONTIG_SIZE / 2], 0);
    EXPECT_EQ(p[KPAV_DMA_CONTIG_SIZE - 1], 0);
    kpav_dma_free_contig(p);

    fail_nth(fault_site::contiguous_memory, 1);
    bus = 1;
    EXPECT_EQ(kpav_dma_alloc_contig(&bus), nullptr);
    EXPECT_EQ(bus, 0u);
    EXPECT_EQ(log(), std::vector<std::string>{"Alloc contig buffer of size 1048576 failed"});
}

TEST_F(MemoryTest, UserCopiesReturnTheLengthOnAFaultAndNeverCrash) {
    char user[32] = "from the caller";
    char kernel[32] = {};
    EXPECT_EQ(kpav_copy_from_user(kernel, user, sizeof user), 0u);
    EXPECT_STREQ(kernel, "from the caller");
    EXPECT_EQ(kpav_copy_to_user(user, "back", 5), 0u);
    EXPECT_STREQ(user, "back");
    EXPECT_EQ(kpav_copy_from_user(kernel, nullptr, 0), 0u);  // length 0 copies nothing

    void* unmapped = mmap(nullptr, 8192, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(unmapped, MAP_FAILED);
    munmap((char*)unmapped + 4096, 4096);
    EXPECT_EQ(kpav_copy_from_user(kernel, (char*)unmapped + 4096, 16), 16u);
    EXPECT_EQ(kpav_copy_from_user(kernel, (char*)unmapped + 4090, 16), 16u);  // runs off the end
    EXPECT_EQ(kpav_copy_to_user(unmapped, "x", 2), 2u);                      // read-only page
    munmap(unmapped, 4096);
}
