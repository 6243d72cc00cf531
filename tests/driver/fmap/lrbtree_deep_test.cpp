// The forward map three index levels deep, against its reference table. The default runs never
// get past two levels (that takes tens of millions of entries in one shard), so this run is
// opt-in: it fills one 2^32-key shard with one-key runs until its root is at level 3, then maps
// and removes at random around the boundaries between the root's children, where windows of
// index nodes span different parents, and finally removes everything.
//
//   LRB_DEEP=1 block_tests --gtest_filter=LrbDeep.*     (about 5 GB; minutes in a Release build)
//
// LRB_DEEP_KEYS sets the number of runs filled first (default 44,000,000), LRB_SEED and
// LRB_STEPS the random part as for the other randomized runs.
#include <cstdio>
#include <random>

#include "driver/fmap/lrbtree.h"
#include "tests/driver/fmap/lrbtree_check.h"
#include "tests/driver/fmap/lrbtree_model.h"
#include "tests/driver/log/log_fixture.h"
#include "tests/driver/log/mblk_inspect.h"
#include "tests/support/env.h"

namespace {

// Above 2^40 sectors, shards are 2^32 keys.
constexpr uint64_t deep_sector_space = (1ull << 40) + 1;
constexpr ULONG deep_leb_packets = 1u << 30;

class LrbDeep : public MetadataTest {};

TEST_F(LrbDeep, ThreeIndexLevelsAgreeWithTheTable) {
    if (env_number("LRB_DEEP", 0) == 0) {
        GTEST_SKIP() << "opt-in: LRB_DEEP=1";
    }
    const uint64_t keys = env_number("LRB_DEEP_KEYS", 44000000);
    const uint64_t steps = env_number("LRB_STEPS", 20000);
    const uint64_t seed = env_number("LRB_SEED", std::random_device{}());
    SCOPED_TRACE("replay: LRB_DEEP=1 LRB_DEEP_KEYS=" + std::to_string(keys) + " LRB_SEED=" + std::to_string(seed) +
                 " LRB_STEPS=" + std::to_string(steps));
    std::mt19937_64 rng(seed);
    auto pick = [&](uint64_t lo, uint64_t hi) { return std::uniform_int_distribution<uint64_t>(lo, hi)(rng); };

    // One LEB large enough for every address the run takes.
    test_log t(1, deep_leb_packets);
    lrbtree* map = nullptr;
    ASSERT_EQ(lrbtree_create(&map, &t.log, deep_sector_space, deep_sector_space), 0);
    ASSERT_EQ(lrbtree_reset(map), 0);
    invalidation_log invalidations;
    lrbtree_set_invalidate(map, lrb_record_invalidation, &invalidations);
    lrb_model_geometry g;
    g.sector_space = deep_sector_space;
    g.sector_span = 1ull << 32;
    g.reserved_span = 1ull << 32;
    g.leb_span = (uint64_t)deep_leb_packets + 1;
    g.sequence = {64};
    g.capacity = {deep_leb_packets};
    g.next = {65535};
    lrb_model model(g, {{0, keys}});

    // The fill: key k at packet k, in batches of records.
    std::vector<lrbtree_update_rec> batch;
    for (uint64_t k = 0; k < keys; k++) {
        batch.push_back({k, 1, 16 + k, 0, 0});
        if (batch.size() == 4096 || k + 1 == keys) {
            ASSERT_EQ(lrbtree_update(map, batch.data(), (ULONG)batch.size()), 0);
            for (auto& rec : batch) model.apply(rec);
            batch.clear();
        }
    }
    invalidations.runs.clear();
    ASSERT_GE(lrb_max_depth(map), 3) << "not deep enough: more keys (LRB_DEEP_KEYS)";
    ASSERT_EQ(lrb_check_map(map), "");
    std::printf("seed %llu: %llu keys, root at level %d with %u children\n", (unsigned long long)seed,
                (unsigned long long)keys, lrb_max_depth(map), lrb_view(map, lrb_root_of(map, 0)).count);
    uint64_t next_packet = 16 + keys;

    auto check_stretch = [&](uint64_t a, uint64_t b) {
        std::vector<walk_report> reports;
        int rc = lrb_walk(map, a, b, false, &reports);
        return rc != 0 ? "walk result " + std::to_string(rc) : model.check_walk(a, b, false, reports);
    };
    for (uint64_t step = 0; step < steps; step++) {
        // Somewhere near a boundary between two of the root's children.
        lrb_node_view root = lrb_view(map, lrb_root_of(map, 0));
        ASSERT_GE(root.count, 2u);
        uint64_t boundary = root.keys[pick(1, root.count - 1)];
        uint64_t spread = pick(0, 3) == 0 ? 1000 : 2000000;
        int64_t key = (int64_t)boundary + (int64_t)pick(0, 2 * spread) - (int64_t)spread;
        key = std::max<int64_t>(0, std::min<int64_t>(key, (int64_t)keys - 1));
        lrbtree_update_rec rec{};
        rec.key = (uint64_t)key;
        uint64_t kind = pick(0, 99);
        if (kind < 60) {
            rec.count = pick(1, 64);
            rec.gpkt = next_packet;
            next_packet += rec.count;
        } else {
            rec.count = kind < 95 ? pick(1, 2000) : pick(1, 400000);
            rec.unmap = kind < 90 ? LRB_UNMAP_ALL : (64ull << 24) | pick(0, keys);
        }
        rec.count = std::min(rec.count, keys - rec.key);
        invalidations.runs.clear();
        lrbtree_update_rec copy = rec;
        int rc = lrbtree_update(map, &copy, 1);
        lrb_model::outcome expected = model.apply(rec);
        ASSERT_TRUE(rc == 0 && copy.out == expected.out && invalidations.runs == expected.displaced)
            << "step " << step << ": update " << rec.key << "+" << rec.count << " unmap " << rec.unmap << ": result "
            << rc << " out " << copy.out << " (table " << expected.out << ")";
        uint64_t lo = rec.key > 100 ? rec.key - 100 : 0;
        ASSERT_EQ(check_stretch(lo, std::min(keys, rec.key + rec.count + 100)), "") << "step " << step;
        if (rec.count > 100000 || step % 5000 == 4999) {
            ASSERT_EQ(lrb_check_map(map), "") << "step " << step;
        }
    }
    ASSERT_EQ(lrb_check_map(map), "");
    for (uint64_t a = 0; a < keys; a += 1000000) {
        ASSERT_EQ(check_stretch(a, std::min(keys, a + 1000000)), "");
    }

    // Everything goes, from the middle out.
    lrbtree_update_rec middle = {keys / 3, keys / 3, 0, LRB_UNMAP_ALL, 0};
    ASSERT_EQ(lrbtree_update(map, &middle, 1), 0);
    EXPECT_EQ(lrb_check_map(map), "");
    lrbtree_update_rec all = {0, keys, 0, LRB_UNMAP_ALL, 0};
    ASSERT_EQ(lrbtree_update(map, &all, 1), 0);
    EXPECT_EQ(lrb_check_map(map), "");
    EXPECT_EQ(lrb_max_depth(map), -1);
    EXPECT_EQ(mblk_blocks_in_use(&t.log), 1u);
    lrbtree_destroy(&map);
}

}  // namespace
