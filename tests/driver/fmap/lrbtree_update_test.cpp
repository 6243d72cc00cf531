// Updates and walks of the forward map, case by case: net changes and displaced runs, pieces at
// shard edges and at 64 keys, refused records, removal by log position, walks and their flags,
// failing callbacks, allocation failures in the middle of an update, the reserved range.
#include <algorithm>
#include <cstring>
#include <vector>

#include "driver/fmap/lrbtree.h"
#include "driver/platform/errno_table.h"
#include "sim/kernel/control.h"
#include "tests/driver/fmap/lrbtree_check.h"
#include "tests/driver/fmap/lrbtree_model.h"
#include "tests/driver/log/log_fixture.h"
#include "tests/driver/log/mblk_inspect.h"

namespace {

constexpr uint64_t span17 = 1ull << 17;

class LrbUpdate : public MetadataTest {
  protected:
    void SetUp() override {
        MetadataTest::SetUp();
        t_ = std::make_unique<test_log>(64, 1000);
        ASSERT_EQ(lrbtree_create(&map_, &t_->log, 4 * span17, 4 * span17), 0);
        ASSERT_EQ(lrbtree_reset(map_), 0);
        lrbtree_set_invalidate(map_, lrb_record_invalidation, &inval_);
    }
    void TearDown() override {
        lrbtree_destroy(&map_);
        t_.reset();
        MetadataTest::TearDown();
    }

    int update(uint64_t key, uint64_t count, uint64_t gpkt, uint64_t unmap, int64_t* out = nullptr) {
        lrbtree_update_rec rec = {key, count, gpkt, unmap, 12345};
        int rc = lrbtree_update(map_, &rec, 1);
        if (out != nullptr) *out = rec.out;
        return rc;
    }
    int map(uint64_t key, uint64_t count, uint64_t gpkt, int64_t* out = nullptr) { return update(key, count, gpkt, 0, out); }
    int unmap(uint64_t key, uint64_t count, int64_t* out = nullptr) { return update(key, count, 0, LRB_UNMAP_ALL, out); }

    // The runs a walk over [a, b) reports, with their entries.
    std::vector<walk_report> walk(uint64_t a, uint64_t b, bool coalesce = false) {
        std::vector<walk_report> reports;
        EXPECT_EQ(lrb_walk(map_, a, b, coalesce, &reports), 0);
        std::vector<walk_report> data;
        for (auto& r : reports) {
            if (r.data) data.push_back(r);
        }
        return data;
    }

    uint64_t addr(ULONG leb, ULONG offset) const { return t_->addr(leb, offset); }

    std::unique_ptr<test_log> t_;
    lrbtree* map_ = nullptr;
    invalidation_log inval_;
};

TEST_F(LrbUpdate, MapRemapAndRemoveCountTheirKeys) {
    int64_t out = 0;
    ASSERT_EQ(map(100, 10, addr(2, 0), &out), 0);
    EXPECT_EQ(out, 10);
    EXPECT_TRUE(inval_.runs.empty());
    ASSERT_EQ(map(100, 10, addr(3, 0), &out), 0);
    EXPECT_EQ(out, 0);
    EXPECT_EQ(inval_.runs, (std::vector<displaced_run>{{100, 10, addr(2, 0)}}));
    inval_.runs.clear();
    ASSERT_EQ(unmap(100, 10, &out), 0);
    EXPECT_EQ(out, -10);
    EXPECT_EQ(inval_.runs, (std::vector<displaced_run>{{100, 10, addr(3, 0)}}));
    EXPECT_TRUE(walk(0, 1000).empty());
    EXPECT_FALSE(inval_.wrong_irql);
    EXPECT_EQ(lrb_check_map(map_), "");
    EXPECT_EQ(lrb_root_of(map_, 0), nullptr) << "an emptied shard gives its nodes back";
    EXPECT_EQ(mblk_blocks_in_use(&t_->log), 1u) << "only the header block is left";
}

TEST_F(LrbUpdate, RecordsAreCutAtShardEdges) {
    // 40 keys crossing a shard edge after 30: 30 keys at gpkt, 10 at gpkt + 30.
    ASSERT_EQ(map(span17 - 30, 40, addr(1, 100)), 0);
    auto runs = walk(span17 - 100, span17 + 100);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].start, span17 - 30);
    EXPECT_EQ(runs[0].length, 30u);
    EXPECT_EQ(runs[0].gpkt, addr(1, 100));
    EXPECT_EQ(runs[1].start, span17);
    EXPECT_EQ(runs[1].length, 10u);
    EXPECT_EQ(runs[1].gpkt, addr(1, 130));
    EXPECT_EQ(runs[1].entry.key, 0u) << "keys are stored relative to the shard";

    // The shard core refuses a piece of more than 64 keys, and one at the invalid address.
    lrbtree_update_rec piece = {7000, 65, addr(5, 0), 0, 0};
    EXPECT_EQ(lrb_update_piece(map_, 0, &piece), -22);
    piece.count = 64;
    piece.gpkt = LRB_GPKT_INVALID;
    EXPECT_EQ(lrb_update_piece(map_, 0, &piece), -22);
    EXPECT_TRUE(walk(7000, 7100).empty());
}

