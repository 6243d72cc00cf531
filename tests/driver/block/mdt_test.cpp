// The metadata table over the real forward map and a data log: written and moved packets
// recorded with their validity, displaced and trimmed packets invalidated, partition usage, the
// failure paths and their messages, and the sizing of the metadata memory.
#include <memory>
#include <string>
#include <vector>

#include "driver/block/bdev.h"
#include "driver/block/mdt.h"
#include "driver/log/pbitmap.h"
#include "sim/kernel/control.h"
#include "tests/driver/fmap/lrbtree_model.h"
#include "tests/driver/log/log_fixture.h"

using namespace sim::kernel;

namespace {

constexpr ULONG kLebs = 64;
constexpr ULONG kPackets = 1000;
constexpr ULONG64 kBitsPerLeb = 32768;
constexpr ULONG64 kSectors = 1ull << 20;

pav_addr_block placement(std::initializer_list<std::tuple<USHORT, ULONG, ULONG>> pieces) {
    pav_addr_block p{};
    for (auto& [eb, offset, length] : pieces) {
        p.vectors[p.count] = {eb, offset};
        p.packet_counts[p.count] = length;
        p.count++;
    }
    return p;
}

class MdtTest : public MetadataTest {
  protected:
    void SetUp() override {
        MetadataTest::SetUp();
        t_ = std::make_unique<test_log>(kLebs, kPackets);
        counters_.resize(kLebs);
        t_->log.counters = counters_.data();
        ASSERT_EQ(pav_pbitmap_create(&validity_, kLebs * kBitsPerLeb, nullptr, &t_->log), 0);
        ASSERT_EQ(pav_mblk_alloc_for_append(validity_, 0, kLebs * kBitsPerLeb / 32 - 1), 0);
        ctx_.log = &t_->log;
        ctx_.sector_space = kSectors;
        ctx_.validity = validity_;
        ctx_.bits_per_leb = kBitsPerLeb;
        mdt_attach attach = {kSectors, 512};
        ASSERT_EQ(mdt_init(&ctx_, &attach), 0);
        ASSERT_EQ(lrbtree_reset(ctx_.map), 0);
    }
    void TearDown() override {
        mdt_exit(&ctx_);
        pav_pbitmap_destroy(&validity_);
        t_.reset();
        MetadataTest::TearDown();
    }

    int record(const pav_addr_block& p, ULONG64 key, ULONG flags = 0) {
        ULONG64 length = 0;
        for (ULONG i = 0; i < p.count; i++) length += p.packet_counts[i];
        lrbtree_range range = {key, length};
        return mdt_record_sectors(&ctx_, flags, &p, nullptr, &range);
    }
    int trim(ULONG64 key, ULONG64 count, LONG64* out, ULONG flags = 0) {
        lrbtree_range range = {key, count};
        return mdt_trim(&ctx_, flags, nullptr, &range, LRB_UNMAP_ALL, out);
    }
    // The data runs of [a, b) as {first key, length, address}.
    std::vector<walk_report> runs(ULONG64 a, ULONG64 b) {
        std::vector<walk_report> reports, data;
        EXPECT_EQ(lrb_walk(ctx_.map, a, b, false, &reports), 0);
        for (auto& r : reports) {
            if (r.data) data.push_back(r);
        }
        return data;
    }
    // Set validity bits of LEB `leb` in [offset, offset + count).
    ULONG valid_bits(ULONG leb, ULONG offset, ULONG count) {
        ULONG n = 0;
        for (ULONG i = 0; i < count; i++) {
            n += pav_pbitmap_find_next_set(validity_, leb * kBitsPerLeb + offset + i, 1) == 0;
        }
        return n;
    }
    LONG valid(ULONG leb) { return counters_[leb].valid; }
    ULONG64 addr(ULONG leb, ULONG offset) const { return t_->addr(leb, offset); }

