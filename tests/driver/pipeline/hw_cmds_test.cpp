// The command ring's encoders and credit arithmetic, on a ring in host memory (no card).

#include <cstring>
#include <vector>

#include "driver/pipeline/hw_cmds.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/platform/memory.h"
#include "tests/driver/pipeline/ring_entries.h"
#include "tests/support/kernel_fixture.h"

namespace {

using entry = ring_entry;

constexpr ULONG nand(ULONG n) {
    return BAR_NAND + n;
}

class HwCmdsTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        channel_ = new nand_dev{};
        ASSERT_EQ(hw_cmds_alloc(channel_), 0);
    }
    void TearDown() override {
        hw_cmds_free(channel_);
        delete channel_;
        KernelTest::TearDown();
    }
    // The entries appended since the last call.
    std::vector<entry> taken() { return ring_entries_since(channel_, &seen_); }
    nand_dev* channel_ = nullptr;
    ULONG seen_ = 0;
};

TEST_F(HwCmdsTest, TransferCommandsFollowThePageRule) {
    struct transfer_case {
        const char* name;
        ULONG bytes;
        ULONG unit;
        ULONG kind;
        std::vector<ULONG> words;
    };
    const transfer_case cases[] = {
        {"pages and a remainder", 10000, 0, XFER_DATA, {hw_transfer_word(512, 2, 0), hw_transfer_word(226, 1, 0)}},
        {"whole pages", 8192, 0, XFER_DATA, {hw_transfer_word(512, 2, 0)}},
        {"less than a page", 1000, 0, XFER_DATA, {hw_transfer_word(125, 1, 0)}},
        {"explicit unit", 528 * 3, 528, XFER_PACKETS, {hw_transfer_word(66, 3, 2)}},
        {"fill ignores the unit", 8192, 528, XFER_FILL, {hw_transfer_word(512, 2, 1)}},
    };
    const ULONG bank_word = 1u << 24 | 7u << 2 | 2;
    for (const transfer_case& c : cases) {
        hw_transfer_a(channel_, c.bytes, c.unit, c.kind, bank_word);
        std::vector<entry> expected;
        for (ULONG w : c.words) {
            expected.push_back({nand(76), w});
            expected.push_back({nand(80), bank_word});
        }
        EXPECT_EQ(taken(), expected) << c.name;
        // The last command is the one an interrupt request would go on.
        EXPECT_EQ(channel_->ring.entries[channel_->ring.transfer_irq_index].reg, nand(76)) << c.name;
        EXPECT_EQ((channel_->ring.transfer_irq_index + 2) & HW_CMDS_MASK, (ULONG)channel_->ring_producer) << c.name;

        hw_transfer_b(channel_, c.bytes, c.unit, c.kind);
        expected.clear();
        for (ULONG w : c.words) {
            expected.push_back({nand(484), w});
        }
        EXPECT_EQ(taken(), expected) << c.name;
    }
    EXPECT_EQ(hw_transfer_word(512, 32767, 3), 0x10000000u | 512u << 18 | 32767u << 3 | 3u);
}

TEST_F(HwCmdsTest, AFillIsCutIntoPiecesOfAtMost32767Pages) {
    hw_page_run_a(channel_, 0x10000000, 2);
    const ULONG piece_pages = hw_transfer_word(512, 32767, XFER_FILL);
    const ULONG piece_rest = hw_transfer_word(4088 / 8, 1, XFER_FILL);
    std::vector<entry> expected = {
        {nand(76), piece_pages}, {nand(80), 2}, {nand(76), piece_rest}, {nand(80), 2},
        {nand(76), piece_pages}, {nand(80), 2}, {nand(76), piece_rest}, {nand(80), 2},
        {nand(76), hw_transfer_word(2, 1, XFER_FILL)}, {nand(80), 2},
    };
    EXPECT_EQ(taken(), expected);
}