TEST_F(LrbUpdate, MapRecordsOfMoreThan64KeysAreRefusedWhole) {
    // Runs under the records, which must come out of the refusals as they went in.
    ASSERT_EQ(map(5000, 64, addr(2, 0)), 0);
    ASSERT_EQ(map(span17 - 64, 64, addr(2, 100)), 0);
    ASSERT_EQ(map(span17, 64, addr(2, 200)), 0);
    auto before = walk(0, 2 * span17);
    struct {
        uint64_t key, count;
    } const refused[] = {
        {5000, 65},          // one key too many
        {4990, 300},         // over a run
        {span17 - 30, 65},   // across a shard edge, 30 + 35 keys: no piece above 64, still refused
        {span17 - 64, 128},  // two whole shard pieces of 64
    };
    for (auto& r : refused) {
        SCOPED_TRACE(r.key);
        sim::kernel::clear_debug_lines();
        inval_.runs.clear();
        int64_t out = 7;
        EXPECT_EQ(map(r.key, r.count, addr(4, 0), &out), -22);
        EXPECT_EQ(out, 0);
        EXPECT_TRUE(logged("paverr Corvane driver: 22536 Unable to update metadata for sectors " + std::to_string(r.key) +
                           " - " + std::to_string(r.key + r.count) + "\n"));
        EXPECT_TRUE(inval_.runs.empty()) << "nothing displaced";
        auto after = walk(0, 2 * span17);
        ASSERT_EQ(after.size(), before.size());
        for (size_t i = 0; i < after.size(); i++) {
            EXPECT_EQ(after[i].start, before[i].start);
            EXPECT_EQ(after[i].length, before[i].length);
            EXPECT_EQ(after[i].gpkt, before[i].gpkt);
        }
    }
    EXPECT_EQ(lrb_first_error(map_), 0) << "a refused record leaves the map usable";
    // Removals are not runs: they take any length. In a list, the records before a refused one
    // stay applied and the ones after it are not applied.
    EXPECT_EQ(unmap(4990, 300), 0);
    lrbtree_update_rec records[3] = {{100, 64, addr(6, 0), 0, 0}, {200, 65, addr(6, 64), 0, 0},
                                     {400, 1, addr(6, 200), 0, 0}};
    EXPECT_EQ(lrbtree_update(map_, records, 3), -22);
    EXPECT_EQ(records[0].out, 64);
    EXPECT_EQ(walk(100, 164).size(), 1u);
    EXPECT_TRUE(walk(200, 265).empty());
    EXPECT_TRUE(walk(400, 401).empty());
    EXPECT_EQ(lrb_check_map(map_), "");
}

TEST_F(LrbUpdate, AddressesFollowTheLogChainAcrossLebEnds) {
    // A 64-key run starting 10 packets before the end of LEB 7 continues at LEB 8's start.
    ASSERT_EQ(map(300, 64, addr(7, 990)), 0);
    lrbtree_lookup found{};
    lrbtree_range range{};
    EXPECT_EQ(lrbtree_enumerate(map_, &range, &lrbtree_lookup_at, &found, 0, 309, 310), -11);
    EXPECT_EQ(found.gpkt, addr(7, 999));
    EXPECT_EQ(lrbtree_enumerate(map_, &range, &lrbtree_lookup_at, &found, 0, 310, 311), -11);
    EXPECT_EQ(found.gpkt, addr(8, 0));
    // Overwriting the middle displaces it at its chained address and keeps the tail's.
    ASSERT_EQ(map(305, 10, addr(20, 0)), 0);
    EXPECT_EQ(inval_.runs, (std::vector<displaced_run>{{305, 10, addr(7, 995)}}));
    auto runs = walk(300, 364);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[2].gpkt, addr(8, 5));
    EXPECT_EQ(runs[2].entry.gpkt, addr(8, 5)) << "the tail entry starts at its own first address";
}

TEST_F(LrbUpdate, RefusedRecordsChangeNothing) {
    ASSERT_EQ(map(10, 5, addr(1, 0)), 0);
    struct {
        uint64_t key, count, gpkt, unmap;
        bool message;
    } const refused[] = {
        {20, 1, LRB_GPKT_INVALID, 0, false},           // the invalid address
        {4 * span17 - 2, 4, addr(1, 0), 0, true},      // across the end of S
        {4 * span17, 1, addr(1, 0), 0, true},          // between S and the reserved range
        {LRB_RESERVED_BASE - 1, 2, addr(1, 0), 0, true},
        {LRB_KEY_END - 1, 2, 0, LRB_UNMAP_ALL, true},  // past the end of the key space
        {~0ull - 5, 10, 0, LRB_UNMAP_ALL, true},       // a range that wraps
        // Packets outside the log, for one key as for many (LEB 63 is its last, and an LEB
        // holds 1000 packets).
        {40, 1, addr(64, 0), 0, true},
        {40, 1, addr(5, 1000), 0, true},
        {40, 3, addr(64, 0), 0, true},
        {LRB_RESERVED_BASE, 1, addr(900, 7), 0, true},
    };
    for (auto& r : refused) {
        sim::kernel::clear_debug_lines();
        EXPECT_EQ(update(r.key, r.count, r.gpkt, r.unmap), -22) << r.key;
        EXPECT_EQ(logged("paverr Corvane driver: 22536 Unable to update metadata for sectors " + std::to_string(r.key) +
                         " - " + std::to_string(r.key + r.count) + "\n"),
                  r.message)
            << r.key;
    }
    // Records apply in order up to the first that fails.
    lrbtree_update_rec records[3] = {{200, 4, addr(5, 0), 0, 0}, {4 * span17, 1, addr(5, 4), 0, 0},
                                     {300, 4, addr(5, 5), 0, 0}};
    EXPECT_EQ(lrbtree_update(map_, records, 3), -22);
    EXPECT_EQ(records[0].out, 4);
    EXPECT_EQ(walk(200, 204).size(), 1u);
    EXPECT_TRUE(walk(300, 304).empty());
    EXPECT_EQ(unmap(200, 4), 0);
    // Packets past the end of the log's chain (LEB 63 is its last).
    EXPECT_EQ(update(30, 20, addr(63, 990), 0), -22);
    EXPECT_TRUE(logged("paverr Corvane driver: 22536 Unable to update metadata for sectors 30 - 50\n"));
    EXPECT_EQ(update(30, 10, addr(63, 990), 0), 0);
    EXPECT_EQ(update(40, 1, addr(5, 999), 0), 0);
    EXPECT_EQ(unmap(40, 1), 0);
    EXPECT_EQ(unmap(30, 10), 0);
    EXPECT_EQ(walk(0, 4 * span17).size(), 1u);
    EXPECT_EQ(lrb_check_map(map_), "");
    // The last keys of S and of the reserved range take runs.
    EXPECT_EQ(map(4 * span17 - 64, 64, addr(2, 0)), 0);
    EXPECT_EQ(map(LRB_KEY_END - 64, 64, addr(3, 0)), 0);
    EXPECT_EQ(map(LRB_RESERVED_BASE, 1, 5), 0);
    EXPECT_EQ(walk(LRB_RESERVED_BASE, LRB_KEY_END).size(), 2u);
    EXPECT_EQ(lrb_check_map(map_), "");
}

