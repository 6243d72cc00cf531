// Paged bitmaps: which leaves a range of words needs, bit ranges across leaves, the searches, and
// giving leaves back.
#include "driver/log/mblk.h"
#include "driver/log/pbitmap.h"
#include "sim/kernel/control.h"
#include "tests/driver/log/log_fixture.h"
#include "tests/driver/log/mblk_inspect.h"

namespace {

class PbitmapTest : public MetadataTest {
  protected:
    void SetUp() override {
        MetadataTest::SetUp();
        t_ = std::make_unique<test_log>(4, 100);
        ASSERT_EQ(pav_pbitmap_create(&bitmap_, 10 * 32768, nullptr, &t_->log), 0);
    }
    void TearDown() override {
        pav_pbitmap_destroy(&bitmap_);
        EXPECT_EQ(bitmap_, nullptr);
        t_.reset();
        MetadataTest::TearDown();
    }
    bool present(ULONG64 leaf) {
        return bitmap_->dir[leaf / PAV_PBITMAP_DIR_SLOTS][leaf % PAV_PBITMAP_DIR_SLOTS] != nullptr;
    }
    std::unique_ptr<test_log> t_;
    pav_pbitmap* bitmap_ = nullptr;
};

TEST_F(PbitmapTest, CreateSizesTheDirectory) {
    EXPECT_EQ(bitmap_->words, 10u * 1024 + 1);
    EXPECT_EQ(bitmap_->leaves, 0u);
    EXPECT_EQ(bitmap_->base_key, 0x00FFFFFFFEF70000u);
    pav_pbitmap* big = nullptr;
    ASSERT_EQ(pav_pbitmap_create(&big, 1ull << 36, nullptr, &t_->log), 0);
    EXPECT_EQ(big->top_slots, (1u << 31) / (1u << 19) + 1);
    pav_pbitmap_destroy(&big);
    sim::kernel::fail_nth(sim::kernel::fault_site::pool, 1, "vml4");
    EXPECT_EQ(pav_pbitmap_create(&big, 1ull << 36, nullptr, &t_->log), -12);
    sim::kernel::clear_faults();
    EXPECT_EQ(big, nullptr);
}

// Words 1000..3100 touch leaves 0 to 3, partial at both ends: all four are made.
TEST_F(PbitmapTest, AllocationCoversPartialLeavesAtBothEnds) {
    ASSERT_EQ(pav_mblk_alloc_for_append(bitmap_, 1000, 3100), 0);
    EXPECT_EQ(bitmap_->leaves, 4u);
    for (ULONG64 leaf = 0; leaf < 4; leaf++) EXPECT_TRUE(present(leaf)) << leaf;
    EXPECT_FALSE(present(4));
    mblk* block = nullptr;
    ASSERT_EQ(mblk_get(&block, &t_->log, PAV_PBITMAP_BASE_KEY + 3, MBLK_FIND), 0);
    EXPECT_EQ(block->users, 1u);
    mblk_put(&t_->log, block);
    ASSERT_EQ(pav_mblk_alloc_for_append(bitmap_, 0, 3100), 0) << "present leaves are kept";
    EXPECT_EQ(bitmap_->leaves, 4u);
    // A block of the key already in the table but not in the bitmap stops the walk.
    ASSERT_EQ(mblk_get(&block, &t_->log, PAV_PBITMAP_BASE_KEY + 5, MBLK_CREATE), 0);
    EXPECT_EQ(pav_mblk_alloc_for_append(bitmap_, 4 * 1024, 6 * 1024), -17);
    EXPECT_TRUE(present(4));
    EXPECT_FALSE(present(6));
}

TEST_F(PbitmapTest, AFailedLeafIsReportedAndTheOthersAreMade) {
    sim::kernel::fail_nth(sim::kernel::fault_site::pool, 2, "sal4");
    EXPECT_EQ(pav_mblk_alloc_for_append(bitmap_, 0, 3 * 1024), -12);
    sim::kernel::clear_faults();
    EXPECT_TRUE(present(0));
    EXPECT_FALSE(present(1));
    EXPECT_TRUE(present(2));
    EXPECT_TRUE(present(3));
    EXPECT_EQ(t_->log.state.value, (ULONG)PAV_LOG_UNRECOVERABLE_ERROR);
    EXPECT_EQ(pav_pbitmap_set_range(bitmap_, 0, 4 * 32768), -2) << "bits of an absent leaf cannot be set";
    EXPECT_EQ(pav_pbitmap_find_next_set(bitmap_, 0, 4 * 32768), 4u * 32768);
}

TEST_F(PbitmapTest, RangesCrossLeavesAndSearchesStopAtTheirEnd) {
    ASSERT_EQ(pav_mblk_alloc_for_append(bitmap_, 0, 4 * 1024 - 1), 0);
    // 40000 bits from bit 30000 reach into leaves 0, 1 and 2.
    ASSERT_EQ(pav_pbitmap_set_range(bitmap_, 30000, 40000), 0);
    EXPECT_EQ(pav_pbitmap_find_next_zero(bitmap_, 30000, 40000), 40000u);
    EXPECT_EQ(pav_pbitmap_find_next_zero(bitmap_, 30000, 40001), 40000u);
    EXPECT_EQ(pav_pbitmap_find_next_zero(bitmap_, 29990, 100), 0u);
    EXPECT_EQ(pav_pbitmap_find_next_set(bitmap_, 0, 30000), 30000u) << "no set bit: the count";
    EXPECT_EQ(pav_pbitmap_find_next_set(bitmap_, 0, 30001), 30000u);
    EXPECT_EQ(pav_pbitmap_find_next_set(bitmap_, 69999, 10), 0u);
    EXPECT_EQ(pav_pbitmap_find_next_set(bitmap_, 70000, 50000), 50000u);
    const ULONG* leaf2 = (const ULONG*)bitmap_->dir[0][2];
    EXPECT_EQ(leaf2[0], 0xFFFFFFFFu);
    EXPECT_EQ(leaf2[(69999 - 65536) / 32], 0xFFFFu) << "bits 69984..69999";
    // Clear the middle, within one word and across words.
    ASSERT_EQ(pav_pbitmap_clear_range(bitmap_, 40003, 5), 0);
    EXPECT_EQ(pav_pbitmap_find_next_zero(bitmap_, 30000, 40000), 10003u);
    EXPECT_EQ(pav_pbitmap_find_next_set(bitmap_, 40003, 100), 5u);
    ASSERT_EQ(pav_pbitmap_clear_range(bitmap_, 32700, 100), 0);
    EXPECT_EQ(pav_pbitmap_find_next_set(bitmap_, 32700, 1000), 100u);
    // Bits of absent leaves read as clear; ranges beyond the bitmap are refused.
    EXPECT_EQ(pav_pbitmap_find_next_zero(bitmap_, 5 * 32768 + 7, 10), 0u);
    EXPECT_EQ(pav_pbitmap_clear_range(bitmap_, 9 * 32768, 32768), 0);
    EXPECT_EQ(pav_pbitmap_set_range(bitmap_, bitmap_->words * 32 - 1, 2), -22);
}

TEST_F(PbitmapTest, TrimGivesBackLeavesWhollyInsideOnly) {
    ASSERT_EQ(pav_mblk_alloc_for_append(bitmap_, 0, 5 * 1024 - 1), 0);
    ULONG64 blocks = mblk_blocks_in_use(&t_->log);
    // Words 1000..4095: leaves 1, 2 and 3 lie inside, leaf 0 only partly.
    mblk* held = nullptr;
    ASSERT_EQ(mblk_get(&held, &t_->log, PAV_PBITMAP_BASE_KEY + 2, MBLK_FIND), 0);
    EXPECT_EQ(pav_pbitmap_trim(bitmap_, 1000, 4095), -16) << "leaf 2 is still referenced";
    EXPECT_FALSE(present(1));
    EXPECT_TRUE(present(2));
    mblk_put(&t_->log, held);
    ASSERT_EQ(pav_pbitmap_trim(bitmap_, 1000, 4095), 0);
    EXPECT_TRUE(present(0));
    EXPECT_FALSE(present(2));
    EXPECT_FALSE(present(3));
    EXPECT_TRUE(present(4));
    EXPECT_EQ(bitmap_->leaves, 2u);
    EXPECT_EQ(mblk_blocks_in_use(&t_->log), blocks - 3);
}

}  // namespace