TEST_F(HwCmdsTest, AddressesDescriptorsAndRegisterItems) {
    hw_media_address_a(channel_, 0x00ABCDEF12345678ull, 144);
    hw_media_address_b(channel_, 0x0001000200000003ull, 160);
    EXPECT_EQ(taken(), (std::vector<entry>{{nand(84), 0x12345678},
                                           {nand(88), 0xCDEFu << 16 | 0xABu << 8 | 144},
                                           {nand(488), 3},
                                           {nand(492), 0x0002u << 16 | 0x01u << 8 | 160}}));

    // A port B data run whose low address word would pass 2^32 becomes two runs.
    hw_split_data_run_b(channel_, 0x00050000FFFFFFF0ull, 144, 32, 528);
    EXPECT_EQ(taken(), (std::vector<entry>{{nand(488), 0xFFFFFFF0},
                                           {nand(492), 0x05u << 8 | 144},
                                           {nand(484), hw_transfer_word(66, 16, 2)},
                                           {nand(488), 0},
                                           {nand(492), 1u << 16 | 0x05u << 8 | 144},
                                           {nand(484), hw_transfer_word(66, 16, 2)}}));
    hw_split_data_run_b(channel_, 0xFFFFFFE0ull, 144, 32, 528);
    EXPECT_EQ(taken().size(), 3u);  // ends right at the boundary: one run

    channel_->ring.bank_select = 1;
    hw_dma_descriptor_a(channel_, 4096, 0x123456789A0ull, 0x1000006);
    ULONG first_b = hw_dma_descriptor_b(channel_, 512, 0x2000);
    EXPECT_EQ(channel_->ring.entries[first_b].reg, nand(496));
    EXPECT_EQ(taken(), (std::vector<entry>{{0x01C, 0x1000006},
                                           {0x018, 4096},
                                           {0x020, 0x456789A0},
                                           {0x024, 0x123},
                                           {nand(496), 512},
                                           {nand(500), 0x2000},
                                           {nand(504), 0}}));

    const hw_reg_item items[] = {{0x11223344, nand(156), 1}, {0xFFFFFFFF, nand(396), 0}};
    hw_register_items(channel_, items, 2);
    EXPECT_EQ(taken(), (std::vector<entry>{{nand(156), 0x44},
                                           {nand(156), 0x33},
                                           {nand(156), 0x22},
                                           {nand(156), 0x11},
                                           {nand(396), 0xFFFFFFFF}}));
}

TEST_F(HwCmdsTest, CreditsComeFromTheCreditWordUnlessItReadsAllOnes) {
    WriteNoFence(&channel_->ring_producer, 0x10);
    hw_cmds_apply_credit_word(channel_, 0x00020005);
    EXPECT_EQ(channel_->free_entries, 0x1FFE0u);
    EXPECT_EQ(channel_->free_doorbells, 507u);
    hw_cmds_apply_credit_word(channel_, 0xFFFFFFFF);
    EXPECT_EQ(channel_->free_entries, 0x1FFE0u);
    EXPECT_EQ(channel_->free_doorbells, 507u);
    // Everything fetched: the whole ring is free.
    hw_cmds_apply_credit_word(channel_, ((0x20000 - 0x10) & 0x1FFFF) << 13);
    EXPECT_EQ(channel_->free_entries, 0x20000u);
    EXPECT_EQ(channel_->free_doorbells, 512u);

    // Appends lower the free entries of the ring's credit owner and wrap at the ring's end.
    WriteNoFence(&channel_->ring_producer, (LONG)HW_CMDS_MASK);
    channel_->ring.posted = HW_CMDS_MASK;
    hw_cmds_append(channel_, 1, nand(4116));
    hw_cmds_append(channel_, 2, nand(4116));
    EXPECT_EQ((ULONG)channel_->ring_producer, 1u);
    EXPECT_EQ(channel_->free_entries, 0x20000u - 2);
    EXPECT_EQ(hw_cmds_unposted(channel_), 2u);
}

}  // namespace