TEST_F(LrbUpdate, OverwritingTheMiddleSplitsTheRun) {
    ASSERT_EQ(map(1000, 64, addr(1, 0)), 0);
    int64_t out = 0;
    ASSERT_EQ(map(1020, 8, addr(2, 0), &out), 0);
    EXPECT_EQ(out, 0);
    EXPECT_EQ(inval_.runs, (std::vector<displaced_run>{{1020, 8, addr(1, 20)}}));
    auto runs = walk(1000, 1064);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].entry.length, 20u);
    EXPECT_EQ(runs[1].gpkt, addr(2, 0));
    EXPECT_EQ(runs[2].start, 1028u);
    EXPECT_EQ(runs[2].gpkt, addr(1, 28));
    // Removing the middle of a run also splits it.
    inval_.runs.clear();
    ASSERT_EQ(unmap(1040, 4, &out), 0);
    EXPECT_EQ(out, -4);
    EXPECT_EQ(inval_.runs, (std::vector<displaced_run>{{1040, 4, addr(1, 40)}}));
    EXPECT_EQ(walk(1000, 1064).size(), 4u);
}

TEST_F(LrbUpdate, RemovalByLogPositionTouchesOnlyOlderRuns) {
    // Runs in LEB 3 (sequence 256) and LEB 9 (sequence 640).
    ASSERT_EQ(map(100, 10, addr(3, 50)), 0);
    ASSERT_EQ(map(110, 10, addr(9, 50)), 0);
    int64_t out = 0;
    uint64_t between = (256ull << 24) | 51;  // after the first run's position, before the second's
    ASSERT_EQ(update(100, 20, 0, 256ull << 24 | 50, &out), 0);
    EXPECT_EQ(out, 0) << "a position at the run's own is not above it";
    EXPECT_TRUE(inval_.runs.empty());
    ASSERT_EQ(update(105, 15, 0, between, &out), 0);
    EXPECT_EQ(out, -5);
    EXPECT_EQ(inval_.runs, (std::vector<displaced_run>{{105, 5, addr(3, 55)}}));
    auto runs = walk(100, 120);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].length, 5u);
    EXPECT_EQ(runs[1].gpkt, addr(9, 50));
}

TEST_F(LrbUpdate, RunsWithoutMediaPacketsCountButAreNotInvalidated) {
    int64_t out = 0;
    ASSERT_EQ(map(50, 8, 3, &out), 0);
    EXPECT_EQ(out, 8);
    lrbtree_lookup found{};
    lrbtree_range range{};
    EXPECT_EQ(lrbtree_enumerate(map_, &range, &lrbtree_lookup_at, &found, 0, 55, 56), -11);
    EXPECT_EQ(found.gpkt, 3u) << "addresses below 16 do not advance";
    ASSERT_EQ(map(52, 2, addr(1, 1), &out), 0);
    EXPECT_EQ(out, 0);
    ASSERT_EQ(unmap(0, 100, &out), 0);
    EXPECT_EQ(out, -8);
    EXPECT_EQ(inval_.runs, (std::vector<displaced_run>{{52, 2, addr(1, 1)}}));
}

struct empty_call {
    uint64_t start, length;
};

int count_empty(lrbtree_range* range, void* context) {
    ((std::vector<empty_call>*)context)->push_back({range->start, range->length});
    return 0;
}

int fail_data(lrbtree_range*, void*, ULONG64, lrbtree_leaf_rec*) {
    return -5;
}

TEST_F(LrbUpdate, WalksReportGapsPerShardAndAcrossRanges) {
    std::vector<empty_call> calls;
    lrbtree_enum_ops ops = {fail_data, count_empty, nullptr};
    lrbtree_range range{};
    ASSERT_EQ(lrbtree_enumerate(map_, &range, &ops, &calls, 0, 100, LRB_RESERVED_BASE + (2ull << 24) + 7), 0);
    ASSERT_EQ(calls.size(), 4u + 1 + 3);
    EXPECT_EQ(calls[0].start, 100u);
    EXPECT_EQ(calls[0].length, span17 - 100);
    EXPECT_EQ(calls[3].start, 3 * span17);
    EXPECT_EQ(calls[4].start, 4 * span17) << "the crossing into the reserved range";
    EXPECT_EQ(calls[4].length, LRB_RESERVED_BASE - 4 * span17);
    EXPECT_EQ(calls[7].start, LRB_RESERVED_BASE + (2ull << 24));
    EXPECT_EQ(calls[7].length, 7u);
    EXPECT_EQ(range.start, calls[7].start) << "the range record holds the last report";
}

