// Range locks: table sizing, the overlap query over slots and the large list, and exclusive
// acquisition with waiting, including many lockers at once.
#include "driver/log/range_lock.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <random>
#include <thread>

#include "driver/pipeline/request.h"
#include "tests/support/kernel_fixture.h"

namespace {

class RangeLockTest : public KernelTest {
  protected:
    void TearDown() override {
        if (locks_.table.buckets != nullptr) datalog_range_table_free(&locks_);
        KernelTest::TearDown();
    }
    velkor_request* range(ULONG64 start, ULONG64 count) {
        requests_.emplace_back();
        velkor_request* r = &requests_.back();
        std::memset((void*)r, 0, sizeof(*r));
        r->range_lba = start;
        r->range_count = count;
        InitializeListHead(&r->range_link);
        InitializeListHead(&r->chain_link);
        r->chain_head = r;
        return r;
    }
    // Enters a range as the pipeline does for a queued write.
    velkor_request* in_flight(ULONG64 start, ULONG64 count) {
        velkor_request* r = range(start, count);
        r->range_table = &locks_.table;
        lba_range_insert(&locks_.table, r);
        return r;
    }

    lba_range_locks locks_{};
    std::deque<velkor_request> requests_;
};

TEST_F(RangeLockTest, SlotsCoverAtLeast8188Sectors) {
    struct sizing {
        ULONG64 capacity;
        ULONG slots;
    } cases[] = {
        {8188ull * 4096, 4096},
        {8188ull * 4096 * 10, 4096},
        {8188ull * 4096 - 1, 2048},
        {8188ull * 3, 2},
        {100, 1},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(datalog_range_table_init(&locks_, c.capacity), 0);
        EXPECT_EQ(locks_.table.bucket_count, c.slots) << c.capacity;
        EXPECT_GE(locks_.table.width, 8188u) << c.capacity;
        datalog_range_table_free(&locks_);
    }
}

TEST_F(RangeLockTest, QueriesFindTheLowestOverlap) {
    ASSERT_EQ(datalog_range_table_init(&locks_, 8188ull * 4096), 0);
    const ULONG64 w = locks_.table.width;
    in_flight(10000, 2048);           // a slot's range
    in_flight(50000, 2049);           // the large list
    in_flight(3 * w - 100, 50);       // near a slot's end
    in_flight(3 * w + 500, 100);      // the next slot
    in_flight(3 * w + 500, 300);      // same start, longer
    EXPECT_EQ(locks_.table.large_count, 1);
    ULONG64 offset = 99;
    EXPECT_EQ(lba_range_lock(&locks_.table, 0, 10000, &offset), 0u);
    EXPECT_EQ(lba_range_lock(&locks_.table, 9000, 2000, &offset), 1000u);
    EXPECT_EQ(offset, 1000u);
    EXPECT_EQ(lba_range_lock(&locks_.table, 12047, 10, &offset), 1u) << "the range's last sector";
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(lba_range_lock(&locks_.table, 52000, 100, &offset), 49u);
    // A range that began in the slot before.
    EXPECT_EQ(lba_range_lock(&locks_.table, 3 * w - 60, 20, &offset), 10u);
    EXPECT_EQ(offset, 0u);
    // Ties at the same start: the longer one.
    EXPECT_EQ(lba_range_lock(&locks_.table, 3 * w + 500, 1000, &offset), 300u);
    // A long query reaches ranges in slots between its first and its last.
    in_flight(22 * w + 5, 10);
    EXPECT_EQ(lba_range_lock(&locks_.table, 20 * w, 4 * w, &offset), 10u);
    EXPECT_EQ(offset, 2 * w + 5);
    // Unlock takes the chain's ranges out.
    velkor_request* head = in_flight(900000, 8);
    velkor_request* tail = in_flight(900100, 3000);
    InsertTailList(&head->chain_link, &tail->chain_link);
    EXPECT_NE(lba_range_lock(&locks_.table, 900000, 4000, &offset), 0u);
    lba_range_unlock(&locks_.table, head);
    EXPECT_EQ(lba_range_lock(&locks_.table, 900000, 4000, &offset), 0u);
    EXPECT_EQ(locks_.table.large_count, 1);
}

TEST_F(RangeLockTest, OverlapsWaitAndDisjointRangesDoNot) {
    ASSERT_EQ(datalog_range_table_init(&locks_, 1u << 24), 0);
    velkor_request* a = range(1000, 100);
    velkor_request* b = range(1050, 10);
    velkor_request* c = range(1100, 100);
    ASSERT_EQ(lba_range_acquire(&locks_, a, KPAV_NO_TIMEOUT), 0);
    ASSERT_EQ(lba_range_acquire(&locks_, c, 0), 0) << "disjoint: no wait";
    EXPECT_EQ(lba_range_acquire(&locks_, b, 20000), -16) << "overlapping: waits, bounded";
    std::atomic<int> got{1};
    std::thread waiter([&] { got = lba_range_acquire(&locks_, b, 10 * 1000 * 1000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(got.load(), 1) << "still waiting while the overlap is held";
    lba_range_release(&locks_, a);
    waiter.join();
    EXPECT_EQ(got.load(), 0);
    lba_range_release(&locks_, b);
    lba_range_release(&locks_, c);
    // Large ranges take the list.
    velkor_request* big = range(0, 5000);
    ASSERT_EQ(lba_range_acquire(&locks_, big, 0), 0);
    EXPECT_EQ(locks_.table.large_count, 1);
    EXPECT_EQ(lba_range_acquire(&locks_, range(4999, 1), 0), -16);
    lba_range_release(&locks_, big);
    EXPECT_EQ(locks_.table.large_count, 0);
}

TEST_F(RangeLockTest, ConcurrentLockersNeverOverlap) {
    const ULONG64 space = 40000;
    ASSERT_EQ(datalog_range_table_init(&locks_, space), 0);
    const int threads_count = 4, rounds = 3000;
    std::vector<std::atomic<int>> holders(space);
    std::atomic<int> overlaps{0};
    std::atomic<int> timeouts{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < threads_count; t++) {
        threads.emplace_back([&, t] {
            std::mt19937_64 rng(1234 + t);
            std::vector<velkor_request> mine(1);
            velkor_request* r = &mine[0];
            std::memset((void*)r, 0, sizeof(*r));
            for (int i = 0; i < rounds; i++) {
                // Mostly small ranges, now and then a large one.
                ULONG64 count = rng() % 20 == 0 ? 2049 + rng() % 4000 : 1 + rng() % 300;
                ULONG64 start = rng() % (space - count);
                r->range_lba = start;
                r->range_count = count;
                if (lba_range_acquire(&locks_, r, 5 * 1000 * 1000) != 0) {
                    timeouts++;
                    continue;
                }
                for (ULONG64 s = start; s < start + count; s++) {
                    if (holders[s].fetch_add(1) != 0) overlaps++;
                }
                for (ULONG64 s = start; s < start + count; s++) holders[s].fetch_sub(1);
                lba_range_release(&locks_, r);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(timeouts.load(), 0);
    ULONG64 offset;
    EXPECT_EQ(lba_range_lock(&locks_.table, 0, space, &offset), 0u) << "all released";
}

}  // namespace
