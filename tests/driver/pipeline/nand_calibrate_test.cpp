// The vendor parameter check of the maker's own parts, through the banks' command ports on the
// card model, whose dies keep vendor registers.

#include <gtest/gtest.h>

#include "driver/pipeline/direct_cmds.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/pipeline/nand_timing.h"
#include "sim/kernel/control.h"
#include "tests/driver/pipeline/card_channel.h"

namespace {

const nand_part_row* part_named(const char* name) {
    for (const nand_part_row* row = nand_part_table; row->name != nullptr; row++) {
        if (std::string(row->name) == name) {
            return row;
        }
    }
    return nullptr;
}

class CalibrateTest : public CardChannelTest {
  protected:
    void SetUp() override {
        CardChannelTest::SetUp();
        nand_interface& n = channel()->iface;
        n.part = part_named("NPT_ELM");
        n.banks = 2;
        n.dies_per_bank = 1;
        n.pad_groups = 1;
        n.pad_masks[0] = 0x3;
    }
    // The vendor register of lane `lane` on bank `bank`, target 0.
    UCHAR vendor(ULONG bank, UCHAR reg, ULONG lane) {
        EXPECT_EQ(nand_mgmt_select(channel(), bank, 0), 0);
        ULONG words[8] = {};
        EXPECT_EQ(nand_mgmt_read(channel(), bank, reg, 0, words, 8), 0);
        return (UCHAR)(words[lane / 4] >> (8 * (lane % 4)));
    }
};

TEST_F(CalibrateTest, CalibratedDiesOnlyGetTheCheckValuesAgain) {
    ASSERT_EQ(nand_mgmt_calibrate(channel()), 0);
    EXPECT_EQ(vendor(0, 0x4B, 0), 0x20);
    EXPECT_EQ(vendor(1, 0x94, 1), 0x00);  // no set entry was written
}

class UncalibratedTest : public CalibrateTest {
  protected:
    sim::card::CardConfig card_config() const override {
        sim::card::CardConfig c = CardChannelTest::card_config();
        c.controller.vendor_uncalibrated_lanes = 0x3;
        return c;
    }
};

TEST_F(UncalibratedTest, UncalibratedDiesGetEverySetEntry) {
    ASSERT_EQ(nand_mgmt_calibrate(channel()), 0);
    for (ULONG bank = 0; bank < 2; bank++) {
        for (ULONG lane = 0; lane < 2; lane++) {
            EXPECT_EQ(vendor(bank, 0x4B, lane), 0x20);
            EXPECT_EQ(vendor(bank, 0xCB, lane), 0x87);
            EXPECT_EQ(vendor(bank, 0x94, lane), 0xFB);  // -5
            EXPECT_EQ(vendor(bank, 0xB8, lane), 0xFD);  // -3
        }
    }
    // Now calibrated: a second check finds every pad set.
    EXPECT_EQ(nand_mgmt_calibrate(channel()), 0);
}

class MixedTest : public CalibrateTest {
  protected:
    sim::card::CardConfig card_config() const override {
        sim::card::CardConfig c = CardChannelTest::card_config();
        c.controller.vendor_uncalibrated_lanes = 0x1;
        return c;
    }
};

TEST_F(MixedTest, PadsThatDisagreeFailTheCheck) {
    EXPECT_EQ(nand_mgmt_calibrate(channel()), -4096);
    EXPECT_EQ(vendor(0, 0x94, 1), 0x00);  // nothing was set
}

TEST_F(CalibrateTest, PartsWithoutAVendorSetAndNoPart) {
    channel()->iface.part = part_named("NPT_ALDER");
    LONG before = channel()->ring_producer;
    EXPECT_EQ(nand_mgmt_calibrate(channel()), 0);
    EXPECT_EQ(channel()->ring_producer, before);
    channel()->iface.part = nullptr;
    EXPECT_EQ(nand_mgmt_calibrate(channel()), -1024);
    bool said = false;
    for (const std::string& line : sim::kernel::debug_texts()) {
        said = said || line.find("dov0: NAND mgmt info required and not found.") != std::string::npos;
    }
    EXPECT_TRUE(said);
}

}  // namespace