    std::unique_ptr<test_log> t_;
    std::vector<leb_counters> counters_;
    pav_pbitmap* validity_ = nullptr;
    mdt_context ctx_{};
};

TEST_F(MdtTest, AWriteOfTwoPiecesIsRecordedPieceByPiece) {
    ASSERT_EQ(record(placement({{5, 100, 3}, {6, 0, 5}}), 1000), 0);
    auto r = runs(0, 2000);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].start, 1000u);
    EXPECT_EQ(r[0].length, 3u);
    EXPECT_EQ(r[0].gpkt, 16 + 5 * (kPackets + 1) + 100);
    EXPECT_EQ(r[1].start, 1003u);
    EXPECT_EQ(r[1].length, 5u);
    EXPECT_EQ(r[1].gpkt, 16 + 6 * (kPackets + 1));
    EXPECT_EQ(valid(5), 3);
    EXPECT_EQ(valid(6), 5);
    EXPECT_EQ(valid_bits(5, 99, 5), 3u);
    EXPECT_EQ(valid_bits(5, 100, 3), 3u);
    EXPECT_EQ(valid_bits(6, 0, 6), 5u);
    // The written position follows the end of the last piece.
    EXPECT_EQ(t_->log.written_pos, 6ull | 5ull << 32);
}

TEST_F(MdtTest, AnOverwriteInvalidatesOnlyTheDisplacedPackets) {
    ASSERT_EQ(record(placement({{5, 0, 40}}), 1000), 0);
    ASSERT_EQ(record(placement({{7, 10, 10}}), 1030), 0);
    auto r = runs(0, 2000);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].gpkt, addr(7, 10));
    EXPECT_EQ(valid(5), 30);
    EXPECT_EQ(valid(7), 10);
    EXPECT_EQ(valid_bits(5, 0, 30), 30u);
    EXPECT_EQ(valid_bits(5, 30, 10), 0u);
    // Written again over its middle, the second write loses what it held there.
    ASSERT_EQ(record(placement({{8, 0, 4}}), 1033), 0);
    EXPECT_EQ(valid(7), 6);
    EXPECT_EQ(valid_bits(7, 13, 4), 0u);
    EXPECT_EQ(valid_bits(7, 17, 3), 3u);
}

TEST_F(MdtTest, LongPiecesAreRecordedInRunsTheMapTakes) {
    // A piece of 200 packets: the map takes runs of at most 64 keys.
    ASSERT_EQ(record(placement({{3, 0, 200}, {4, 0, 70}}), 5000), 0);
    auto r = runs(5000, 5270);
    ULONG64 covered = 0;
    for (auto& run : r) {
        EXPECT_LE(run.length, LRB_MAX_RUN);
        covered += run.length;
    }
    EXPECT_EQ(covered, 270u);
    EXPECT_EQ(r.front().gpkt, addr(3, 0));
    EXPECT_EQ(r.back().start + r.back().length, 5270u);
    EXPECT_EQ(valid(3), 200);
    EXPECT_EQ(valid(4), 70);
    // The map itself still refuses a single record longer than that.
    lrbtree_update_rec long_record = {9000, 65, addr(9, 0), 0, 0};
    EXPECT_EQ(lrbtree_update(ctx_.map, &long_record, 1), -22);
}

TEST_F(MdtTest, RecordingTheSamePacketsAgainKeepsThemValid) {
    pav_addr_block p = placement({{2, 0, 16}});
    ASSERT_EQ(record(p, 100, MDT_REPLAY), 0);
    ASSERT_EQ(record(p, 100, MDT_REPLAY), 0);
    EXPECT_EQ(valid(2), 16);
    EXPECT_EQ(valid_bits(2, 0, 16), 16u);
    // A replay notes no written position.
    EXPECT_EQ(t_->log.written_pos, 0u);
}

TEST_F(MdtTest, AMoveMustFindItsRangeMapped) {
    ASSERT_EQ(record(placement({{5, 0, 8}}), 200), 0);
    ASSERT_EQ(record(placement({{9, 0, 8}}), 200, MDT_DATA_MOVE), 0);
    EXPECT_EQ(valid(5), 0);
    EXPECT_EQ(valid(9), 8);

    LONG64 out = 0;
    ASSERT_EQ(trim(203, 1, &out), 0);
    EXPECT_EQ(out, -1);
    clear_debug_lines();
    EXPECT_EQ(record(placement({{10, 0, 8}}), 200, MDT_DATA_MOVE), -5);
    EXPECT_TRUE(logged("dov0: Internal software error - data move.\n"));
    // Outside replay the log takes the failure as an internal error.
    EXPECT_EQ(t_->log.state.value, (ULONG)PAV_LOG_UNRECOVERABLE_ERROR);
}