TEST_F(LrbUpdate, CoalescedWalksJoinRunsThatContinueInOneEraseBlock) {
    ASSERT_EQ(map(0, 10, addr(5, 0)), 0);
    ASSERT_EQ(map(10, 10, addr(5, 10)), 0);     // continues it
    ASSERT_EQ(map(20, 10, addr(5, 990)), 0);    // continues, up to the end of LEB 5
    ASSERT_EQ(map(30, 10, addr(6, 0)), 0);      // next LEB: not joined
    ASSERT_EQ(map(41, 10, addr(6, 11)), 0);     // after a gap: not joined
    auto runs = walk(0, 100, true);
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[0].length, 20u);
    EXPECT_EQ(runs[1].start, 20u);
    EXPECT_EQ(runs[2].start, 30u);
    EXPECT_EQ(runs[3].start, 41u);
    EXPECT_FALSE(runs[0].has_entry);
    EXPECT_EQ(walk(0, 100, false).size(), 5u);
}

TEST_F(LrbUpdate, CoalescedWalksStopAtTheEndOfAnEraseBlock) {
    // Erase blocks back to back in the address space: the address after the last packet of one
    // is the first packet of the next, so only the erase block tells the runs apart.
    test_log dense(16, 100);
    dense.log.leb_span = dense.log.packets_per_leb;
    lrbtree* m = nullptr;
    ASSERT_EQ(lrbtree_create(&m, &dense.log, span17, span17), 0);
    ASSERT_EQ(lrbtree_reset(m), 0);
    auto at = [&](ULONG leb, ULONG offset) { return 16 + 100ull * leb + offset; };
    lrbtree_update_rec records[] = {
        {0, 10, at(5, 90), 0, 0},    // the last ten packets of erase block 5
        {10, 10, at(6, 0), 0, 0},    // the first ten of erase block 6: not joined
        {20, 10, at(6, 10), 0, 0},   // continues it in erase block 6: joined
        {30, 10, at(6, 90), 0, 0},   // up to the end of erase block 6
        {40, 5, at(7, 0), 0, 0},     // the first five of erase block 7: not joined
    };
    ASSERT_EQ(lrbtree_update(m, records, 5), 0);
    std::vector<walk_report> reports;
    ASSERT_EQ(lrb_walk(m, 0, 100, true, &reports), 0);
    std::vector<std::pair<uint64_t, uint64_t>> runs;
    for (auto& r : reports) {
        if (r.data) runs.push_back({r.start, r.length});
    }
    EXPECT_EQ(runs, (std::vector<std::pair<uint64_t, uint64_t>>{{0, 10}, {10, 20}, {30, 10}, {40, 5}}));
    lrbtree_destroy(&m);
}

int rewrite_gpkt(lrbtree_range*, void* context, ULONG64, lrbtree_leaf_rec* entry) {
    entry->gpkt = *(uint64_t*)context;
    return 1;
}

TEST_F(LrbUpdate, WalkFlagsAndCallbackResults) {
    ASSERT_EQ(map(100, 10, addr(1, 0)), 0);
    lrbtree_lookup found{};
    lrbtree_range range{};
    // Where the first unmapped key of a window is.
    EXPECT_EQ(lrbtree_enumerate(map_, &range, &lrbtree_find_gap, &found, 0, 100, 110), 0);
    EXPECT_EQ(lrbtree_enumerate(map_, &range, &lrbtree_find_gap, &found, 0, 100, 111), -11);
    EXPECT_EQ(found.start, 110u);
    // The writers' mutex, tried: busy while an update holds it.
    lrb_hold_writers(map_, true);
    EXPECT_EQ(lrbtree_enumerate(map_, &range, &lrbtree_lookup_at, &found, LRB_ENUM_LOCK_WRITERS | LRB_ENUM_TRY, 0, 1),
              -16);
    lrb_hold_writers(map_, false);
    EXPECT_EQ(lrbtree_enumerate(map_, &range, &lrbtree_lookup_at, &found, LRB_ENUM_LOCK_WRITERS | LRB_ENUM_TRY, 0, 1),
              -11);
    // A callback result of 1 writes the entry back.
    uint64_t moved = addr(2, 0);
    lrbtree_enum_ops rewrite = {rewrite_gpkt, lrbtree_first_gap, nullptr};
    EXPECT_EQ(lrbtree_enumerate(map_, &range, &rewrite, &moved, LRB_ENUM_LOCK_WRITERS, 100, 110), 0);
    EXPECT_EQ(walk(100, 110)[0].gpkt, addr(2, 0));
    // A failing callback stops the walk with a message and a dump of the leaf; -11 says nothing.
    lrbtree_enum_ops failing = {fail_data, lrbtree_gap_start, nullptr};
    sim::kernel::clear_debug_lines();
    EXPECT_EQ(lrbtree_enumerate(map_, &range, &failing, &found, 0, 50, 200), -11);
    EXPECT_TRUE(log().empty());
    EXPECT_EQ(lrbtree_enumerate(map_, &range, &failing, &found, 0, 100, 200), -5);
    const mblk* leaf = lrb_view(map_, lrb_root_of(map_, 0)).children[0];
    EXPECT_TRUE(logged("paverr Corvane driver: 22530 Internal software error: enumeration cancelled by on_data_range: "
                       "-5 -- node " + std::to_string(leaf->key) + " entry 0 base 100 len 10\n"));
    EXPECT_TRUE(logged(" LFE   0:             100,    10,       2018\n"));
    lrbtree_enum_ops failing_coalesced = {fail_data, count_empty, nullptr};
    std::vector<empty_call> calls;
    EXPECT_EQ(lrbtree_enumerate(map_, &range, &failing_coalesced, &calls, LRB_ENUM_COALESCE, 90, 200), -5);
    EXPECT_TRUE(logged("paverr Corvane driver: 22531 Internal software error: enumeration cancelled by on_data_range: "
                       "-5 -- node " + std::to_string(leaf->key) + " entry 0 base 100 len 10\n"));
}

