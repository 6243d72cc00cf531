// The NAND part's recognition and its interface set-up on the card model: the identification
// read over the direct bus, the part table, the clock manager's programming, the ONFi timing
// mode set on the dies and the timing registers.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "driver/card/csr_dump.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/pipeline/nand_timing.h"
#include "driver/platform/format.h"
#include "tests/driver/controller/controller_fixture.h"

namespace {

class NandPartFixture : public ControllerCardTest {
  protected:
    void SetUp() override {
        ControllerCardTest::SetUp();
        kpav_snprintf(card_->name, sizeof card_->name, "%s", "dov0");
        channel_ = std::make_unique<nand_dev>();
        channel_->card = card_;
        nand_interface& n = channel_->iface;
        n.pads = 30;
        n.pad_groups = 3;
        n.banks = 8;
        n.dies = 1;
        n.chip_count = 8;
        n.page_buffer_bytes = 1130496;
        n.two_planes_allowed = 1;
        n.synchronous = 1;
        n.clock_programmable = 1;
        n.three_quarter = 1;
        n.reg_1580 = 1;
        n.eq_capable = 1;
        n.extended_range_bit = 1u << 21;
    }

    // The identification bytes of chip 1's pad 0, as the controller's initialisation reads them.
    std::array<UCHAR, NAND_PART_ID_MAX> read_id() {
        std::vector<UCHAR> bytes(8 * 32);
        nand_read_id(channel(), 0, 30, bytes.data());
        std::array<UCHAR, NAND_PART_ID_MAX> id{};
        for (ULONG k = 0; k < NAND_PART_ID_MAX; k++) {
            id[k] = bytes[32 * k];
        }
        return id;
    }

    int set_up_part() {
        std::array<UCHAR, NAND_PART_ID_MAX> id = read_id();
        nand_timing_defaults(channel());
        int rc = nand_part_setup(channel(), id.data());
        if (rc == 0) {
            nand_timing_program(channel());
        }
        return rc;
    }

    uint32_t reg(uint32_t csr) { return bar_->peek(csr); }
    nand_dev* channel() { return channel_.get(); }

