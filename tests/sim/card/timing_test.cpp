// NAND times on the machine clock (frozen here, moved by the test): programs and erases run in
// the background, page reads and markers without a page buffer hold replay, an erase waits for
// the bank's programs; and the manual engine mode.

#include <gtest/gtest.h>

#include "sim/card/reports.h"
#include "sim/kernel/control.h"
#include "tests/sim/card/nand_host.h"

using card_test::CardHost;
using card_test::CardTest;
using card_test::DmaBuffer;
using card_test::NandOps;
using card_test::flush_tag;
using card_test::request_tag;
using card_test::sequence_tag;
using card_test::transfer_word;
using sim::card::CardConfig;

namespace {

constexpr uint32_t row_bytes = 4096;
constexpr uint64_t ms = 10000;  // machine time units (100 ns) per millisecond

CardConfig timed() {
    CardConfig c = card_test::lenient();
    c.timing.program_ns = 1000000;
    c.timing.erase_ns = 2000000;
    c.timing.read_ns = 100000;
    return c;
}

class Timing : public card_test::NandTest {
  protected:
    NandOps& start(CardConfig config = timed()) {
        sim::kernel::set_clock_rate(0);
        return NandTest::start(config);
    }
    void program(NandOps& n, uint32_t bank, uint32_t page, uint32_t flush) {
        n.row_program(bank, 1, page, flush, row_bytes);
        n.filler(row_bytes, flush_tag(flush));
        n.issue(bank, 3);
    }
};

TEST_F(Timing, ProgramsRunInTheBackgroundAndAnEraseWaitsForThem) {
    NandOps& n = start();
    program(n, 0, 0, 1);
    n.erase(0, 2, request_tag(5), 3);   // waits for bank 0's program
    program(n, 1, 0, 2);                // behind the erase in the ring
    EXPECT_EQ(n.run_and_drain(1), std::vector<uint32_t>{});
    sim::kernel::advance_clock(1 * ms);
    n.h.settle();
    // Bank 0's program ended; the erase started and the entries behind it ran: bank 1 programs.
    EXPECT_EQ(n.h.drain(1), (std::vector<uint32_t>{sim::card::bank_word(0, 1, 1)}));
    sim::kernel::advance_clock(1 * ms);
    n.h.settle();
    EXPECT_EQ(n.h.drain(1), (std::vector<uint32_t>{sim::card::bank_word(1, 1, 2)}));
    sim::kernel::advance_clock(1 * ms);
    n.h.settle();
    EXPECT_EQ(n.h.drain(1), (std::vector<uint32_t>{sim::card::bank_word(0, 2, 5)}));
}

TEST_F(Timing, APageReadHoldsReplayUntilTheBankHasRead) {
    NandOps& n = start();
    DmaBuffer out(64);
    NandOps::Read r;
    r.eb = 2;
    r.tag = sequence_tag(3);
    r.transfers = {transfer_word(0, 1, 8)};
    r.descriptors = {{out.address(), 64, true}};
    n.read(r);
    n.h.append(0x6000, 1);  // behind the read
    EXPECT_EQ(n.run_and_drain(2), std::vector<uint32_t>{});
    EXPECT_EQ(n.h.read(0x6000), 0u);
    sim::kernel::advance_clock(ms / 10);
    n.h.settle();
    EXPECT_EQ(n.h.drain(2), (std::vector<uint32_t>{sim::card::dma_done_word(3, true)}));
    EXPECT_EQ(n.h.read(0x6000), 1u);
}

TEST_F(Timing, RowMarkersWaitForAFreePageBuffer) {
    CardConfig c = timed();
    c.channel.page_buffers = 2;
    NandOps& n = start(c);
    program(n, 0, 0, 0);           // programming: its buffer stays taken for 1 ms
    n.row_program(0, 1, 1, 1, row_bytes);
    n.row_program(0, 1, 2, 2, row_bytes);  // no buffer left: replay waits here
    n.h.append(0x6000, 1);
    n.run_and_drain(1);
    EXPECT_EQ(n.h.card.channel_state().rows, 2u);
    EXPECT_EQ(n.h.read(0x6000), 0u);
    sim::kernel::advance_clock(1 * ms);
    n.h.settle();
    EXPECT_EQ(n.h.drain(1), (std::vector<uint32_t>{sim::card::bank_word(0, 1, 0)}));
    EXPECT_EQ(n.h.card.channel_state().rows, 2u) << "the waiting marker took the freed buffer";
    EXPECT_EQ(n.h.read(0x6000), 1u);
}

TEST_F(Timing, AProgramCutShortEndsAsTheTornOutcomeSays) {
    struct torn_case {
        const char* outcome;
        uint32_t powercut_register;
        sim::card::SegmentKind kind;
    };
    const torn_case cases[] = {
        {"", 0, sim::card::SegmentKind::torn},
        {"erased", 0, sim::card::SegmentKind::erased},
        {"complete", 0, sim::card::SegmentKind::programmed},
        {"erased", 1, sim::card::SegmentKind::programmed},  // the flush lets it complete
    };
    for (const torn_case& c : cases) {
        SCOPED_TRACE(c.outcome);
        NandOps& n = start();
        if (*c.outcome != 0) {
            n.h.card.inject("torn_program", c.outcome);
        }
        n.h.write(card_test::nand(5000), c.powercut_register);
        program(n, 0, 4, 1);
        n.run_and_drain(1);
        ASSERT_EQ(n.h.card.rows().size(), 1u);
        EXPECT_TRUE(n.h.card.rows()[0].programming);
        n.h.card.power_cut();
        EXPECT_EQ(n.h.card.segment_state(1, 0, 4).kind, c.kind);
        stop();
    }
}

TEST_F(Timing, ManualModeRunsOnlyWhenAsked) {
    CardConfig c = CardConfig::small();
    c.channel.mode = sim::card::EngineMode::manual;
    CardHost& h = make_host(c);
    h.start(1);
    h.append(0x6000, 5);
    h.doorbell();
    EXPECT_EQ(h.read(0x6000), 0u);
    EXPECT_TRUE(h.card.run_until_idle());
    EXPECT_EQ(h.read(0x6000), 5u);
    EXPECT_FALSE(h.card.run_until_idle());
}

}  // namespace