TEST_F(MdtTest, AFailedReplayLeavesTheLogRunning) {
    clear_debug_lines();
    // The placement's packets do not match the range.
    pav_addr_block p = placement({{1, 0, 4}});
    lrbtree_range range = {0, 5};
    EXPECT_EQ(mdt_record_sectors(&ctx_, MDT_REPLAY, &p, nullptr, &range), -22);
    EXPECT_TRUE(logged("dov0: Failed to record sectors in mdt.\n"));
    EXPECT_EQ(t_->log.state.value, (ULONG)PAV_LOG_RUNNING);
    // A range beyond the sector space is refused by the map.
    pav_addr_block beyond = placement({{1, 0, 4}});
    EXPECT_EQ(record(beyond, kSectors - 2, MDT_REPLAY), -22);
    EXPECT_EQ(valid(1), 0);
    EXPECT_EQ(valid_bits(1, 0, 4), 0u);
    EXPECT_EQ(t_->log.state.value, (ULONG)PAV_LOG_RUNNING);
}

// The map takes a write in runs; when a later run is refused (here: it leaves the sector space),
// the runs it took stay mapped and valid, and exactly the packets it did not take lose their
// validity.
TEST_F(MdtTest, AfterAPartialUpdateOnlyThePacketsNotTakenLoseTheirValidity) {
    // Keys from kSectors - 110: 40 of LEB 3 and the first 64 of LEB 4 fit, the last 36 do not.
    clear_debug_lines();
    EXPECT_EQ(record(placement({{3, 0, 40}, {4, 0, 100}}), kSectors - 110, MDT_REPLAY), -22);
    EXPECT_TRUE(logged("dov0: Failed to record sectors in mdt.\n"));
    auto r = runs(kSectors - 200, kSectors);
    ULONG64 covered = 0;
    for (auto& run : r) covered += run.length;
    EXPECT_EQ(covered, 104u);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.front().start, kSectors - 110);
    EXPECT_EQ(r.front().gpkt, addr(3, 0));
    EXPECT_EQ(valid(3), 40);
    EXPECT_EQ(valid_bits(3, 0, 40), 40u);
    EXPECT_EQ(valid(4), 64);
    EXPECT_EQ(valid_bits(4, 0, 64), 64u);
    EXPECT_EQ(valid_bits(4, 64, 36), 0u);
}

TEST_F(MdtTest, TrimsRemoveMappingsAndInvalidateThem) {
    ASSERT_EQ(record(placement({{5, 0, 10}}), 100), 0);
    ASSERT_EQ(record(placement({{6, 0, 10}}), 120), 0);
    LONG64 out = 0;
    // Unmapped: nothing changes.
    ASSERT_EQ(trim(0, 50, &out), 0);
    EXPECT_EQ(out, 0);
    // Across both runs and the gap between.
    ASSERT_EQ(trim(105, 20, &out), 0);
    EXPECT_EQ(out, -10);
    EXPECT_EQ(valid(5), 5);
    EXPECT_EQ(valid(6), 5);
    EXPECT_EQ(valid_bits(5, 5, 5), 0u);
    EXPECT_EQ(valid_bits(6, 0, 5), 0u);
    EXPECT_EQ(valid_bits(6, 5, 5), 5u);
    auto r = runs(0, 200);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].length, 5u);
    EXPECT_EQ(r[1].start, 125u);
}

TEST_F(MdtTest, PartitionUsageFollowsWritesAndTrims) {
    mdt_partition slots[3] = {{0, 1000, MDT_PARTITION_ONLINE, 0},
                              {1000, 1000, 2, 0},
                              {2000, 1000, MDT_PARTITION_ONLINE, 0}};
    mdt_partition_table table{};
    kpav_spinlock_init(&table.lock);
    table.count = 3;
    table.slots = slots;
    ctx_.partitions = &table;

    ASSERT_EQ(record(placement({{1, 0, 10}}), 10), 0);
    EXPECT_EQ(slots[0].used, 10);
    // Overwriting mapped sectors changes no usage.
    ASSERT_EQ(record(placement({{1, 10, 10}}), 10), 0);
    EXPECT_EQ(slots[0].used, 10);
    // A partition that is not online: the map changes, its usage does not.
    ASSERT_EQ(record(placement({{2, 0, 8}}), 1500), 0);
    EXPECT_EQ(slots[1].used, 0);
    EXPECT_EQ(runs(1500, 1508).size(), 1u);
    // Without accounting.
    ASSERT_EQ(record(placement({{2, 8, 8}}), 2100, MDT_NO_PARTITION_ACCOUNTING), 0);
    EXPECT_EQ(slots[2].used, 0);
    LONG64 out = 0;
    ASSERT_EQ(trim(0, 15, &out), 0);
    EXPECT_EQ(slots[0].used, 5);
    // Across the end of a partition.
    clear_debug_lines();
    EXPECT_EQ(record(placement({{3, 0, 8}}), 2996), -22);
    EXPECT_TRUE(logged("dov0: Internal software erorr - vsu actg.\n"));
    ctx_.partitions = nullptr;
}