// A data callback that asks for its entry to be written back with a new address, and notes how
// the walk held the shard's lock (the stand-in's lock word: a reader count, or the writer bit
// alone).
struct rewrite_probe {
    const lrbtree* map;
    uint64_t gpkt;
    std::vector<LONG> lock_words;
};

int rewrite_and_probe(lrbtree_range*, void* context, ULONG64, lrbtree_leaf_rec* entry) {
    auto* p = (rewrite_probe*)context;
    p->lock_words.push_back(lrb_lock_word(p->map, 0));
    if (entry != nullptr) entry->gpkt = p->gpkt;
    return 1;
}

int ignore_gaps(lrbtree_range*, void*) {
    return 0;
}

constexpr LONG one_reader = 1;
bool held_exclusively(LONG word) {
    return word != 0 && (word & 0x3FFFFFFF) == 0;
}

TEST_F(LrbUpdate, OnlyWalksUnderTheWritersMutexWriteEntriesBack) {
    ASSERT_EQ(map(100, 10, addr(1, 0)), 0);
    ASSERT_EQ(map(110, 10, addr(1, 10)), 0);
    const mblk* leaf = lrb_view(map_, lrb_root_of(map_, 0)).children[0];
    lrbtree_enum_ops ops = {rewrite_and_probe, ignore_gaps, nullptr};
    lrbtree_range range{};
    rewrite_probe probe{map_, addr(3, 0), {}};
    // Without the mutex the shard is shared with other readers: the request is refused.
    sim::kernel::clear_debug_lines();
    EXPECT_EQ(lrbtree_enumerate(map_, &range, &ops, &probe, 0, 0, 1000), -22);
    EXPECT_EQ(probe.lock_words, (std::vector<LONG>{one_reader}));
    EXPECT_TRUE(logged("paverr Corvane driver: 22530 Internal software error: enumeration cancelled by on_data_range: "
                       "1 -- node " + std::to_string(leaf->key) + " entry 0 base 100 len 10\n"));
    EXPECT_EQ(walk(100, 101)[0].gpkt, addr(1, 0)) << "nothing written";
    EXPECT_EQ(lrbtree_enumerate(map_, &range, &ops, &probe, LRB_ENUM_COALESCE, 0, 1000), -22);
    EXPECT_TRUE(logged("paverr Corvane driver: 22531 Internal software error: enumeration cancelled by on_data_range: "
                       "1 -- node " + std::to_string(leaf->key) + " entry 1 base 100 len 20\n"));
    // With the mutex the walk holds the shard alone while it writes.
    probe.lock_words.clear();
    EXPECT_EQ(lrbtree_enumerate(map_, &range, &ops, &probe, LRB_ENUM_LOCK_WRITERS, 0, 1000), 0);
    ASSERT_EQ(probe.lock_words.size(), 2u);
    EXPECT_TRUE(held_exclusively(probe.lock_words[0])) << probe.lock_words[0];
    auto runs = walk(0, 1000);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].gpkt, addr(3, 0));
    EXPECT_EQ(runs[1].gpkt, addr(3, 0));
    // A coalesced run has no entry: with the mutex there is nothing to write and the walk goes on.
    probe.lock_words.clear();
    EXPECT_EQ(lrbtree_enumerate(map_, &range, &ops, &probe, LRB_ENUM_LOCK_WRITERS | LRB_ENUM_COALESCE, 0, 1000), 0);
    EXPECT_EQ(probe.lock_words.size(), 2u) << "two runs at the same address do not continue each other";
    EXPECT_EQ(lrb_check_map(map_), "");
}

struct call_count {
    int data = 0;
    std::vector<empty_call> empty;
};

int data_not_found(lrbtree_range*, void* context, ULONG64, lrbtree_leaf_rec*) {
    ((call_count*)context)->data++;
    return -2;
}

int note_empty(lrbtree_range* range, void* context) {
    ((call_count*)context)->empty.push_back({range->start, range->length});
    return 0;
}

TEST_F(LrbUpdate, ACallbacksMinus2EndsTheWalk) {
    ASSERT_EQ(map(100, 10, addr(1, 0)), 0);
    ASSERT_EQ(map(200, 10, addr(1, 10)), 0);
    call_count calls;
    lrbtree_enum_ops ops = {data_not_found, note_empty, nullptr};
    lrbtree_range range{};
    EXPECT_EQ(lrbtree_enumerate(map_, &range, &ops, &calls, 0, 0, 1000), -2);
    EXPECT_EQ(calls.data, 1);
    ASSERT_EQ(calls.empty.size(), 1u) << "nothing after the first run is reported";
    EXPECT_EQ(calls.empty[0].start, 0u);
    EXPECT_EQ(calls.empty[0].length, 100u);
    EXPECT_EQ(range.start, 100u);
}

struct leaf_visits {
    const lrbtree* map;
    std::vector<lrbtree_range> leaves;
    uint64_t data = 0;
};

