// Lane faults of programs and erases (pad-error records before the bank word, lanes that read
// as failed afterwards), reports held back or swapped, and the named event faults.

#include <gtest/gtest.h>

#include "sim/card/reports.h"
#include "tests/sim/card/nand_host.h"

using card_test::CardHost;
using card_test::CardTest;
using card_test::DmaBuffer;
using card_test::NandOps;
using card_test::flush_tag;
using card_test::request_tag;
using card_test::sequence_tag;
using card_test::transfer_word;
using card_test::lenient;
using sim::card::CardConfig;
using sim::card::record_terminator;

namespace {

constexpr uint32_t row_bytes = 4096;

class NandFaults : public card_test::NandTest {
  protected:
    void program(NandOps& n, uint32_t bank, uint32_t eb, uint32_t page, uint32_t flush) {
        n.row_program(bank, eb, page, flush, row_bytes);
        n.filler(row_bytes, flush_tag(flush));
        n.issue(bank, 3);
    }
};

// A pad-error record of a two-lane, one-plane card: the tag, then per plane one word with lane
// i's status in byte i (the second plane and unused lanes 0xE0).
std::vector<uint32_t> pad_record(uint32_t bank, uint32_t tag, uint8_t lane0, uint8_t lane1) {
    uint32_t plane0 = 0xE0E00000u | (uint32_t)lane1 << 8 | lane0;
    return {16 + bank, tag, plane0, 0xE0E0E0E0, record_terminator};
}

TEST_F(NandFaults, ProgramAndEraseLaneStatusReachThePadRecord) {
    struct lane_case {
        const char* fault;
        const char* parameters;
        bool erase;
        std::vector<uint32_t> before;  // words before the bank word
    };
    uint32_t ft = flush_tag(4);
    uint32_t et = request_tag(8);
    const lane_case cases[] = {
        {"program_fail", "bank=1 lane=1", false, pad_record(1, ft, 0xE0, 0xE1)},
        {"program_fail", "lane=0 status=0x60", false, pad_record(1, ft, 0x60, 0xE0)},
        {"program_fail", "bank=0", false, {}},
        {"lane_dead", "bank=1 lane=0", false, pad_record(1, ft, 0x00, 0xE0)},
        {"pad_fatal", "bank=1", false, {(16 + 1) | 1u << 29, ft, 0, 0, 0, record_terminator}},
        {"erase_fail", "lane=1", true, pad_record(1, et, 0xE0, 0xE1)},
        {"pad_fatal", "", true, {(16 + 1) | 1u << 29, et, 0, 0, 0, record_terminator}},
    };
    for (const lane_case& c : cases) {
        SCOPED_TRACE(std::string(c.fault) + " " + c.parameters);
        NandOps& n = start();
        n.h.card.inject(c.fault, c.parameters);
        if (c.erase) {
            n.erase(1, 2, et, 3);
        } else {
            program(n, 1, 2, 5, 4);
        }
        std::vector<uint32_t> expected = c.before;
        expected.push_back(c.erase ? sim::card::bank_word(1, 2, 8) : sim::card::bank_word(1, 1, 4));
        EXPECT_EQ(n.run_and_drain(1), expected);
        stop();
    }
}

TEST_F(NandFaults, AFailedLaneReadsAsFailedUntilItsBlockIsErased) {
    NandOps& n = start();
    n.h.card.inject("program_fail", "lane=1");
    program(n, 0, 3, 0, 1);
    EXPECT_EQ(n.run_and_drain(1).size(), 6u);
    DmaBuffer out(64);
    NandOps::Read r;
    r.eb = 3;
    r.tag = sequence_tag(5);
    r.transfers = {transfer_word(0, 1, 8)};
    r.descriptors = {{out.address(), 64, true}};
    n.read(r);
    EXPECT_EQ(n.run_and_drain(2),
              (std::vector<uint32_t>{105, sequence_tag(5), 1, record_terminator, sim::card::dma_done_word(5, false)}));
    n.erase(0, 3, request_tag(2), 3);
    n.run_and_drain(1);
    n.read(r);
    EXPECT_EQ(n.run_and_drain(2), (std::vector<uint32_t>{sim::card::dma_done_word(5, true)}));
}

TEST_F(NandFaults, EraseWithoutAnAddressIsRefused) {
    NandOps& n = start();
    n.h.append(card_test::nand(72), 3);
    n.h.append(card_test::nand(400), request_tag(6));
    n.h.append(card_test::nand(396), 1u << 28 | 19);
    EXPECT_EQ(n.run_and_drain(1), (std::vector<uint32_t>{17, request_tag(6), 0xE0E0E1E1, 0xE0E0E0E0, record_terminator,
                                                         sim::card::bank_word(1, 2, 6)}));
    EXPECT_EQ(n.h.card.protocol_faults().at(0).code, "per_lane_unsupported");
}

TEST_F(NandFaults, FlushWordsHeldBackOrSwappedComeOutOfOrder) {
    NandOps& n = start();
    sim::kernel::set_clock_rate(0);
    n.h.card.inject("delay_report", "kind=flush index=1 ms=5");
    program(n, 0, 1, 0, 1);
    program(n, 1, 1, 0, 2);
    EXPECT_EQ(n.run_and_drain(1), (std::vector<uint32_t>{sim::card::bank_word(1, 1, 2)}));
    sim::kernel::advance_clock(50000);
    n.h.settle();
    EXPECT_EQ(n.h.drain(1), (std::vector<uint32_t>{sim::card::bank_word(0, 1, 1)}));

    n.h.card.inject("swap_flush");
    program(n, 0, 1, 1, 3);
    program(n, 0, 1, 2, 4);
    program(n, 0, 1, 3, 5);
    EXPECT_EQ(n.run_and_drain(1), (std::vector<uint32_t>{sim::card::bank_word(0, 1, 4), sim::card::bank_word(0, 1, 3),
                                                         sim::card::bank_word(0, 1, 5)}));
}

TEST_F(NandFaults, NamedEventsAndTheirSideEffects) {
    struct named_case {
        const char* fault;
        const char* parameters;
        std::vector<uint32_t> words;
    };
    const named_case cases[] = {
        {"parity", "", {92}},
        {"parity", "event=224 detail=0x300", {224 | 0x300}},
        {"poison", "", {96}},
        {"bar_lost", "", {97}},
        {"upset", "", {99 | 0x100000}},
        {"upset", "kind=multi", {100 | 0x400}},
        {"upset", "kind=fatal", {100 | 0x200}},
        {"pcie_link", "detail=0x20100", {103 | 0x20100}},
        {"histogram", "record=[1,2,3]", {238, 1, 2, 3, record_terminator}},
        {"dcm_unlock", "", {95}},
    };
    NandOps& n = start();
    for (const named_case& c : cases) {
        n.h.card.inject(c.fault, c.parameters);
        EXPECT_EQ(n.h.drain(0), c.words) << c.fault << " " << c.parameters;
    }
    EXPECT_EQ(n.h.read(0xA204) >> 31, 0u) << "the clock lock is gone";
    n.h.card.inject("record102");
    EXPECT_EQ(n.h.drain(0).size(), 33u);
}

}  // namespace
