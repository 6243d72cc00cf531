// Direct commands (a marker tag of subtype 0: read-backs on ring 0, then the bank's marker word)
// and binary commands (a request's status tag: read-backs on its ring, no marker), through the
// command ring; and the faults that drop or bend their answers.

#include <gtest/gtest.h>

#include "sim/card/reports.h"
#include "tests/sim/card/nand_host.h"

using card_test::CardHost;
using card_test::CardTest;
using card_test::NandOps;
using card_test::request_tag;
using card_test::lenient;
using sim::card::CardConfig;
using sim::card::record_terminator;

namespace {

constexpr uint32_t end_mark = 239;
constexpr uint32_t binary_end = 0xFFFFFFFF;

std::vector<uint32_t> readback(uint32_t first, std::vector<uint32_t> payload) {
    return sim::card::readback_record(first, payload);
}

std::vector<uint32_t> concat(std::initializer_list<std::vector<uint32_t>> parts) {
    std::vector<uint32_t> all;
    for (const auto& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

using Direct = card_test::NandTest;

TEST_F(Direct, SequencesAnswerReadBacksBeforeTheMarker) {
    CardConfig c = lenient();
    for (uint8_t i = 0; i < 30; i++) {
        c.controller.nand_ident[i] = (uint8_t)(0xA0 + i);
    }
    NandOps& n = start(c);
    // Set feature 146 to 0x0201 on both lanes, read it back, read the identification, then a
    // bank configuration word (no answer).
    n.direct(1, 3, {4, 146, 0x0201, end_mark, 9, 146, end_mark, 26, end_mark, 3, 0x1234});
    std::vector<uint32_t> feature(32, 0);
    feature[0] = 0x0101;  // group 0: byte 0 of each lane's value
    feature[8] = 0x0202;  // group 1: byte 1
    std::vector<uint32_t> ident = {0xA3A2A1A0, 0xA7A6A5A4, 0xABAAA9A8, 0xAFAEADAC,
                                   0xB3B2B1B0, 0xB7B6B5B4, 0xBBBAB9B8, 0x0000BDBC};
    EXPECT_EQ(n.run_and_drain(0), concat({readback(0x08, {}), readback(0x08, feature), readback(0x08, ident),
                                          {sim::card::bank_word(1, 0, 0)}}));
    EXPECT_TRUE(n.h.card.protocol_faults().empty());
}

TEST_F(Direct, BinaryCommandsAnswerOnTheirRequestsRing) {
    NandOps& n = start();
    n.binary(0, {10, 0x55, binary_end}, request_tag(12, 1));
    n.binary(1, {11, binary_end}, request_tag(13, 1));
    n.binary(1, {25, 7, binary_end}, request_tag(14, 1));
    EXPECT_EQ(n.run_and_drain(1), concat({readback(0x08 | 12 << 8, {}), readback(0x08 | 13 << 8, {0x55}),
                                          readback(0x08 | 14 << 8, {})}));
    EXPECT_EQ(n.h.drain(0), std::vector<uint32_t>{}) << "no marker";
}

TEST_F(Direct, DroppedAndBentAnswers) {
    struct answer_case {
        const char* fault;
        const char* parameters;
        std::vector<uint32_t> ring0;
    };
    const std::vector<uint32_t> marker = {sim::card::bank_word(0, 0, 0)};
    const answer_case cases[] = {
        {"drop_marker", "bank=0", readback(0x08, {0})},
        {"drop_readback", "", marker},
        {"readback", "len=5 payload=[1,2]", concat({{0x08, 5, record_terminator, 1, 2, record_terminator}, marker})},
        {"readback", "len=1 tag=3", concat({{0x308, 1, record_terminator, 0, record_terminator}, marker})},
        {"record_truncate", "kind=8", concat({{0x08, 2, record_terminator, 0}, marker})},
    };
    for (const answer_case& c : cases) {
        SCOPED_TRACE(std::string(c.fault) + " " + c.parameters);
        NandOps& n = start();
        n.h.card.inject(c.fault, c.parameters);
        n.direct(0, 3, {11, binary_end});
        EXPECT_EQ(n.run_and_drain(0), c.ring0);
        stop();
    }
}

TEST_F(Direct, BrokenSequencesAreDroppedAndTheMarkerStillComes) {
    struct broken_case {
        const char* what;
        std::vector<uint32_t> items;
        size_t readbacks;
    };
    const broken_case cases[] = {
        {"an unknown code", {11, binary_end, 77, 1}, 1},
        {"a sequence cut short", {9, 146}, 0},
        {"a missing terminator", {11, 5}, 0},
    };
    for (const broken_case& c : cases) {
        SCOPED_TRACE(c.what);
        NandOps& n = start();
        n.direct(1, 3, c.items);
        auto words = n.run_and_drain(0);
        EXPECT_EQ(words.size(), c.readbacks * 5 + 1);
        EXPECT_EQ(words.back(), sim::card::bank_word(1, 0, 0));
        ASSERT_EQ(n.h.card.protocol_faults().size(), 1u);
        EXPECT_EQ(n.h.card.protocol_faults()[0].code, "command_language");
        stop();
    }
    // A ragged port: bytes that are not whole words.
    NandOps& n = start();
    n.h.append(card_test::nand(156), 11);
    n.h.append(card_test::nand(400), 0);
    n.h.append(card_test::nand(396), 26);
    EXPECT_EQ(n.run_and_drain(0), (std::vector<uint32_t>{sim::card::bank_word(0, 0, 0)}));
    EXPECT_EQ(n.h.card.protocol_faults().at(0).code, "command_language");
}

}  // namespace