int visit_leaf(lrbtree_range* range, void* context, lrbtree_cursor* cursor, mblk* leaf) {
    auto* v = (leaf_visits*)context;
    v->leaves.push_back(*range);
    return cursor != nullptr && lrb_view(v->map, leaf).level == 0 ? 0 : -5;
}

int count_data(lrbtree_range* range, void* context, ULONG64, lrbtree_leaf_rec*) {
    ((leaf_visits*)context)->data += range->length;
    return 0;
}

int ignore_empty(lrbtree_range*, void*) {
    return 0;
}

TEST_F(LrbUpdate, WalksCallThePerLeafCallbackForEveryLeafEntered) {
    for (uint64_t k = 0; k < 1200; k++) {
        ASSERT_EQ(map(10 * k, 2, addr(1 + (ULONG)(k % 50), 0)), 0);
    }
    lrb_node_view root = lrb_view(map_, lrb_root_of(map_, 0));
    ULONG leaves = root.count;
    ASSERT_GE(leaves, 3u);
    leaf_visits v{map_, {}, 0};
    lrbtree_enum_ops ops = {count_data, ignore_empty, visit_leaf};
    lrbtree_range range{};
    ASSERT_EQ(lrbtree_enumerate(map_, &range, &ops, &v, 0, 0, span17), 0);
    ASSERT_EQ(v.leaves.size(), leaves);
    EXPECT_EQ(v.data, 2400u);
    EXPECT_EQ(v.leaves[0].start, 0u);
    EXPECT_EQ(v.leaves[1].start, root.keys[1]) << "a leaf's range starts at its separator";
    EXPECT_EQ(v.leaves.back().start + v.leaves.back().length, span17);
    // A walk that starts in the last leaf enters that leaf only.
    leaf_visits last{map_, {}, 0};
    ASSERT_EQ(lrbtree_enumerate(map_, &range, &ops, &last, 0, 11990, span17), 0);
    EXPECT_EQ(last.leaves.size(), 1u);
}

TEST_F(LrbUpdate, AFailingInvalidationStopsThePieceAndTheMap) {
    ASSERT_EQ(map(100, 10, addr(1, 0)), 0);
    ASSERT_EQ(map(110, 10, addr(1, 10)), 0);
    ASSERT_EQ(map(120, 10, addr(1, 20)), 0);
    inval_.calls = 0;
    inval_.fail_at = 2;
    sim::kernel::clear_debug_lines();
    int64_t out = 0;
    EXPECT_EQ(unmap(100, 30, &out), -5);
    EXPECT_EQ(out, 0) << "the failing record's out is not added";
    // The first run was invalidated and removed; the one whose invalidation failed stays.
    const mblk* leaf = lrb_view(map_, lrb_root_of(map_, 0)).children[0];
    auto runs_left = [&] { return lrb_view(map_, leaf).keys; };
    EXPECT_EQ(runs_left(), (std::vector<uint64_t>{110, 120}));
    EXPECT_TRUE(logged("dov0: invalidation failed for range 110-120 called from gpkt " + std::to_string(addr(1, 10)) +
                       " 1,10\n"));
    EXPECT_TRUE(logged("dov0: ------ Print Path ------ \n"));
    EXPECT_TRUE(logged("paverr Corvane driver: 22535 Internal software error - tree: -5\n"));
    EXPECT_EQ(lrb_first_error(map_), -5);
    EXPECT_EQ(lrb_check_map(map_), "");
    // The error stays with the map: every later update fails with it and changes nothing, and
    // walks of its shards fail.
    inval_.fail_at = 0;
    inval_.runs.clear();
    EXPECT_EQ(unmap(100, 30, &out), -5);
    EXPECT_EQ(out, 0);
    EXPECT_EQ(map(5000, 1, addr(2, 0)), -5);
    EXPECT_EQ(map(LRB_RESERVED_BASE, 1, addr(2, 0)), -5) << "other shards too";
    EXPECT_TRUE(inval_.runs.empty());
    EXPECT_EQ(runs_left(), (std::vector<uint64_t>{110, 120}));
    std::vector<walk_report> reports;
    EXPECT_EQ(lrb_walk(map_, 0, 1000, false, &reports), -22);
    EXPECT_EQ(lrb_first_error(map_), -5);
}

TEST_F(LrbUpdate, AFailingInvalidationInALaterLeafPlacesNoRun) {
    // One-key runs on the even keys, enough for two leaves.
    for (uint64_t k = 0; k < 600; k++) {
        ASSERT_EQ(map(2 * k, 1, addr(1, (ULONG)k)), 0);
    }
    lrb_node_view root = lrb_view(map_, lrb_root_of(map_, 0));
    ASSERT_GE(root.count, 2u);
    uint64_t edge = root.keys[1];  // the second leaf's first run
    // A run over the first leaf's last two runs and the second leaf's first two; the
    // invalidation of the third, the second leaf's first, fails.
    inval_.runs.clear();
    inval_.calls = 0;
    inval_.fail_at = 3;
    int64_t out = 0;
    EXPECT_EQ(map(edge - 4, 7, addr(9, 0), &out), -5);
    inval_.fail_at = 0;
    EXPECT_EQ(out, 0);
    EXPECT_EQ(inval_.runs, (std::vector<displaced_run>{{edge - 4, 1, addr(1, (ULONG)(edge / 2 - 2))},
                                                       {edge - 2, 1, addr(1, (ULONG)(edge / 2 - 1))}}));
    EXPECT_EQ(lrb_first_error(map_), -5);
    lrb_clear_error(map_);
    // The runs before the failing one are gone, that one and the next stay, and the new run is
    // nowhere.
    auto runs = walk(edge - 6, edge + 6);
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[0].start, edge - 6);
    EXPECT_EQ(runs[1].start, edge);
    EXPECT_EQ(runs[1].gpkt, addr(1, (ULONG)(edge / 2)));
    EXPECT_EQ(runs[2].start, edge + 2);
    EXPECT_EQ(runs[3].start, edge + 4);
    EXPECT_EQ(lrb_check_map(map_), "") << "the header block's mapped keys count the two removals only";
}

