// The validity bitmap: its geometry, bits and counts under concurrent writers of one word, the
// per-LEB summaries saved into metadata blocks and loaded back (a damaged one is never taken),
// the pacing position, and the failure reason names.
#include <atomic>
#include <cstring>
#include <thread>

#include "driver/log/mblk.h"
#include "driver/log/pbitmap.h"
#include "driver/log/vbmap.h"
#include "tests/driver/log/log_fixture.h"

namespace {

TEST(VbmapGeometry, BlocksBitsAndStride) {
    struct row {
        ULONG packets, sector, blocks;
        ULONG64 bits;
        ULONG stride;
    } rows[] = {
        {100, 512, 1, 32768, 10},      // 4096 / 512 + 2
        {32768, 512, 1, 32768, 10},    // exactly one block
        {32769, 512, 2, 65536, 18},    // one more packet: two blocks
        {32769, 4096, 2, 65536, 4},
        {1000, 520, 1, 32768, 10},     // ceil(4096 / 520) = 8
    };
    for (const row& r : rows) {
        ULONG blocks = 0, stride = 0;
        ULONG64 bits = 0;
        vbmap_geometry(r.packets, r.sector, &blocks, &bits, &stride);
        EXPECT_EQ(blocks, r.blocks) << r.packets;
        EXPECT_EQ(bits, r.bits) << r.packets;
        EXPECT_EQ(stride, r.stride) << r.packets << " " << r.sector;
    }
}

TEST(VbmapNames, FailureReasons) {
    EXPECT_STREQ(device_failure_reason_name(0), "none");
    EXPECT_STREQ(device_failure_reason_name(4), "failed die");
    EXPECT_STREQ(device_failure_reason_name(11), "thermal");
    EXPECT_EQ(device_failure_reason_name(12), nullptr);
    EXPECT_EQ(device_failure_reason_name(-1), nullptr);
}

class VbmapTest : public MetadataTest {
  protected:
    void SetUp() override {
        MetadataTest::SetUp();
        t_ = make(&counters_);
        ASSERT_EQ(vbmap_create(&map_, &t_->log, 0, kLebs, 512), 0);
    }
    void TearDown() override {
        vbmap_destroy(&map_);
        t_.reset();
        MetadataTest::TearDown();
    }
    static constexpr ULONG kLebs = 60;  // two summary blocks
    static constexpr ULONG kPackets = 1000;
    std::unique_ptr<test_log> make(std::vector<leb_counters>* counters) {
        auto t = std::make_unique<test_log>(kLebs, kPackets);
        counters->assign(kLebs, leb_counters{});
        for (auto& c : *counters) c.note_address = ~0ull;
        t->log.counters = counters->data();
        t->log.head_leb = 0;
        t->log.append_leb = kLebs - 1;
        return t;
    }
    // The page of the block of `key` in `log`'s table (NULL: none).
    static UCHAR* page_of(pav_log* log, ULONG64 key) {
        mblk* block = nullptr;
        if (mblk_get(&block, log, key, MBLK_FIND) != 0) return nullptr;
        UCHAR* page = (UCHAR*)block->page;
        mblk_put(log, block);
        return page;
    }
    std::vector<leb_counters> counters_;
    std::unique_ptr<test_log> t_;
    vbmap map_{};
};

TEST_F(VbmapTest, SummaryInitClearsNoteAddressesOfItsRange) {
    counters_[2].note_address = 5;
    counters_[9].note_address = 6;
    vbmap_destroy(&map_);
    ASSERT_EQ(vbm_summary_init(&map_, &t_->log, 0, 8, 512), 0);
    EXPECT_EQ(counters_[2].note_address, ~0ull);
    EXPECT_EQ(counters_[9].note_address, 6u) << "outside the range";
}

TEST_F(VbmapTest, CreateMakesEveryBlockZeroedAndDirty) {
    for (ULONG leb = 0; leb < kLebs; leb++) {
        mblk* block = nullptr;
        ASSERT_EQ(mblk_get(&block, &t_->log, VBMAP_BASE_KEY + leb, MBLK_FIND), 0) << leb;
        EXPECT_NE(block->flags & MBLK_FLAG_DIRTY, 0);
        EXPECT_EQ(block->users, 1u);
        mblk_put(&t_->log, block);
    }
    EXPECT_FALSE(vbmap_test(&map_, 3, 0));
}

TEST_F(VbmapTest, CountsFollowTheBitsThatChanged) {
    ASSERT_EQ(vbmap_set(&map_, 2, 10, 100), 0);
    EXPECT_EQ(counters_[2].valid, 100);
    ASSERT_EQ(vbmap_set(&map_, 2, 50, 100), 0) << "an overlap counts only the new bits";
    EXPECT_EQ(counters_[2].valid, 140);
    ASSERT_EQ(vbmap_clear(&map_, 2, 0, 30), 0);
    EXPECT_EQ(counters_[2].valid, 120);
    ASSERT_EQ(vbmap_clear(&map_, 2, 0, 30), 0) << "clearing again does not drive the count below the bits";
    EXPECT_EQ(counters_[2].valid, 120);
    EXPECT_TRUE(vbmap_test(&map_, 2, 30));
    EXPECT_FALSE(vbmap_test(&map_, 2, 29));
    EXPECT_EQ(vbmap_set(&map_, 2, 999, 2), -22) << "beyond the LEB";
    EXPECT_EQ(vbmap_set(&map_, (USHORT)kLebs, 0, 1), -22);
    const vbmap_run runs[] = {{4, 0, 5}, {5, 995, 5}};
    ASSERT_EQ(vbmap_mark_valid(&map_, runs, 2), 0);
    EXPECT_EQ(counters_[4].valid, 5);
    EXPECT_EQ(counters_[5].valid, 5);
    ASSERT_EQ(vbmap_clear_leb(&map_, 2), 0);
    EXPECT_EQ(counters_[2].valid, 0);
    EXPECT_FALSE(vbmap_test(&map_, 2, 100));
}

// Write completions set bits while invalidations and moves clear their neighbours in the same
// 32-bit word under other locks: no update of one may be lost to the other.
TEST_F(VbmapTest, WritersOfOneWordUnderDifferentLocksLoseNothing) {
    constexpr int kRounds = 200000;
    std::atomic<bool> go{false};
    auto writer = [&](ULONG first) {
        while (!go.load()) {
        }
        for (int i = 0; i < kRounds; i++) {
            vbmap_set(&map_, 7, first, 8);
            vbmap_clear(&map_, 7, first, 8);
        }
        vbmap_set(&map_, 7, first, 8);
    };
    std::thread a(writer, 0), b(writer, 8), c(writer, 16), d(writer, 24);
    go.store(true);
    a.join();
    b.join();
    c.join();
    d.join();
    for (ULONG p = 0; p < 32; p++) EXPECT_TRUE(vbmap_test(&map_, 7, p)) << p;
    EXPECT_EQ(counters_[7].valid, 32);
}

TEST_F(VbmapTest, RecordImagesCopyInAndOut) {
    std::vector<UCHAR> record(512 + 4096, 0);
    record[512] = 0x0F;                  // packets 0..3
    record[512 + kPackets / 8 + 2] = 0xFF;  // bits past the LEB's packets: not believed
    ASSERT_EQ(vbmap_copy_in(&map_, 9, record.data(), record.size()), 0);
    EXPECT_EQ(counters_[9].valid, 4);
    EXPECT_TRUE(vbmap_test(&map_, 9, 3));
    EXPECT_FALSE(vbmap_test(&map_, 9, 4));
    std::vector<UCHAR> out(4096);
    ASSERT_EQ(vbmap_copy_out(&map_, 9, out.data()), 0);
    EXPECT_EQ(out[0], 0x0F);
    EXPECT_EQ(out[kPackets / 8 + 2], 0) << "cleared on the way in";
    EXPECT_EQ(vbmap_copy_in(&map_, 9, record.data(), record.size() - 1), -22) << "short record";
}

// A record built from the bitmap gives back its runs of valid packets, up to the LEB's end.
TEST_F(VbmapTest, RecordRunsFollowTheBits) {
    ASSERT_EQ(vbmap_set(&map_, 3, 0, 3), 0);
    ASSERT_EQ(vbmap_set(&map_, 3, 8, 17), 0);
    ASSERT_EQ(vbmap_set(&map_, 3, 990, 10), 0);
    std::vector<UCHAR> record(vbm_record_bytes(&map_));
    ASSERT_EQ(vbm_record_build(&map_, 3, 0x1234, record.data()), 0);
    ULONG64 position = 0;
    ASSERT_EQ(vbm_record_check(&map_, 3, record.data(), &position), 0);
    EXPECT_EQ(position, 0x1234u);
    EXPECT_EQ(vbm_record_check(&map_, 4, record.data(), &position), -5);
    record[512 + kPackets / 8 + 1] = 0xFF;  // beyond the LEB's packets: never a run
    std::vector<std::pair<ULONG, ULONG>> runs;
    ULONG first = 0, count = 0;
    for (ULONG from = 0; vbm_record_next_run(&map_, record.data(), from, &first, &count); from = first + count) {
        runs.push_back({first, count});
    }
    EXPECT_EQ(runs, (std::vector<std::pair<ULONG, ULONG>>{{0, 3}, {8, 17}, {990, 10}}));
    ASSERT_TRUE(vbm_record_next_run(&map_, nullptr, 40, &first, &count)) << "no record: all valid";
    EXPECT_EQ(first, 40u);
    EXPECT_EQ(count, kPackets - 40);
    EXPECT_FALSE(vbm_record_next_run(&map_, nullptr, kPackets, &first, &count));
}

TEST_F(VbmapTest, SummaryRecordLayoutAndChecks) {
    vbm_summary s{};
    s.peak = 900;
    s.valid = 800;
    s.erase_count = 77;
    s.write_time = 0x5F000000;
    s.time_next = 3;
    s.note_address = 0x123456789Aull;
    s.vbm_position = 0x40ull << 24 | 5;
    for (ULONG i = 0; i < VBM_READ_LEVEL_WORDS; i++) s.read_levels[i] = 0x100 + i;
    UCHAR record[VBM_SUMMARY_RECORD_BYTES];
    vbm_summary_encode(record, &s);
    const UCHAR magic[] = {0xEE, 0xFF, 0xC0, 0x43};
    EXPECT_EQ(std::memcmp(record, magic, 4), 0);
    EXPECT_EQ(record[12], 77);
    EXPECT_EQ(record[24], 0x9A);
    EXPECT_EQ(record[40], 0x00);
    EXPECT_EQ(record[41], 0x01);
    vbm_summary back{};
    ASSERT_EQ(vbm_summary_decode(record, kPackets, &back), 0);
    EXPECT_EQ(back.vbm_position, s.vbm_position);
    EXPECT_EQ(back.read_levels[7], 0x107u);
    EXPECT_EQ(vbm_summary_decode(record, 799, &back), -5) << "more valid packets than the LEB holds";
    record[0] ^= 1;
    EXPECT_EQ(vbm_summary_decode(record, kPackets, &back), -5);
}

// Saved into the summary and bitmap blocks, written out and replayed by key into a new log: the
// load gives back counters, positions and bits.
TEST_F(VbmapTest, SavedSummariesAndBitmapsLoadIntoANewLog) {
    ASSERT_EQ(vbmap_set(&map_, 1, 0, 300), 0);
    ASSERT_EQ(vbmap_set(&map_, 57, 10, 20), 0);
    counters_[1].peak = 500;
    counters_[57].note_address = 0xABCDEF;
    t_->lebs[57].first_position = 0x1234ull << 24 | 9;
    ASSERT_EQ(vbm_summary_save(&map_), 0);
    EXPECT_EQ(counters_[57].peak, 20u) << "the peak rises to the valid count";
    EXPECT_EQ(page_of(&t_->log, VBM_SUMMARY_BASE_KEY + 2), nullptr) << "60 LEBs take two blocks";

    std::vector<leb_counters> counters2;
    auto t2 = make(&counters2);
    vbmap map2{};
    ASSERT_EQ(vbmap_create(&map2, &t2->log, 0, kLebs, 512), 0);
    EXPECT_EQ(vbm_summary_load(&map2), -22) << "no summary blocks were loaded";
    // What a metadata load does: every saved block's page under its key.
    for (ULONG64 key : {VBM_SUMMARY_BASE_KEY, VBM_SUMMARY_BASE_KEY + 1, VBMAP_BASE_KEY + 1, VBMAP_BASE_KEY + 57}) {
        mblk* block = nullptr;
        ASSERT_EQ(mblk_get(&block, &t2->log, key, MBLK_FIND_OR_CREATE), 0);
        std::memcpy(block->page, page_of(&t_->log, key), 4096);
        mblk_put(&t2->log, block);
    }
    ASSERT_EQ(vbm_summary_load(&map2), 0);
    EXPECT_EQ(counters2[1].valid, 300);
    EXPECT_EQ(counters2[1].peak, 500u);
    EXPECT_EQ(counters2[57].valid, 20);
    EXPECT_EQ(counters2[57].note_address, 0xABCDEFull);
    EXPECT_EQ(counters2[3].note_address, ~0ull);
    EXPECT_EQ(t2->lebs[57].first_position, 0x1234ull << 24 | 9);
    EXPECT_EQ(t2->lebs[57].last_position, 0x1234ull << 24 | 9);
    EXPECT_TRUE(vbmap_test(&map2, 1, 299));
    EXPECT_FALSE(vbmap_test(&map2, 1, 300));
    EXPECT_TRUE(vbmap_test(&map2, 57, 29));
    vbmap_destroy(&map2);
}

// One damaged record anywhere: the load reports it and takes none, not even the good ones
// before it.
TEST_F(VbmapTest, ADamagedSummaryIsNeverTaken) {
    ASSERT_EQ(vbmap_set(&map_, 0, 0, 10), 0);
    ASSERT_EQ(vbm_summary_save(&map_), 0);
    struct damage {
        ULONG64 key;
        ULONG offset;
        UCHAR value;
    } cases[] = {
        {VBM_SUMMARY_BASE_KEY + 1, (58 % 56) * 72, 0x00},      // LEB 58's magic
        {VBM_SUMMARY_BASE_KEY, 5 * 72 + 8 + 3, 0x7F},           // LEB 5: valid beyond the LEB
    };
    for (const damage& d : cases) {
        UCHAR* page = page_of(&t_->log, d.key);
        ASSERT_NE(page, nullptr);
        UCHAR saved = page[d.offset];
        page[d.offset] = d.value;
        InterlockedExchange(&counters_[0].valid, 1234);
        EXPECT_EQ(vbm_summary_load(&map_), -5);
        EXPECT_EQ(counters_[0].valid, 1234) << "nothing taken";
        page[d.offset] = saved;
    }
    EXPECT_TRUE(logged("dov0: LEB summary 58 is damaged, not used.\n"));
    EXPECT_TRUE(logged("dov0: LEB summary 5 is damaged, not used.\n"));
    ASSERT_EQ(vbm_summary_load(&map_), 0);
    EXPECT_EQ(counters_[0].valid, 10);
}

TEST_F(VbmapTest, OldestPositionWalksTheChain) {
    // kPackets = 1000 per LEB, W = 2.
    struct row {
        ULONG open;
        USHORT cursor;
        ULONG64 offset;
    } rows[] = {
        {1, 0, 500},  // halfway into the head LEB
        {2, 1, 0},
        {3, 1, 500},
        {4, 2, 0},
        {7, 3, 500},
    };
    for (const row& r : rows) {
        map_.cursor = PAV_NO_LEB;
        ULONG64 oldest = vbm_update_oldest(&map_, r.open);
        EXPECT_EQ(map_.cursor, r.cursor) << r.open;
        EXPECT_EQ(oldest, t_->lebs[r.cursor].sequence << 24 | r.offset) << r.open;
    }
    // The append LEB's own position caps it.
    t_->log.append_leb = 1;
    t_->lebs[1].first_position = t_->lebs[1].sequence << 24 | 7;
    map_.cursor = PAV_NO_LEB;
    EXPECT_EQ(vbm_update_oldest(&map_, 3), t_->lebs[1].sequence << 24 | 7);
    t_->lebs[0].first_position = t_->lebs[0].sequence << 24;
    EXPECT_EQ(vbm_position_needed(&map_, t_->lebs[0].sequence << 24 | 1), 1);
    EXPECT_EQ(vbm_position_needed(&map_, t_->lebs[0].sequence << 24), 0);
    map_.tracking = 0;
    EXPECT_EQ(vbm_position_needed(&map_, ~0ull), 0);
}

}  // namespace