struct hook_calls {
    std::vector<int> calls;
};
hook_calls hooks;

TEST_F(MdtTest, TheMetadataHookBracketsEveryUpdateEvenAFailedOne) {
    static const kpav_block_ops ops = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                       [](bdev*, int starting) { hooks.calls.push_back(starting); }, nullptr};
    kpav_block_interface entry = {KPAV_BLOCK_WINDOWS_DISK, &ops};
    bdev device{};
    device.iface = &entry;
    hooks.calls.clear();
    pav_addr_block p = placement({{1, 0, 4}});
    lrbtree_range range = {kSectors - 2, 4};
    EXPECT_EQ(mdt_record_sectors(&ctx_, MDT_REPLAY, &p, &device, &range), -22);
    LONG64 out = 0;
    lrbtree_range trimmed = {0, 4};
    EXPECT_EQ(mdt_trim(&ctx_, 0, &device, &trimmed, LRB_UNMAP_ALL, &out), 0);
    EXPECT_EQ(hooks.calls, (std::vector<int>{1, 0, 1, 0}));
}

TEST_F(MdtTest, TheGroomersBlockHasItsSlotsMarkedStale) {
    struct stale_log {
        mdt_groomer groomer;
        std::vector<std::pair<ULONG, ULONG>> marked;
    } g{};
    kpav_spinlock_init(&g.groomer.lock);
    g.groomer.eb = 5;
    g.groomer.mark_stale = [](mdt_groomer* groomer, ULONG offset, ULONG length) {
        ((stale_log*)groomer)->marked.push_back({offset, length});
    };
    ctx_.groomer = &g.groomer;
    ASSERT_EQ(record(placement({{5, 0, 10}}), 0), 0);
    ASSERT_EQ(record(placement({{6, 0, 10}}), 20), 0);
    LONG64 out = 0;
    ASSERT_EQ(trim(2, 3, &out), 0);
    ASSERT_EQ(trim(20, 3, &out), 0);
    EXPECT_EQ(g.marked, (std::vector<std::pair<ULONG, ULONG>>{{2, 3}}));
    ctx_.groomer = nullptr;
}

TEST_F(MdtTest, KeysOutsideTheReservedRangeAreCounted) {
    ASSERT_EQ(record(placement({{1, 0, 10}}), 0), 0);
    ASSERT_EQ(record(placement({{2, 0, 6}}), LRB_RESERVED_BASE + 100), 0);
    ULONG64 count = 0;
    ASSERT_EQ(mdt_mapped_outside_reserved(&ctx_, &count), 0);
    EXPECT_EQ(count, 10u);
}

TEST_F(MdtTest, TheMetadataEstimateShrinksToTheMemoryLimit) {
    mdt_context sizing{};
    sizing.sector_space = 1ull << 20;
    mdt_attach attach = {289500, 512};
    mdt_sizing s;
    mdt_size(&sizing, &attach, &s);
    EXPECT_EQ(s.leaves, 996u);
    EXPECT_EQ(s.index_nodes, 6u);
    EXPECT_EQ(s.total, 1005u);
    // 1 MiB: 255 pages.
    sizing.preallocate_mb = 1;
    mdt_size(&sizing, &attach, &s);
    EXPECT_EQ(s.leaves, 252u);
    EXPECT_EQ(s.index_nodes, 1u);
    EXPECT_EQ(s.total, 256u);
    // Larger expected I/O: fewer entries; a wide device: the lower fills.
    sizing.preallocate_mb = 0;
    sizing.expected_io_size = 4096;
    mdt_size(&sizing, &attach, &s);
    EXPECT_EQ(s.leaves, (289500ull + 10000) / 8 / 301 + 1);
    sizing.expected_io_size = 0;
    sizing.sector_space = 1ull << 33;
    mdt_size(&sizing, &attach, &s);
    EXPECT_EQ(s.leaves, (299500ull + 245) / 246);
    // A limit of 4 GiB and more does not wrap.
    sizing.preallocate_mb = 8192;
    mdt_size(&sizing, &attach, &s);
    EXPECT_EQ(s.leaves, (299500ull + 245) / 246);
}

}  // namespace