TEST_F(LrbUpdate, AllocationFailuresLeaveTheMapAsItWas) {
    // The first write of a shard needs two nodes; the second one fails.
    sim::kernel::fail_nth(sim::kernel::fault_site::pool, 2, "sal4");
    sim::kernel::clear_debug_lines();
    EXPECT_EQ(map(10, 5, addr(1, 0)), -12);
    sim::kernel::clear_faults();
    EXPECT_TRUE(logged("dov0: failed to allocate lrb node: -12\n"));
    EXPECT_TRUE(logged("paverr Corvane driver: 22535 Internal software error - tree: -12\n"));
    EXPECT_TRUE(logged("paverr dov0: 16394 Inadequate memory available.\n"));
    EXPECT_EQ(lrb_root_of(map_, 0), nullptr);
    EXPECT_EQ(lrb_first_error(map_), -12);
    EXPECT_EQ(mblk_blocks_in_use(&t_->log), 1u) << "the node taken first went back";
    EXPECT_EQ(t_->log.state.value, (ULONG)PAV_LOG_UNRECOVERABLE_ERROR) << "the log heard of it";
    EXPECT_EQ(map(10, 5, addr(1, 0)), -12) << "the map stays failed";
    EXPECT_EQ(mblk_blocks_in_use(&t_->log), 1u);
    lrb_clear_error(map_);

    // A full leaf: the next insert needs a new leaf.
    for (uint64_t k = 0; k < 508; k++) {
        ASSERT_EQ(map(2 * k, 1, addr(1, (ULONG)k)), 0);
    }
    ASSERT_EQ(lrb_max_depth(map_), 1);
    std::vector<walk_report> before;
    lrb_walk(map_, 0, span17, false, &before);
    ULONG64 blocks = mblk_blocks_in_use(&t_->log);
    sim::kernel::fail_nth(sim::kernel::fault_site::pool, 1, "sal4");
    EXPECT_EQ(map(501, 1, addr(2, 0)), -12);
    sim::kernel::clear_faults();
    lrb_clear_error(map_);
    std::vector<walk_report> after;
    lrb_walk(map_, 0, span17, false, &after);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); i++) {
        EXPECT_EQ(after[i].start, before[i].start);
        EXPECT_EQ(after[i].gpkt, before[i].gpkt);
    }
    EXPECT_EQ(mblk_blocks_in_use(&t_->log), blocks);
    EXPECT_EQ(lrb_check_map(map_), "");
    EXPECT_EQ(map(501, 1, addr(2, 0)), 0) << "with memory back the same insert splits the leaf";
    EXPECT_EQ(walk(500, 503).size(), 3u);
    EXPECT_EQ(lrb_check_map(map_), "");
}

TEST_F(LrbUpdate, NodeKeysGoOnFromTheLastOneTaken) {
    // The same steps on a map with a header block and on one without.
    test_log other(64, 1000);
    lrbtree* bare = nullptr;
    ASSERT_EQ(lrbtree_create(&bare, &other.log, 4 * span17, 4 * span17), 0);
    for (lrbtree* m : {map_, bare}) {
        SCOPED_TRACE(m == bare ? "without a header block" : "with a header block");
        auto apply = [&](uint64_t key, uint64_t count, uint64_t gpkt, uint64_t unmap) {
            lrbtree_update_rec rec = {key, count, gpkt, unmap, 0};
            return lrbtree_update(m, &rec, 1);
        };
        // Two nodes for each of shards 0 and 1, then shard 0's go again.
        ASSERT_EQ(apply(10, 1, addr(1, 0), 0), 0);
        ASSERT_EQ(apply(span17 + 10, 1, addr(1, 1), 0), 0);
        ASSERT_EQ(apply(0, span17, 0, LRB_UNMAP_ALL), 0);
        ASSERT_EQ(lrb_root_of(m, 0), nullptr);
        ASSERT_EQ(apply(2 * span17 + 10, 1, addr(1, 2), 0), 0);
        const mblk* root = lrb_root_of(m, 2 * span17);
        const mblk* leaf = lrb_view(m, root).children[0];
        EXPECT_EQ(std::min(root->key, leaf->key), LRB_FIRST_NODE_ID + 5) << "not the freed keys 1 and 2 again";
        EXPECT_EQ(std::max(root->key, leaf->key), LRB_FIRST_NODE_ID + 6);
        EXPECT_EQ(lrb_node_cursor(m), LRB_FIRST_NODE_ID + 7);
    }
    EXPECT_EQ(lrb_header(map_).alloc_cursor, LRB_FIRST_NODE_ID + 7) << "the header block keeps it too";
    lrbtree_destroy(&bare);
}

