// The per-device bio pool: what it takes at creation and what it gives back, its bound on bios,
// its waiters (woken one per bio freed, given up at shutdown), shutdown and reopening, callers
// that may not wait, and a card that has no request to give.
#include <atomic>
#include <thread>
#include <vector>

#include "driver/block/bio.h"
#include "sim/kernel/control.h"
#include "tests/driver/block/bio_fixture.h"

using namespace sim::kernel;

namespace {

class BioPoolTest : public BioTest {};

class SmallBioPoolTest : public BioTest {
  protected:
    LONG min_bios() const override { return 2; }
    LONG max_bios() const override { return 2; }
};

ULONG64 per_bio(ULONG entries) {
    return 280 + (entries + 1) * 16ull;
}

TEST_F(BioPoolTest, CreationTakesTheFirstBiosAndCountsTheirMemory) {
    EXPECT_EQ(pool_->allocated, 8u);
    EXPECT_EQ(pool_->free_count, 8u);
    EXPECT_EQ(pool_->reserve, 1u);
    EXPECT_EQ((ULONG64)memory_.alloced_bytes, 8 * per_bio(16));

    mem_stats other;
    mem_stats_init(&other);
    bio_pool* second = nullptr;
    ASSERT_EQ(bio_pool_create(&second, nullptr, 32, &other), 0);
    EXPECT_EQ((ULONG64)other.alloced_bytes, 8 * per_bio(32));
    bio_pool_destroy(&second, &other);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(other.alloced_bytes, 0);
    EXPECT_EQ((ULONG64)other.high_bytes, 8 * per_bio(32));
}

TEST_F(BioPoolTest, ACreationThatRunsOutOfMemoryLeavesNothingAllocated) {
    // The pool record, then each of the eight bios.
    for (uint64_t nth = 1; nth <= 9; nth++) {
        mem_stats other;
        mem_stats_init(&other);
        pool_usage before = pool_outstanding("mal4");
        fail_nth(fault_site::pool, nth);
        bio_pool* failed = nullptr;
        EXPECT_EQ(bio_pool_create(&failed, nullptr, 16, &other), -12) << "allocation " << nth;
        clear_faults();
        EXPECT_EQ(failed, nullptr);
        // The bios taken went back to the cache (which may keep some until it is destroyed: the
        // test's end finds every tag back at zero).
        EXPECT_EQ(pool_outstanding("mal4"), before) << "allocation " << nth;
        EXPECT_EQ(other.alloced_bytes, 0);
    }
}

TEST_F(BioPoolTest, ABioComesZeroedWithARequestAndGoesBack) {
    bio* b = nullptr;
    ASSERT_EQ(bio_alloc(pool_, device_, &b), 0);
    EXPECT_EQ(b->origin, device_);
    EXPECT_EQ(b->target, device_);
    EXPECT_EQ(b->pool, pool_);
    ASSERT_NE(b->ioctx, nullptr);
    EXPECT_EQ(b->list, b->ioctx->list);
    EXPECT_NE(b->ioctx->request->flags & REQ_CALLER_FREES, 0u);
    EXPECT_EQ(b->base, ~0ull);
    EXPECT_EQ(b->discard_mark, ~0ull);
    EXPECT_EQ(b->count, 0u);
    EXPECT_EQ(b->command, 0u);
    EXPECT_EQ(b->next, nullptr);
    EXPECT_EQ(in_use(), 1u);
    LONG requests = channel_.pool.free_request_count;
    bio_free_chain(b);
    EXPECT_EQ(in_use(), 0u);
    EXPECT_EQ(pool_->free_count, 8u);
    // The request went back to the card (its processor's cache or the shared list).
    EXPECT_GE(channel_.pool.free_request_count, requests);
}

TEST_F(BioPoolTest, BiosBeyondTheFirstAreTakenUpToTheMostAndNoFurther) {
    pav_max_num_bios = 12;
    std::vector<bio*> taken(12);
    for (bio*& b : taken) ASSERT_EQ(bio_alloc(pool_, device_, &b), 0);
    EXPECT_EQ(pool_->allocated, 12u);
    EXPECT_EQ((ULONG64)memory_.alloced_bytes, 12 * per_bio(16));
    // A caller that may not sleep gets -12 where others would wait.
    bio* more = nullptr;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(bio_alloc(pool_, device_, &more), -12);
    KeLowerIrql(old);
    EXPECT_EQ(pool_->allocated, 12u);
    EXPECT_EQ(pool_->waiters, 0u);
    for (bio* b : taken) bio_free_chain(b);
}

TEST_F(BioPoolTest, AFirstCountAboveTheMostIsCutToIt) {
    pav_min_num_bios = 20;
    pav_max_num_bios = 4;
    mem_stats other;
    mem_stats_init(&other);
    bio_pool* pool = nullptr;
    ASSERT_EQ(bio_pool_create(&pool, nullptr, 16, &other), 0);
    EXPECT_EQ(pool->allocated, 4u);
    bio_pool_destroy(&pool, &other);
}

TEST_F(BioPoolTest, ACardWithoutRequestsGivesTheBioBack) {
    std::vector<tavrin_ioctx*> requests;
    while (tavrin_ioctx* c = request_alloc(&channel_, 0)) requests.push_back(c);
    bio* b = nullptr;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(bio_alloc(pool_, device_, &b), -12);
    KeLowerIrql(old);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(in_use(), 0u);
    EXPECT_EQ(pool_->free_count, 8u);
    for (tavrin_ioctx* c : requests) request_free(c->request);
}

TEST_F(SmallBioPoolTest, AThirdBioWaitsUntilOneIsFreed) {
    bio* a = take(BIO_READ, 0, 1);
    bio* b = take(BIO_READ, 1, 1);
    std::atomic<bio*> third{nullptr};
    bounded_thread waiter("third bio", [&] {
        bio* c = nullptr;
        EXPECT_EQ(bio_alloc(pool_, device_, &c), 0);
        third = c;
    });
    ASSERT_TRUE(eventually([&] {
        kpav_spin_lock(&pool_->lock);
        bool waiting = pool_->waiters == 1;
        kpav_spin_unlock(&pool_->lock);
        return waiting;
    }));
    EXPECT_EQ(third.load(), nullptr);
    bio_free_chain(a);
    waiter.join();
    ASSERT_NE(third.load(), nullptr);
    EXPECT_EQ(pool_->allocated, 2u);
    bio_free_chain(b);
    bio_free_chain(third.load());
}

TEST_F(SmallBioPoolTest, FreesInABurstWakeEveryWaiter) {
    pav_max_num_bios = 3;
    std::vector<bio*> taken = {take(BIO_READ, 0, 1), take(BIO_READ, 1, 1), take(BIO_READ, 2, 1)};
    std::atomic<int> got{0};
    std::vector<bio*> theirs(3, nullptr);
    std::vector<std::unique_ptr<bounded_thread>> waiters;
    for (int i = 0; i < 3; i++) {
        waiters.push_back(std::make_unique<bounded_thread>("waiter", [&, i] {
            EXPECT_EQ(bio_alloc(pool_, device_, &theirs[i]), 0);
            got++;
        }));
    }
    ASSERT_TRUE(eventually([&] {
        kpav_spin_lock(&pool_->lock);
        bool all = pool_->waiters == 3;
        kpav_spin_unlock(&pool_->lock);
        return all;
    }));
    // The free count may go 1, 2, 3 before a woken waiter runs: each free wakes one.
    for (bio* b : taken) bio_free_chain(b);
    for (auto& w : waiters) w->join();
    EXPECT_EQ(got.load(), 3);
    for (bio* b : theirs) bio_free_chain(b);
}

TEST_F(SmallBioPoolTest, ShutdownRefusesBiosWakesWaitersAndWaitsForThoseInUse) {
    bio* a = take(BIO_READ, 0, 1);
    bio* b = take(BIO_READ, 1, 1);
    std::atomic<int> waiter_result{1};
    bounded_thread waiter("waiter", [&] {
        bio* c = nullptr;
        waiter_result = bio_alloc(pool_, device_, &c);
    });
    ASSERT_TRUE(eventually([&] {
        kpav_spin_lock(&pool_->lock);
        bool waiting = pool_->waiters == 1;
        kpav_spin_unlock(&pool_->lock);
        return waiting;
    }));
    std::atomic<bool> shut{false};
    bounded_thread shutter("shutdown", [&] {
        bio_pool_shutdown(pool_);
        shut = true;
    });
    waiter.join();
    EXPECT_EQ(waiter_result.load(), -5);
    bio_free_chain(a);
    // One bio is still in use: the shutdown waits for it.
    EXPECT_FALSE(shut.load());
    bio_free_chain(b);
    shutter.join();
    EXPECT_TRUE(shut.load());

    // Free bios exist, and still none is handed out.
    bio* refused = nullptr;
    EXPECT_EQ(bio_alloc(pool_, device_, &refused), -5);
    bio_pool_reopen(pool_);
    bio* again = take(BIO_READ, 0, 1);
    ASSERT_NE(again, nullptr);
    bio_free_chain(again);
}

// Many submitters share a pool far smaller than their number of bios in flight: every one of
// them gets its bios, the pool never takes more than its most, and every bio comes back.
TEST_F(SmallBioPoolTest, ManyThreadsShareASmallPool) {
    pav_max_num_bios = 6;
    constexpr int threads = 8;
    constexpr int rounds = 300;
    std::atomic<int> done{0};
    std::atomic<ULONG> most{0};
    std::vector<std::unique_ptr<bounded_thread>> workers;
    for (int t = 0; t < threads; t++) {
        workers.push_back(std::make_unique<bounded_thread>("submitter", [&, t] {
            set_current_processor((ULONG)t % 4);
            for (int i = 0; i < rounds; i++) {
                bio* b = nullptr;
                ASSERT_EQ(bio_alloc(pool_, device_, &b), 0);
                kpav_spin_lock(&pool_->lock);
                ULONG allocated = pool_->allocated;
                kpav_spin_unlock(&pool_->lock);
                ULONG seen = most.load();
                while (allocated > seen && !most.compare_exchange_weak(seen, allocated)) {
                }
                bio_free_chain(b);
            }
            done++;
        }));
    }
    for (auto& w : workers) w->join();
    EXPECT_EQ(done.load(), threads);
    EXPECT_LE(most.load(), 6u);
    EXPECT_EQ(in_use(), 0u);
    EXPECT_EQ(pool_->waiters, 0u);
}

}  // namespace
