// Zeroed pages and the page pool: how a pool fills itself, its footprint warning, where pages go
// back, and that a page handed out is never also a spare.
#include <cstring>
#include <set>

#include "driver/log/page_pool.h"
#include "driver/platform/mem_chunk.h"
#include "sim/kernel/control.h"
#include "tests/support/kernel_fixture.h"

namespace {

class PagePoolTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        mem_stats_init(&counter_);
    }
    std::set<void*> spares(pav_page_pool* pool) {
        std::set<void*> pages;
        for (LIST_ENTRY* e = pool->spare.Flink; e != &pool->spare; e = e->Flink) pages.insert(e);
        return pages;
    }
    mem_stats counter_;
};

bool all_zero(const void* page) {
    const UCHAR* p = (const UCHAR*)page;
    for (ULONG i = 0; i < PAV_PAGE_SIZE; i++) {
        if (p[i] != 0) return false;
    }
    return true;
}

TEST_F(PagePoolTest, AnEmptyPoolFillsItselfAndHandsOutThePageAfter) {
    pav_page_pool pool;
    pav_page_pool_init(&pool, "dov0", &counter_, false);
    void* page = nullptr;
    ASSERT_EQ(pav_page_pool_get(&page, &pool), 0);
    EXPECT_TRUE(all_zero(page));
    EXPECT_EQ(pool.spare_count, 512u);
    EXPECT_EQ(spares(&pool).size(), 512u);
    EXPECT_EQ(spares(&pool).count(page), 0u);
    EXPECT_EQ(counter_.alloced_bytes, 513 * 4096);
    EXPECT_EQ(counter_.high_bytes, 513 * 4096);

    // With 512 spares a returned page is freed.
    std::memset(page, 0x5A, PAV_PAGE_SIZE);
    EXPECT_EQ(pav_page_pool_put(&pool, page), 0);
    EXPECT_EQ(pool.spare_count, 512u);
    EXPECT_EQ(counter_.alloced_bytes, 512 * 4096);
    EXPECT_EQ(counter_.high_bytes, 513 * 4096);

    // A spare comes back zeroed.
    void* again = nullptr;
    ASSERT_EQ(pav_page_pool_get(&again, &pool), 0);
    EXPECT_TRUE(all_zero(again));
    pav_page_pool_put(&pool, again);
    pav_mempool_destroy(&pool);
    EXPECT_EQ(counter_.alloced_bytes, 0);
    EXPECT_EQ(pool.has_pages, 0);
}

// An allocation failure while the pool fills itself hands out the last page allocated, which
// must then not stay on the spare list as well.
TEST_F(PagePoolTest, APageHandedOutIsNeverASpare) {
    pav_page_pool pool;
    pav_page_pool_init(&pool, "dov0", &counter_, false);
    sim::kernel::fail_nth(sim::kernel::fault_site::pool, 10, "zpg4");
    void* page = nullptr;
    ASSERT_EQ(pav_page_pool_get(&page, &pool), 0);
    sim::kernel::clear_faults();
    EXPECT_EQ(pool.spare_count, 8u);
    EXPECT_EQ(spares(&pool).count(page), 0u);
    EXPECT_TRUE(all_zero(page));
    EXPECT_EQ(counter_.alloced_bytes, 9 * 4096);
    std::set<void*> out = {page};
    for (int i = 0; i < 8; i++) {
        sim::kernel::fail_always(sim::kernel::fault_site::pool, "zpg4");
        void* p = nullptr;
        ASSERT_EQ(pav_page_pool_get(&p, &pool), 0) << "a spare when no page can be allocated";
        EXPECT_TRUE(out.insert(p).second) << "a page handed out twice";
    }
    void* none = nullptr;
    EXPECT_EQ(pav_page_pool_get(&none, &pool), -12);
    EXPECT_EQ(none, nullptr);
    EXPECT_TRUE(logged("paverr Corvane driver: 06159 Alloc zero (0) page failed due to memory allocation failure."));
    sim::kernel::clear_faults();
    for (void* p : out) pav_page_pool_put(&pool, p);
    pav_mempool_destroy(&pool);
    EXPECT_EQ(counter_.alloced_bytes, 0);
}

TEST_F(PagePoolTest, APreallocatedPoolWarnsOnceWhenItRunsOut) {
    pav_page_pool pool;
    pav_page_pool_init(&pool, "dov3", &counter_, true);
    ASSERT_EQ(pav_page_pool_fill(&pool, 4), 0);
    EXPECT_EQ(counter_.alloced_bytes, 4 * 4096);
    void* pages[6];
    for (int i = 0; i < 6; i++) {
        ASSERT_EQ(pav_page_pool_get(&pages[i], &pool), 0);
    }
    int warnings = 0;
    for (auto& line : log()) warnings += line == "dov3: preallocated memory footprint exceeded\n";
    EXPECT_EQ(warnings, 1);
    EXPECT_EQ(pool.spare_count, 0u) << "a preallocated pool does not fill itself";
    for (void* p : pages) pav_page_pool_put(&pool, p);
    EXPECT_EQ(pool.spare_count, 6u) << "a preallocated pool keeps every page";
    pav_mempool_destroy(&pool);
    EXPECT_EQ(counter_.alloced_bytes, 0);

    // A fill that cannot be completed adds nothing.
    sim::kernel::fail_nth(sim::kernel::fault_site::pool, 3, "zpg4");
    EXPECT_EQ(pav_page_pool_fill(&pool, 5), -12);
    sim::kernel::clear_faults();
    EXPECT_EQ(pool.spare_count, 0u);
    EXPECT_EQ(counter_.alloced_bytes, 0);
}

TEST_F(PagePoolTest, ZeroedPagesComeFromThePageChunksFirst) {
    ASSERT_TRUE(pav_mem_chunk_init());
    uint64_t pool_pages = sim::kernel::pool_outstanding("zpg4").allocations;
    void* page = pav_zero_page_alloc();
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(all_zero(page));
    EXPECT_EQ(sim::kernel::pool_outstanding("zpg4").allocations, pool_pages) << "no pool page of its own";
    pav_zero_page_free(page);
    pav_mem_chunk_exit();
}

TEST_F(PagePoolTest, EntryPoolHolds128FreeEntries) {
    pav_entry_pool pool;
    ASSERT_EQ(pav_mempool_init(&pool), 0);
    EXPECT_EQ(pool.free_count, 128u);
    ULONG n = 0;
    for (LIST_ENTRY* e = pool.free.Flink; e != &pool.free; e = e->Flink) {
        auto* entry = CONTAINING_RECORD(e, pav_pool_entry, link);
        EXPECT_TRUE(IsListEmpty(&entry->inner));
        n++;
    }
    EXPECT_EQ(n, 128u);
    EXPECT_TRUE(IsListEmpty(&pool.used));
    EXPECT_EQ(sim::kernel::pool_outstanding("mal4").bytes, 25600u);
    pav_mempool_exit(&pool);
    sim::kernel::fail_always(sim::kernel::fault_site::pool, "mal4");
    EXPECT_EQ(pav_mempool_init(&pool), -12);
    sim::kernel::clear_faults();
    pav_mempool_exit(&pool);
}

}  // namespace