TEST_F(LrbUpdate, RemovalsRebalanceTheLeafWithItsNeighbours) {
    for (uint64_t k = 0; k < 1500; k++) {
        ASSERT_EQ(map(2 * k, 1, addr(1 + (ULONG)(k % 60), (ULONG)(k % 900))), 0);
    }
    ASSERT_EQ(lrb_max_depth(map_), 1);
    ASSERT_GE(lrb_view(map_, lrb_root_of(map_, 0)).count, 3u);
    auto leaf = [&](ULONG i) { return lrb_view(map_, lrb_view(map_, lrb_root_of(map_, 0)).children.at(i)); };
    auto leaf_counts = [&] {
        std::vector<ULONG> counts;
        for (const mblk* child : lrb_view(map_, lrb_root_of(map_, 0)).children) {
            counts.push_back(lrb_view(map_, child).count);
        }
        return counts;
    };
    std::vector<ULONG> before = leaf_counts();
    // A leaf well above its fill target loses one entry: its window is spread evenly all the same.
    ASSERT_GT(leaf(1).count - 1, lrb_geometry_of(map_).leaf_fill_target);
    ASSERT_NE(before[0], before[1]) << "the leaves start uneven";
    int64_t out = 0;
    ASSERT_EQ(unmap(leaf(1).keys[2], 1, &out), 0);
    EXPECT_EQ(out, -1);
    std::vector<ULONG> after = leaf_counts();
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after[0] + after[1] + after[2], before[0] + before[1] + before[2] - 1);
    EXPECT_LE(*std::max_element(after.begin(), after.begin() + 3) - *std::min_element(after.begin(), after.begin() + 3),
              1u);
    // Overwriting one run with one run removes nothing from the leaf: nothing moves.
    ASSERT_EQ(map(leaf(1).keys[5], 1, addr(2, 0)), 0);
    EXPECT_EQ(leaf_counts(), after);
    EXPECT_EQ(lrb_check_map(map_), "");
}

TEST_F(LrbUpdate, NodesSomeoneHoldsGoAtTheirLastReference) {
    // A shard of the reserved range two index levels deep.
    for (uint64_t k = 0; k < 130000; k++) {
        ASSERT_EQ(map(LRB_RESERVED_BASE + 64 * k, 64, addr(1 + (ULONG)(k % 60), (ULONG)(k % 14) * 64)), 0);
    }
    ASSERT_EQ(lrb_max_depth(map_), 2);
    const mblk* root = lrb_root_of(map_, LRB_RESERVED_BASE);
    const mblk* last_index = lrb_view(map_, root).children.back();
    const mblk* last_leaf = lrb_view(map_, last_index).children.back();
    // Held as a metadata writer would hold them.
    mblk* held_root = nullptr;
    mblk* held_leaf = nullptr;
    ASSERT_EQ(mblk_get(&held_root, &t_->log, root->key, MBLK_FIND), 0);
    ASSERT_EQ(mblk_get(&held_leaf, &t_->log, last_leaf->key, MBLK_FIND), 0);

    // Everything but the first ten runs goes: the shard shrinks to one index level.
    int64_t out = 0;
    ASSERT_EQ(unmap(LRB_RESERVED_BASE + 640, 64 * 130000 - 640, &out), 0);
    EXPECT_EQ(out, -(int64_t)(64 * 130000 - 640));
    ASSERT_EQ(lrb_max_depth(map_), 1);
    lrb_header_view header = lrb_header(map_);
    EXPECT_EQ(mblk_blocks_in_use(&t_->log), header.leaf_nodes + header.index_nodes + 1 + 2) << "the two held nodes stay";
    for (mblk* held : {held_root, held_leaf}) {
        lrb_node_view n = lrb_view(map_, held);
        EXPECT_FALSE(n.root_flag) << "a retired node is no shard's root";
        EXPECT_EQ(n.count, 0u);
        EXPECT_TRUE(mblk_in_chain(&t_->log, held->key, held));
        mblk* found = nullptr;
        EXPECT_EQ(mblk_get(&found, &t_->log, held->key, MBLK_FIND), -2) << "lookups no longer see it";
        EXPECT_EQ(mblk_get(&found, &t_->log, held->key, MBLK_CREATE), -17) << "its key is still taken";
    }
    uint64_t root_key = held_root->key;
    uint64_t leaf_key = held_leaf->key;
    mblk_put(&t_->log, held_root);
    EXPECT_FALSE(mblk_in_chain(&t_->log, root_key, held_root));
    mblk_put(&t_->log, held_leaf);
    EXPECT_FALSE(mblk_in_chain(&t_->log, leaf_key, held_leaf));
    EXPECT_EQ(mblk_blocks_in_use(&t_->log), header.leaf_nodes + header.index_nodes + 1);
    EXPECT_EQ(lrb_check_map(map_), "");
}

TEST_F(LrbUpdate, RemovingEverythingGivesEveryNodeBack) {
    // Enough one-key runs for two index levels in one shard of the reserved range.
    for (uint64_t k = 0; k < 200000; k += 1) {
        ASSERT_EQ(map(LRB_RESERVED_BASE + (k * 7919) % 200000, 1, addr(1 + (ULONG)(k % 60), (ULONG)(k % 900))), 0);
    }
    EXPECT_EQ(lrb_max_depth(map_), 2);
    EXPECT_EQ(lrb_check_map(map_), "");
    int64_t out = 0;
    // From the middle out, so that nodes under different parents merge.
    ASSERT_EQ(unmap(LRB_RESERVED_BASE + 50000, 100000, &out), 0);
    EXPECT_EQ(out, -100000);
    EXPECT_EQ(lrb_check_map(map_), "");
    ASSERT_EQ(unmap(LRB_RESERVED_BASE, 200000, &out), 0);
    EXPECT_EQ(out, -100000);
    EXPECT_EQ(lrb_check_map(map_), "");
    EXPECT_EQ(lrb_max_depth(map_), -1);
    EXPECT_EQ(mblk_blocks_in_use(&t_->log), 1u);
    lrb_header_view header = lrb_header(map_);
    EXPECT_EQ(header.leaf_created, header.leaf_freed);
    EXPECT_EQ(header.mapped_keys, 0u);
}

}  // namespace
