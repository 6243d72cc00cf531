// Power: the power-cut flush keeps exactly the bytes of complete commands (padded with 0xF3),
// without it page buffers are lost; media survives the card (a kill is recovered at the next
// power-on); a planned cut after N programmed packets; the simulated cut of register 5020.

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#include "sim/card/reports.h"
#include "tests/sim/card/nand_host.h"

using card_test::CardHost;
using card_test::CardTest;
using card_test::NandOps;
using card_test::PacketAddress;
using card_test::flush_tag;
using card_test::nand;
using card_test::request_tag;
using sim::card::CardConfig;
using sim::card::SegmentKind;

namespace {

constexpr uint32_t row_bytes = 4096;

CardConfig on_file(const std::string& media) {
    CardConfig c = card_test::lenient();
    c.media_path = media;
    return c;
}

std::string temporary_path() {
    char name[] = "/tmp/card-media-test-XXXXXX";
    int fd = mkstemp(name);
    close(fd);
    unlink(name);
    return name;
}

class Power : public card_test::NandTest {
  protected:
    // Three packets (with report-done) into a row of bank 0 that is never issued.
    void three_packets(NandOps& n, uint32_t eb, uint32_t page) {
        std::vector<uint8_t> data(3 * NandOps::sector, 0x3C);
        n.row_program(0, eb, page, 1, row_bytes);
        n.packets({0x100, 0x90}, 3, data.data(), request_tag(2), true);
        EXPECT_EQ(n.run_and_drain(1), (std::vector<uint32_t>{sim::card::report_done_word(2)}));
    }
    void TearDown() override {
        stop();
        for (const std::string& p : files_) {
            std::remove(p.c_str());
        }
        NandTest::TearDown();
    }
    std::vector<std::string> files_;
};

TEST_F(Power, TheFlushKeepsWhatWasReportedDone) {
    struct flush_case {
        const char* what;
        uint32_t powercut_register;
        const char* holdup;
        bool kept;
    };
    const flush_case cases[] = {
        {"flush on", 1, "present", true},
        {"flush off", 0, "present", false},
        {"no holdup", 1, "absent", false},
        {"holdup failed", 1, "failed", false},
    };
    for (const flush_case& c : cases) {
        SCOPED_TRACE(c.what);
        NandOps& n = start();
        n.h.card.inject("holdup", c.holdup);
        n.h.write(nand(5000), c.powercut_register);
        three_packets(n, 2, 7);
        EXPECT_EQ(n.h.read(nand(0x2044)), 1u) << "a page buffer holds data";
        n.h.card.power_cut();
        EXPECT_EQ(n.h.read(0x148), 0xFFFFFFFFu) << "off the bus";
        auto info = n.h.card.segment_state(2, 0, 7);
        if (c.kept) {
            EXPECT_EQ(info.kind, SegmentKind::programmed);
            auto bytes = n.h.card.media_peek(2, 0, 7, 0, row_bytes);
            EXPECT_EQ(bytes[8], 0x3C);
            EXPECT_EQ(bytes[3 * NandOps::unit - 1], 0x3C);
            EXPECT_EQ(bytes[3 * NandOps::unit], 0xF3) << "padding after the last complete command";
            EXPECT_EQ(bytes[row_bytes - 1], 0xF3);
        } else {
            EXPECT_EQ(info.kind, SegmentKind::erased);
        }
        n.h.card.power_on();
        EXPECT_EQ(n.h.read(nand(5000)), 0u) << "registers take their power-on values";
        EXPECT_EQ(n.h.read(nand(0x2044)), 0u);
        stop();
    }
}

TEST_F(Power, MediaSurvivesTheCardAndAKillIsRecoveredAsACut) {
    std::string path = temporary_path();
    files_.push_back(path);
    {
        NandOps& n = start(on_file(path));
        n.row_program(1, 4, 0, 1, row_bytes);
        n.filler(row_bytes, flush_tag(1));
        n.issue(1, 3);
        EXPECT_EQ(n.run_and_drain(1).size(), 1u);
        n.h.write(nand(5000), 1);
        three_packets(n, 5, 9);
        stop();  // the card goes as with a killed process: nothing flushed
    }
    NandOps& n = start(on_file(path));
    EXPECT_EQ(n.h.card.segment_state(4, 1, 0).kind, SegmentKind::programmed);
    EXPECT_EQ(n.h.card.segment_state(5, 0, 9).kind, SegmentKind::programmed) << "recovered from the journal";
    EXPECT_EQ(n.h.card.media_peek(5, 0, 9, 3 * NandOps::unit, 1), std::vector<uint8_t>{0xF3});
    EXPECT_EQ(n.h.card.media_peek(5, 0, 9, 8, 1), std::vector<uint8_t>{0x3C});
    stop();

    CardConfig other = on_file(path);
    other.geometry.eb_count = 32;
    EXPECT_THROW(sim::card::Card card(other), std::runtime_error);
}

TEST_F(Power, ACutAfterNPacketsLeavesExactlyTheRowsProgrammedBeforeIt) {
    NandOps& n = start();
    // Rows of four packets each; the cut comes right after the program that reaches 9 packets,
    // the third row's.
    n.h.card.inject("power_cut", "after_packets=9");
    std::vector<uint8_t> data(4 * NandOps::sector, 0x11);
    for (uint32_t row = 0; row < 5; row++) {
        n.row_program(0, 1, row, row, 4 * NandOps::unit);
        n.packets({0x1000 + 4ull * row, 0x90}, 4, data.data(), request_tag(row), false);
        n.issue(0, 3);
    }
    n.h.doorbell();
    n.h.settle();
    EXPECT_FALSE(n.h.card.powered());
    for (uint32_t row = 0; row < 5; row++) {
        EXPECT_EQ(n.h.card.segment_state(1, 0, row).kind, row < 3 ? SegmentKind::programmed : SegmentKind::erased)
            << "row " << row;
    }
    EXPECT_EQ(n.h.card.counters().packets_programmed, 12u);
}

TEST_F(Power, SimulatedCutFlushesPageBuffersAndTheCardGoesOn) {
    NandOps& n = start();
    n.h.card.inject("incomplete_reset");
    three_packets(n, 3, 3);
    EXPECT_EQ(n.h.read(nand(0x2044)), 1u);
    n.h.write(nand(5020), 1);
    n.h.write(nand(5020), 0);
    EXPECT_EQ(n.h.read(nand(0x2044)), 0u);
    EXPECT_EQ(n.h.card.segment_state(3, 0, 3).kind, SegmentKind::programmed);
    EXPECT_EQ(n.h.drain(1), std::vector<uint32_t>{}) << "no completion words";
    EXPECT_TRUE(n.h.card.powered());
}

TEST_F(Power, ChannelResetDropsRowsAndPendingReports) {
    NandOps& n = start();
    three_packets(n, 3, 4);
    n.h.write(nand(4096), 0xFFFFFFFF);
    EXPECT_EQ(n.h.card.channel_state().rows, 0u);
    EXPECT_EQ(n.h.read(nand(0x2044)), 0u);
    EXPECT_EQ(n.h.card.segment_state(3, 0, 4).kind, SegmentKind::erased);
}

}  // namespace
