// Metadata blocks: the bucket hash, lookup and creation in their three modes, release, the free-key
// search, the block limit, preallocation through the reserve, iteration and the write hook.
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "driver/log/mblk.h"
#include "driver/platform/params.h"
#include "sim/kernel/control.h"
#include "tests/driver/log/log_fixture.h"
#include "tests/driver/log/mblk_inspect.h"

namespace {

class MblkTest : public MetadataTest {
  protected:
    void TearDown() override {
        max_md_blocks_per_device = 0;
        MetadataTest::TearDown();
    }
};

// The bucket rule written out byte by byte: FNV steps for bytes 0-5, then 403 for bytes 6 and 7.
uint32_t reference_bucket(uint64_t key) {
    uint32_t h = 0x811c9dc5u;
    for (int i = 0; i < 6; i++) h = (h ^ (uint8_t)(key >> (8 * i))) * 16777619u;
    h = (h ^ (uint8_t)(key >> 48)) * 403u;
    h = (h ^ (uint8_t)(key >> 56)) * 403u;
    return h & 0x3FFFF;
}

TEST_F(MblkTest, BucketsFollowTheHash) {
    EXPECT_EQ(mblk_hash(0), ((((0x811c9dc5u * 16777619u) * 16777619u * 16777619u * 16777619u * 16777619u *
                                16777619u) * 403u) * 403u) & 0x3FFFF);
    for (uint64_t key : {1ull, 0x00EFFFFF00000001ull, 0x00FFFFFFFFFF6E30ull, 0x00FFFFFFFEF70000ull, ~0ull}) {
        EXPECT_EQ(mblk_hash(key), reference_bucket(key)) << std::hex << key;
    }
    // Consecutive node keys spread over many buckets.
    std::set<ULONG> buckets;
    for (uint64_t k = 0; k < 4096; k++) buckets.insert(mblk_hash(0x00EFFFFF00000001ull + k));
    EXPECT_GT(buckets.size(), 3000u);
}

TEST_F(MblkTest, GetFindsCreatesAndRefusesByMode) {
    test_log t(4, 100);
    mblk* block = nullptr;
    EXPECT_EQ(mblk_get(&block, &t.log, 77, MBLK_FIND), -2);
    ASSERT_EQ(mblk_get(&block, &t.log, 77, MBLK_CREATE), 0);
    EXPECT_EQ(block->key, 77u);
    EXPECT_EQ(block->refs, 1);
    ASSERT_NE(block->page, nullptr);
    EXPECT_EQ(mblk_blocks_in_use(&t.log), 1u);
    mblk* same = nullptr;
    EXPECT_EQ(mblk_get(&same, &t.log, 77, MBLK_CREATE), -17);
    EXPECT_EQ(block->refs, 1) << "a refused creation takes no reference";
    ASSERT_EQ(mblk_get(&same, &t.log, 77, MBLK_FIND_OR_CREATE), 0);
    EXPECT_EQ(same, block);
    EXPECT_EQ(block->refs, 2);
    ASSERT_EQ(mblk_get(&same, &t.log, 77, MBLK_FIND), 0);
    EXPECT_EQ(block->refs, 3);
    mblk* other = nullptr;
    ASSERT_EQ(mblk_get(&other, &t.log, 78, MBLK_FIND_OR_CREATE), 0);
    EXPECT_NE(other->page, block->page);
    EXPECT_EQ(mblk_blocks_in_use(&t.log), 2u);
    // Records, and pages: a pool with its 512 spares still allocates while it can.
    EXPECT_EQ(t.footprint.alloced_bytes, 2 * 64 + 514 * 4096);

    EXPECT_EQ(mblk_try_release(&t.log, block), -16);
    block->refs = 0;
    EXPECT_EQ(mblk_try_release(&t.log, block), 0);
    EXPECT_EQ(mblk_get(&block, &t.log, 77, MBLK_FIND), -2);
    EXPECT_EQ(mblk_blocks_in_use(&t.log), 1u);
    EXPECT_EQ(t.footprint.alloced_bytes, 64 + 513 * 4096);
}

TEST_F(MblkTest, BlocksThatShareABucketStayApart) {
    test_log t(4, 100);
    // Keys of one bucket.
    std::map<ULONG, std::vector<uint64_t>> by_bucket;
    std::vector<uint64_t> keys;
    for (uint64_t k = 0; keys.empty(); k++) {
        auto& v = by_bucket[mblk_hash(k)];
        v.push_back(k);
        if (v.size() == 3) keys = v;
    }
    std::vector<mblk*> blocks;
    for (uint64_t k : keys) {
        mblk* b = nullptr;
        ASSERT_EQ(mblk_get(&b, &t.log, k, MBLK_CREATE), 0);
        blocks.push_back(b);
    }
    // Release the middle of the chain; the others are still found.
    mblk_put(&t.log, blocks[1]);
    ASSERT_EQ(mblk_try_release(&t.log, blocks[1]), 0);
    for (int i : {0, 2}) {
        mblk* b = nullptr;
        ASSERT_EQ(mblk_get(&b, &t.log, keys[i], MBLK_FIND), 0);
        EXPECT_EQ(b, blocks[i]);
    }
    mblk* b = nullptr;
    EXPECT_EQ(mblk_get(&b, &t.log, keys[1], MBLK_FIND), -2);
}

TEST_F(MblkTest, NextFreeSkipsTakenKeysAndWraps) {
    test_log t(4, 100);
    mblk* b = nullptr;
    for (uint64_t k : {100, 101, 103}) ASSERT_EQ(mblk_get(&b, &t.log, k, MBLK_CREATE), 0);
    ULONG64 cursor = 0;
    ASSERT_EQ(mblk_get_next_free(&t.log, &b, 100, 104, &cursor), 0);
    EXPECT_EQ(b->key, 102u);
    EXPECT_EQ(cursor, 103u);
    ASSERT_EQ(mblk_get_next_free(&t.log, &b, 100, 104, &cursor), 0);
    EXPECT_EQ(b->key, 104u);
    EXPECT_EQ(cursor, 100u) << "the cursor wraps from the end key to the first";
    EXPECT_EQ(mblk_get_next_free(&t.log, &b, 100, 104, &cursor), -17) << "every key taken after a whole turn";
    cursor = 104;
    EXPECT_EQ(mblk_get_next_free(&t.log, &b, 100, 104, &cursor), -17);
}

TEST_F(MblkTest, TheBlockLimitFailsTheLog) {
    test_log t(4, 100);
    max_md_blocks_per_device = 3;
    mblk* b = nullptr;
    for (uint64_t k = 1; k <= 3; k++) ASSERT_EQ(mblk_get(&b, &t.log, k, MBLK_CREATE), 0);
    EXPECT_EQ(mblk_get(&b, &t.log, 4, MBLK_CREATE), -12);
    EXPECT_EQ(t.log.state.value, (ULONG)PAV_LOG_UNRECOVERABLE_ERROR);
    EXPECT_TRUE(logged("paverr dov0: 16394 Inadequate memory available.\n"));
    EXPECT_TRUE(logged("paverr Corvane driver: 16384 Internal software error (data)\n"));
    EXPECT_EQ(mblk_get(&b, &t.log, 5, MBLK_CREATE), -12);
    int reports = 0;
    for (auto& line : log()) reports += line.find("16384") != std::string::npos;
    EXPECT_EQ(reports, 1) << "the log's internal error is reported once";
    EXPECT_EQ(mblk_get(&b, &t.log, 2, MBLK_FIND), 0) << "existing blocks are still found";
}

struct failure_owner {
    int calls = 0;
    int reason = 0;
};

void record_failure(void* owner, int reason) {
    auto* o = (failure_owner*)owner;
    o->calls++;
    o->reason = reason;
}

TEST_F(MblkTest, OutOfMemoryGoesToTheOwnerAndReturnsTheRecord) {
    test_log t(4, 100);
    failure_owner owner;
    bdev_failure_callbacks callbacks{};
    callbacks.on_device_failure = record_failure;
    t.log.owner = &owner;
    t.log.owner_ops = &callbacks;
    mblk* b = nullptr;
    sim::kernel::fail_always(sim::kernel::fault_site::pool, "sal4");
    EXPECT_EQ(mblk_get(&b, &t.log, 9, MBLK_CREATE), -12);
    sim::kernel::clear_faults();
    EXPECT_TRUE(logged("dov0: unable to allocate metadata block structure\n"));
    EXPECT_EQ(owner.calls, 1);
    EXPECT_EQ(owner.reason, 3);
    // No page: the record goes back to the cache.
    sim::kernel::fail_always(sim::kernel::fault_site::pool, "zpg4");
    EXPECT_EQ(mblk_get(&b, &t.log, 9, MBLK_CREATE), -12);
    sim::kernel::clear_faults();
    EXPECT_TRUE(logged("dov0: unable to allocate metadata page (-12)\n"));
    EXPECT_EQ(t.footprint.alloced_bytes, 0) << "no record is left counted";
    EXPECT_EQ(owner.calls, 1) << "the owner hears of it once";
}

TEST_F(MblkTest, PreallocatedTablesTakeRecordsFromTheReserve) {
    test_log t(4, 100, true);
    mblk* b = nullptr;
    EXPECT_EQ(mblk_get(&b, &t.log, 1, MBLK_CREATE), -12) << "an empty reserve";
    ASSERT_EQ(mblk_page_alloc(&t.log, 2), 0);
    EXPECT_EQ(mblk_reserve_count(), 2u);
    ASSERT_EQ(mblk_get(&b, &t.log, 1, MBLK_CREATE), 0);
    EXPECT_EQ(mblk_reserve_count(), 1u);
    mblk_put(&t.log, b);
    ASSERT_EQ(mblk_try_release(&t.log, b), 0);
    EXPECT_EQ(mblk_reserve_count(), 2u) << "a released record goes back to the reserve";
    EXPECT_EQ((ULONG64)b->hash_back, MBLK_POISON_BACK);
    EXPECT_EQ(mblk_page_reserve(&t.log, 3), -12) << "the reserve runs out first";
    EXPECT_EQ(mblk_reserve_count(), 0u);
    sim::kernel::fail_nth(sim::kernel::fault_site::pool, 2, "sal4");
    EXPECT_EQ(mblk_page_alloc(&t.log, 3), -12);
    sim::kernel::clear_faults();
    EXPECT_EQ(mblk_reserve_count(), 0u);
}

TEST_F(MblkTest, EachTableKeepsItsOwnReserveAndFootprint) {
    auto a = std::make_unique<test_log>(4, 100, true);
    auto b = std::make_unique<test_log>(4, 100, true);
    ASSERT_EQ(mblk_page_alloc(&a->log, 3), 0);
    ASSERT_EQ(mblk_page_alloc(&b->log, 2), 0);
    EXPECT_EQ(mblk_reserve_count(), 5u);
    EXPECT_EQ(a->footprint.alloced_bytes, 3 * 64);
    EXPECT_EQ(b->footprint.alloced_bytes, 2 * 64);
    mblk* block = nullptr;
    ASSERT_EQ(mblk_get(&block, &b->log, 1, MBLK_CREATE), 0);
    ASSERT_EQ(mblk_get(&block, &b->log, 2, MBLK_CREATE), 0);
    EXPECT_EQ(mblk_get(&block, &b->log, 3, MBLK_CREATE), -12) << "the rest of the reserve is the other log's";
    EXPECT_EQ(mblk_reserve_count(), 3u);
    EXPECT_EQ(a->footprint.alloced_bytes, 3 * 64) << "the other log's pages and records are not this one's";
    // One log's teardown hands back its own records only.
    b.reset();
    EXPECT_EQ(mblk_reserve_count(), 3u);
    EXPECT_EQ(a->footprint.alloced_bytes, 3 * 64);
    ASSERT_EQ(mblk_get(&block, &a->log, 1, MBLK_CREATE), 0);
    EXPECT_EQ(mblk_reserve_count(), 2u);
    EXPECT_EQ(a->footprint.alloced_bytes, 3 * 64 + 513 * 4096) << "its record was counted when it was reserved";
    a.reset();
    EXPECT_EQ(mblk_reserve_count(), 0u);
}

TEST_F(MblkTest, ConcurrentCreatorsStayWithinTheBlockLimit) {
    test_log t(4, 100);
    max_md_blocks_per_device = 40;
    constexpr int threads = 4;
    for (int round = 0; round < 30; round++) {
        std::vector<std::thread> creators;
        for (int i = 0; i < threads; i++) {
            creators.emplace_back([&t, i] {
                mblk* block = nullptr;
                for (uint64_t k = 0; mblk_get(&block, &t.log, (uint64_t)i << 32 | k, MBLK_CREATE) == 0; k++) {
                }
            });
        }
        for (auto& c : creators) c.join();
        ASSERT_EQ(mblk_blocks_in_use(&t.log), 40u) << "round " << round;
        mblk_release_all(&t.log);
    }
}

// One key's block made and retired over and over while other threads look it up: a lookup that
// comes in between the retirement and the release of the last reference keeps the block alive,
// and the block goes exactly once, at the last reference.
TEST_F(MblkTest, ARetiredBlockGoesOnceWhileLookupsTakeReferences) {
    test_log t(4, 100);
    constexpr uint64_t key = 0x1234;
    constexpr int rounds = 100000;
    std::atomic<bool> done{false};
    std::atomic<uint64_t> found{0};
    std::atomic<bool> bad{false};
    std::vector<std::thread> finders;
    for (int i = 0; i < 2; i++) {
        finders.emplace_back([&] {
            while (!done.load(std::memory_order_relaxed)) {
                mblk* b = nullptr;
                if (mblk_get(&b, &t.log, key, MBLK_FIND) != 0) continue;
                if (b->key != key || b->page == nullptr || ReadNoFence(&b->refs) < 1) bad = true;
                found++;
                mblk_put(&t.log, b);
            }
        });
    }
    // Until the lookups have found the block often enough to have met the retirements (bounded).
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int i = 0; (i < rounds || found.load() < 10000) && !bad && std::chrono::steady_clock::now() < give_up; i++) {
        mblk* b = nullptr;
        int rc;
        do {
            rc = mblk_get(&b, &t.log, key, MBLK_CREATE);  // -17 while a finder holds the last one
        } while (rc == -17);
        ASSERT_EQ(rc, 0);
        mblk_retire(&t.log, b);
    }
    done = true;
    for (auto& f : finders) f.join();
    EXPECT_FALSE(bad.load());
    EXPECT_GE(found.load(), 10000u);
    EXPECT_EQ(mblk_blocks_in_use(&t.log), 0u);
    mblk* b = nullptr;
    EXPECT_EQ(mblk_get(&b, &t.log, key, MBLK_FIND), -2);
    EXPECT_EQ(t.footprint.alloced_bytes, 512 * 4096) << "no record is left counted: the pool keeps its spare pages";
}