    std::unique_ptr<nand_dev> channel_;
};

struct part_expectation {
    const char* part;
    ULONG kind;
    ULONG data, spare, pages, blocks_per_group;
    ULONG mode_register;  // 0x25D8
    ULONG reg_1580;
    ULONG policy_key;
    ULONG timing_mode;    // what the dies' feature 1 became
    ULONG t_read_ticks;   // at 83333333 Hz
    ULONG tccs;
    ULONG tdelay1;        // converted register value
    ULONG remapped_4300;  // block 4300 through the part's remap (itself without one)
};

class NandPartTest : public NandPartFixture, public ::testing::WithParamInterface<part_expectation> {
  protected:
    sim::card::ControllerConfig controller_config() const override {
        sim::card::ControllerConfig c;
        c.nand.part = GetParam().part;
        return c;
    }
};

TEST_P(NandPartTest, EveryPartIsRecognisedAndItsTimingProgrammed) {
    const part_expectation& e = GetParam();
    ASSERT_EQ(set_up_part(), 0);
    const nand_interface& n = channel()->iface;
    ASSERT_NE(n.part, nullptr);
    EXPECT_STREQ(n.part->name, e.part);
    EXPECT_EQ(n.interface_kind, e.kind);
    EXPECT_EQ(n.page_data, e.data);
    EXPECT_EQ(n.page_spare, e.spare);
    EXPECT_EQ(n.pages_per_block, e.pages);
    EXPECT_EQ(n.planes, 2u);  // 30 pads of two pages fit the 1130496-byte page buffer
    EXPECT_EQ(n.blocks_per_group, e.blocks_per_group);
    ASSERT_NE(n.policy, nullptr);
    EXPECT_EQ(n.policy->key, e.policy_key);
    EXPECT_EQ(n.scan_interval, 450000u);
    EXPECT_EQ(n.bus_width[0], 2);
    EXPECT_EQ(n.maker_code, n.part->id[0]);

    // The clock manager runs the 12000 ps period: divider 12 without the odd edge, the strobe a
    // quarter period late (3250 ps lies strictly between a quarter and three quarters).
    EXPECT_EQ(bar_->drp(0x0A), 6u << 6 | 6);
    EXPECT_EQ(bar_->drp(0x0B), 0u);
    EXPECT_EQ(bar_->drp(0x0D), 3u);
    EXPECT_EQ(bar_->nand_period_ps(), 12000u);
    EXPECT_TRUE(bar_->nand_clock_locked());
    EXPECT_EQ(n.nand_clock_hz, 83333333u);
    EXPECT_EQ(reg(0x2010), (e.kind == 2 ? 1u : 2u) | 5u << 4);
    EXPECT_EQ(reg(0x25D8), e.mode_register);
    EXPECT_EQ(reg(0x1580), e.reg_1580);
    for (uint32_t bank : {0u, 7u}) {
        for (uint32_t pad : {0u, 29u}) {
            EXPECT_EQ(bar_->die_timing_mode(bank, pad), e.timing_mode) << bank << "/" << pad;
        }
    }

    // The timing set of the interface kind, and the part's times in NAND clock ticks.
    EXPECT_EQ(reg(0x2580), e.t_read_ticks);
    EXPECT_EQ(reg(0x25C0), e.tccs);
    EXPECT_EQ(reg(0x2610), e.tdelay1);
    EXPECT_EQ(reg(0x2618), 1u);  // tadl 70 ns is 6 ticks
    EXPECT_EQ(reg(0x2594), 45834u);  // 550000 ns
    EXPECT_EQ(reg(0x259C), 1833334u);  // 22000000 ns: 64-bit arithmetic
    EXPECT_EQ(reg(0x25BC), 8192u);

    ULONG (*remap)(nand_dev*, ULONG, ULONG) = channel()->geometry.remap_block;
    EXPECT_EQ(remap != nullptr ? remap(channel(), 0, 4300) : 4300u, e.remapped_4300);
    EXPECT_EQ(channel()->geometry.part_id_length, n.part->id_length);
}

INSTANTIATE_TEST_SUITE_P(
    Parts, NandPartTest,
    ::testing::Values(
        // part, kind, data, spare, pages, blocks/group, 0x25D8, 0x1580, policy, mode, tR, tccs, tdelay1, 4300
        part_expectation{"NPT_ALDER", 2, 16384, 1216, 512, 1024, 1, 374, 5, 0x14, 3167, 16, 53, 4300},
        part_expectation{"NPT_BIRCH", 2, 16384, 1216, 512, 1024, 1, 374, 5, 0x14, 3167, 16, 53,
                         (1u << 21 >> 9) | (4300 - 2048)},
        part_expectation{"NPT_CEDAR", 2, 16384, 1216, 512, 1024, 1, 374, 5, 0x14, 3167, 16, 53, 4300},
        part_expectation{"NPT_DAPHNE", 2, 16384, 1216, 512, 1024, 1, 374, 5, 0x14, 3167, 16, 53,
                         (1u << 21 >> 9) | (4300 - 2048)},
        part_expectation{"NPT_ELM", 1, 16384, 1280, 256, 2138, 0, 283, 6, 0, 2934, 13, 19, 4300 + 3917},
        part_expectation{"NPT_FIR", 1, 16384, 1280, 256, 2138, 0, 283, 6, 0, 2934, 13, 19, 4300 + 3917},
        part_expectation{"NPT_GORSE", 1, 16384, 1280, 256, 2138, 0, 283, 6, 0, 2934, 13, 19, 4300 + 3917}),
    [](const auto& info) { return std::string(info.param.part); });

class UnknownPartTest : public NandPartFixture {
  protected:
    sim::card::ControllerConfig controller_config() const override {
        sim::card::ControllerConfig c;
        c.nand.ids[{0, 0}] = {0x6E, 0xA4, 0x3C, 0x58, 0xAA, 0, 0, 0};  // ALDER's but for byte 4
        return c;
    }
};

TEST_F(UnknownPartTest, AnIdNoRowMatchesIsRefusedWithoutAMessage) {
    size_t lines = sim::kernel::debug_texts().size();
    EXPECT_EQ(set_up_part(), -1024);
    EXPECT_EQ(channel()->iface.part, nullptr);
    EXPECT_EQ(sim::kernel::debug_texts().size(), lines);
}

TEST_F(NandPartFixture, TheDirectBusAnswersStatusAndFeatures) {
    UCHAR status[32] = {};
    nand_read_status(channel(), 2, 30, status);
    EXPECT_EQ(status[0], 0xE0);
    EXPECT_EQ(status[29], 0xE0);

    nand_set_feature_bus(channel(), 0x92, 0x5A);
    UCHAR p[4] = {};
    nand_get_feature(channel(), 0x92, p);
    EXPECT_EQ(p[0], 0x5A);
    EXPECT_EQ(p[1], 0);
    // Every chip (bank) took it.
    EXPECT_EQ(bar_->die_feature(7, 29, 0x92)[0], 0x5A);
    EXPECT_TRUE(nand_set_feature_all_banks(channel(), 0));
    EXPECT_EQ(bar_->die_feature(3, 10, 0x92)[0], 0);
}

class WriteProtectedPadTest : public NandPartFixture {
  protected:
    sim::card::ControllerConfig controller_config() const override {
        sim::card::ControllerConfig c;
        c.nand.write_protected = {{1, 3}};
        c.nand.absent = {{1, 5}};
        return c;
    }
};

TEST_F(WriteProtectedPadTest, StatusShowsTheProtectedAndTheMissingPad) {
    UCHAR status[32] = {};
    nand_read_status(channel(), 1, 30, status);
    EXPECT_EQ(status[3], 0x60);
    EXPECT_EQ(status[5], 0x00);
    EXPECT_EQ(status[4], 0xE0);
}

struct clock_case {
    ULONG period, delay;
    bool three_quarter;
    ULONG drp_0a, drp_0b, drp_0c, drp_0d, mode_register;
};

class ClockTest : public NandPartFixture, public ::testing::WithParamInterface<clock_case> {};

TEST_P(ClockTest, TheClockManagerTakesTheDividerAndThePhase) {
    const clock_case& c = GetParam();
    channel()->iface.interface_kind = NAND_KIND_ONFI_SYNC;
    ASSERT_TRUE(mmcm_set_clock(channel(), c.period, c.delay, 5, c.three_quarter));
    EXPECT_EQ(bar_->drp(0x0A), c.drp_0a);
    EXPECT_EQ(bar_->drp(0x0B), c.drp_0b);
    EXPECT_EQ(bar_->drp(0x0C), c.drp_0c);
    EXPECT_EQ(bar_->drp(0x0D), c.drp_0d);
    EXPECT_EQ(bar_->drp(0x06), c.drp_0c);
    EXPECT_EQ(bar_->drp(0x07), c.drp_0d);
    EXPECT_EQ(bar_->drp(0x28), 0xFFFFu);
    EXPECT_EQ(reg(0x2010), c.mode_register);
    EXPECT_EQ(channel()->iface.nand_clock_hz, (ULONG)(1000000000000ull / c.period));
}

INSTANTIATE_TEST_SUITE_P(
    Periods, ClockTest,
    ::testing::Values(
        // 12000 ps: divider 12, strobe at 3000 ps.
        clock_case{12000, 3250, true, 0x186, 0x00, 0x186, 3, 0x51},
        // 13000 ps: divider 13 (6 + 7) with the edge bit; a quarter is 3250 ps: 3 steps, 2 eighths.
        clock_case{13000, 4000, true, 0x187, 0x80, 2u << 13 | 0x187, 0x80 | 3, 0x51},
        // A delay outside the middle half takes the three-quarter phase: 9000 ps.
        clock_case{12000, 2000, true, 0x186, 0x00, 0x186, 9, 0x55},
        // ... only when allowed.
        clock_case{12000, 2000, false, 0x186, 0x00, 0x186, 3, 0x51}),
    [](const auto& info) { return "case_" + std::to_string(info.index); });

TEST_F(NandPartFixture, ClockSettingsItCannotTakeAreRefused) {
    EXPECT_FALSE(mmcm_set_clock(channel(), 0, 0, 5, false));
    EXPECT_TRUE(has_text("dov0: Invalid NAND clock period - 0"));
    EXPECT_FALSE(mmcm_set_clock(channel(), 12500, 3000, 5, false));
    EXPECT_TRUE(has_text("dov0: MMCM Period invalid - 12500"));
    EXPECT_FALSE(mmcm_set_clock(channel(), 12000, 3100, 5, false));
    EXPECT_TRUE(has_text("dov0: MMCM Delay invalid - 3100"));
    EXPECT_EQ(bar_->drp(0x0A), 0x0104u);  // nothing was written
}

class ClockNeverLocksTest : public NandPartFixture {
  protected:
    sim::card::ControllerConfig controller_config() const override {
        sim::card::ControllerConfig c;
        c.nand.never_lock = true;
        return c;
    }
};

TEST_F(ClockNeverLocksTest, TheSetUpFailsSilently) {
    size_t lines = sim::kernel::debug_texts().size();
    EXPECT_EQ(set_up_part(), -1024);
    EXPECT_EQ(sim::kernel::debug_texts().size(), lines);
}

class DrpNeverReadyTest : public NandPartFixture {
  protected:
    sim::card::ControllerConfig controller_config() const override {
        sim::card::ControllerConfig c;
        c.nand.drp_never_ready = true;
        return c;
    }
};

TEST_F(DrpNeverReadyTest, ALockedClockWithAFailedWriteSaysSo) {
    EXPECT_FALSE(mmcm_set_clock(channel(), 12000, 3250, 5, false));
    EXPECT_TRUE(has_text("dov0: Failed to set DRP clock"));
}

TEST(NandTiming, OnfiModesAndTicks) {
    EXPECT_EQ(onfi_mode_of(11999), 5u);
    EXPECT_EQ(onfi_mode_of(12000), 4u);
    EXPECT_EQ(onfi_mode_of(19999), 3u);
    EXPECT_EQ(onfi_mode_of(20000), 2u);
    EXPECT_EQ(onfi_mode_of(49999), 1u);
    EXPECT_EQ(onfi_mode_of(50000), 0u);
    EXPECT_EQ(nand_ns_to_ticks(70, 83333333), 6u);
    EXPECT_EQ(nand_ns_to_ticks(22000000, 125000000), 2750000u);
    EXPECT_EQ(nand_ns_to_ticks(0, 125000000), 0u);
}

TEST_F(NandPartFixture, ALongPeriodOverrideFallsToModeZeroWithAMessage) {
    channel()->iface.period_override_ps = 50000;
    ASSERT_EQ(set_up_part(), 0);
    EXPECT_TRUE(has_text("dov0: Unsupported ONFi timing"));
    EXPECT_EQ(bar_->die_timing_mode(0, 0), 0x10);
    EXPECT_EQ(channel()->iface.sets[2].tccs, 0);  // (299999 - 8 P) / P below zero stays 0
    EXPECT_EQ(bar_->nand_period_ps(), 50000u);
}

TEST_F(NandPartFixture, TheTimingReportReadsTheRegistersBack) {
    ASSERT_EQ(set_up_part(), 0);
    std::vector<char> buffer(8192, 0);
    csr_dump_printer out{card_, buffer.data(), 0, (ULONG)buffer.size()};
    print_nand_timing(channel(), 2, &out);
    std::string text(buffer.data());
    EXPECT_NE(text.find("pavinf dov0: tcmd   (4,4) 45ns 22Mhz 44MBps\n"), std::string::npos) << text;
    EXPECT_NE(text.find("pavinf dov0: tread  (3,1) 25ns 40Mhz 80MBps\n"), std::string::npos) << text;
    EXPECT_NE(text.find("pavinf dov0: tsel (0x00000103)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("pavinf dov0: tccs   (16)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("pavinf dov0: tmisc  (0x00010300)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("pavinf dov0: tdelay1  (53) tfeat (53) tadl (1) twrite0 (7) twrite1 (4)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("pavinf dov0: tREAD  ticks (3167) ns (38005)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("pavinf dov0: tSTAT  ticks (84) ns (1009)\n"), std::string::npos) << text;
}

}  // namespace

namespace {

TEST(NandRemap, BoundariesOfBothRemaps) {
    auto channel = std::make_unique<nand_dev>();
    channel->iface.extended_range_bit = 1u << 21;
    channel->iface.page_bits = 9;
    const std::pair<ULONG, ULONG> split[] = {{0, 0}, {2047, 2047}, {2048, 1u << 12}, {2095, (1u << 12) | 47}};
    for (auto [block, expected] : split) {
        EXPECT_EQ(nand_remap_split(channel.get(), 0, block), expected) << block;
    }
    const std::pair<ULONG, ULONG> offset[] = {{0, 0}, {4275, 4275}, {4276, 4276 + 3917}, {8000, 8000 + 3917}};
    for (auto [block, expected] : offset) {
        EXPECT_EQ(nand_remap_offset(channel.get(), 0, block), expected) << block;
    }
}

TEST(NandPartTable, SevenRowsFoundByTheirSignificantBytes) {
    ULONG rows = 0;
    for (const nand_part_row* row = nand_part_table; row->name != nullptr; row++, rows++) {
        UCHAR id[NAND_PART_ID_MAX] = {};
        std::memcpy(id, row->id, NAND_PART_ID_MAX);
        id[NAND_PART_ID_MAX - 1] = 0x77;  // bytes past the significant ones are not compared
        EXPECT_EQ(nand_part_find(id, NAND_PART_ID_MAX), row) << row->name;
        id[row->id_length - 1] ^= 0x01;
        EXPECT_EQ(nand_part_find(id, NAND_PART_ID_MAX), nullptr) << row->name;
        EXPECT_EQ(nand_part_find(row->id, row->id_length - 1), nullptr) << row->name;  // too short
        EXPECT_EQ(row->clock_period_ps, 12000u);
        EXPECT_EQ(row->clock_delay_ps, 3250u);
        EXPECT_EQ(row->clock_mode, 5u);
    }
    EXPECT_EQ(rows, 7u);
}

}  // namespace