struct visit {
    std::set<uint64_t> keys;
    uint64_t stop_at = 0;
    int result = 1;
};

int visit_cb(pav_log* log, mblk* block, void* argument, int) {
    auto* v = (visit*)argument;
    v->keys.insert(block->key);
    mblk_put(log, block);
    if (block->key == v->stop_at) {
        return v->result;
    }
    if (block->key % 2 == 0) {
        // A callback may release its own block.
        mblk_release_locked(log, block);
    }
    return 0;
}

TEST_F(MblkTest, ForEachVisitsEveryBlockOnce) {
    test_log t(4, 100);
    mblk* b = nullptr;
    for (uint64_t k = 1; k <= 300; k++) {
        ASSERT_EQ(mblk_get(&b, &t.log, k * 0x10001, MBLK_CREATE), 0);
        mblk_put(&t.log, b);
    }
    visit v;
    EXPECT_EQ(mblk_for_each(&t.log, visit_cb, &v), 0);
    EXPECT_EQ(v.keys.size(), 300u);
    EXPECT_EQ(mblk_blocks_in_use(&t.log), 150u);
    visit stop;
    stop.stop_at = 3 * 0x10001;
    stop.result = 1;
    EXPECT_EQ(mblk_for_each(&t.log, visit_cb, &stop), 0) << "found";
    stop.keys.clear();
    stop.result = -5;
    EXPECT_EQ(mblk_for_each(&t.log, visit_cb, &stop), -5);

    mblk_match match = {nullptr, nullptr};
    ASSERT_EQ(mblk_get(&b, &t.log, 0x10001, MBLK_FIND), 0);
    match.page = b->page;
    mblk_put(&t.log, b);
    EXPECT_EQ(mblk_for_each(&t.log, mblk_match_cb, &match), 0);
    EXPECT_EQ(match.block, b);

    // Writing: without the log's append point nothing is written (the write path is tested
    // with the data log over a channel), and every block's reference is dropped.
    mblk_write_arg none{};
    EXPECT_EQ(mblk_for_each(&t.log, mblk_write_cb, &none), -22);
    EXPECT_EQ(b->refs, 0) << "the callback dropped its reference";
    EXPECT_EQ(mblk_log_entry_word(0x00EFFFFF00000001ull), 0x8E7FFFF800000008ull);
}

TEST_F(MblkTest, CacheWithoutItsDescriptorFails) {
    mblk_cache_exit();
    sim::kernel::fail_always(sim::kernel::fault_site::pool, "crc4");
    EXPECT_EQ(mblk_cache_init(), -12);
    sim::kernel::clear_faults();
    EXPECT_TRUE(logged("paverr Corvane driver: 06157 __kpav_create_cache failed because of memory allocation failure "
                       "(64 bytes)"));
    ASSERT_EQ(mblk_cache_init(), 0);
}

}  // namespace
