// The write path through the command ring: rows created by markers and filled by port A in
// either order, arming by program start and program go, programs answered by flush words,
// report-done once a command's bytes are in rows, erases, and programs over written media.

#include <gtest/gtest.h>

#include <cstring>

#include "sim/card/reports.h"
#include "tests/sim/card/nand_host.h"

using card_test::CardHost;
using card_test::CardTest;
using card_test::NandOps;
using card_test::PacketAddress;
using card_test::flush_tag;
using card_test::request_tag;
using card_test::sequence_tag;
using card_test::transfer_word;
using card_test::lenient;
using sim::card::CardConfig;

namespace {

constexpr uint32_t row_bytes = 4096;

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) {
        v[i] = (uint8_t)(seed + i * 7);
    }
    return v;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t w;
    std::memcpy(&w, b.data() + at, 4);
    return w;
}

using WritePath = card_test::NandTest;

TEST_F(WritePath, PacketsFillARowThatProgramsAndReadsBack) {
    NandOps& n = start();
    CardHost& h = n.h;
    n.erase(1, 3, request_tag(9), 3);
    EXPECT_EQ(n.run_and_drain(1), (std::vector<uint32_t>{sim::card::bank_word(1, 2, 9)}));

    // Seven packets and filler fill a 4096-byte row; the report-done comes when they are in the
    // row, the flush word when the row is programmed.
    auto data = pattern(7 * NandOps::sector, 1);
    PacketAddress first{0x0000123400000100ull, 0x90};
    n.row_program(1, 3, 10, 5, row_bytes);
    n.packets(first, 7, data.data(), request_tag(7), true);
    n.filler(row_bytes - 7 * NandOps::unit, flush_tag(5));
    n.issue(1, 3);
    EXPECT_EQ(n.run_and_drain(1),
              (std::vector<uint32_t>{sim::card::report_done_word(7), sim::card::bank_word(1, 1, 5)}));

    auto info = h.card.segment_state(3, 1, 10);
    EXPECT_EQ(info.kind, sim::card::SegmentKind::programmed);
    EXPECT_EQ(info.length, row_bytes);
    auto media = h.card.media_peek(3, 1, 10, 0, row_bytes);
    for (uint32_t i = 0; i < 7; i++) {
        EXPECT_EQ(le32(media, i * NandOps::unit), first.high()) << "packet " << i;
        EXPECT_EQ(le32(media, i * NandOps::unit + 4), first.low() + i);
        EXPECT_EQ(0, std::memcmp(media.data() + i * NandOps::unit + 8, data.data() + i * NandOps::sector, NandOps::sector));
    }
    EXPECT_EQ(media[7 * NandOps::unit], 0xF7);
    EXPECT_EQ(media[row_bytes - 1], 0xF7);
    EXPECT_EQ(h.card.counters().packets_programmed, 7u);

    // Read the packets back with their addresses, skip the filler.
    card_test::DmaBuffer out(7 * NandOps::sector);
    NandOps::Read r;
    r.bank = 1;
    r.eb = 3;
    r.page = 10;
    r.expected = first;
    r.transfers = {transfer_word(2, 7, NandOps::unit / 8), transfer_word(3, 1, (row_bytes - 7 * NandOps::unit) / 8)};
    r.descriptors = {{out.address(), 7 * NandOps::sector, true}};
    n.read(r);
    EXPECT_EQ(n.run_and_drain(2), (std::vector<uint32_t>{sim::card::dma_done_word(1, false)}));
    EXPECT_EQ(out.bytes(0, data.size()), data);
    EXPECT_TRUE(h.card.protocol_faults().empty());
    EXPECT_EQ(h.card.channel_state().rows, 0u);
}

TEST_F(WritePath, DataBeforeItsMarkerWaitsAndSplitsAcrossRows) {
    NandOps& n = start();
    CardHost& h = n.h;
    auto data = pattern(2 * row_bytes, 3);
    n.raw_data(data.data(), (uint32_t)data.size(), request_tag(4), true);
    EXPECT_EQ(n.run_and_drain(1), std::vector<uint32_t>{}) << "no row holds the bytes yet";
    EXPECT_EQ(h.card.channel_state().unplaced_bytes, 2 * row_bytes);

    n.row_program(0, 2, 0, 1, row_bytes);
    n.row_program(0, 2, 1, 2, row_bytes);
    n.issue(0, 3);
    n.issue(0, 3);
    EXPECT_EQ(n.run_and_drain(1), (std::vector<uint32_t>{sim::card::report_done_word(4), sim::card::bank_word(0, 1, 1),
                                                         sim::card::bank_word(0, 1, 2)}));
    EXPECT_EQ(h.card.media_peek(2, 0, 0, 0, row_bytes), std::vector<uint8_t>(data.begin(), data.begin() + row_bytes));
    EXPECT_EQ(h.card.media_peek(2, 0, 1, 0, row_bytes), std::vector<uint8_t>(data.begin() + row_bytes, data.end()));
}

TEST_F(WritePath, RowsProgramOnlyWhenArmedAndFull) {
    struct arming_case {
        const char* what;
        bool issue_before_data;
        bool issue_after_data;
        bool other_bank_step;
        bool programmed;
    };
    const arming_case cases[] = {
        {"armed before its data arrives", true, false, false, true},
        {"full but never armed", false, false, false, false},
        {"armed after it is full", false, true, false, true},
        {"a program start of another bank", false, false, true, false},
    };
    for (const arming_case& c : cases) {
        SCOPED_TRACE(c.what);
        NandOps& n = start();
        CardHost& h = n.h;
        n.row_program(0, 1, 0, 3, row_bytes);
        if (c.issue_before_data) {
            n.issue(0, 3);
        }
        n.filler(row_bytes, flush_tag(3));
        if (c.issue_after_data) {
            n.issue(0, 3);
        }
        if (c.other_bank_step) {
            h.append(card_test::nand(396), 1u << 28 | 13);
        }
        auto words = n.run_and_drain(1);
        EXPECT_EQ(words.size(), c.programmed ? 1u : 0u);
        EXPECT_EQ(h.card.channel_state().rows, c.programmed ? 0u : 1u);
        stop();
    }
}

TEST_F(WritePath, ReportDoneNeedsEveryByteOfTheCommandInARow) {
    NandOps& n = start();
    auto data = pattern(3 * NandOps::sector, 9);
    n.row_program(0, 1, 0, 3, 2 * NandOps::unit);  // the third packet does not fit
    n.packets({0x500, 0x90}, 3, data.data(), request_tag(11), true);
    EXPECT_EQ(n.run_and_drain(1), std::vector<uint32_t>{});
    n.row_program(0, 1, 1, 4, row_bytes);
    EXPECT_EQ(n.run_and_drain(1), (std::vector<uint32_t>{sim::card::report_done_word(11)}));
    auto rows = n.h.card.rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].committed, rows[0].capacity);
    EXPECT_EQ(rows[1].committed, NandOps::unit) << "the rest of the command";
}

TEST_F(WritePath, ProgrammingWrittenMediaTearsIt) {
    NandOps& n = start();
    CardHost& h = n.h;
    for (uint32_t flush : {1u, 2u}) {
        n.row_program(1, 4, 7, flush, row_bytes);
        n.filler(row_bytes, flush_tag(flush));
        n.issue(1, 3);
    }
    EXPECT_EQ(n.run_and_drain(1).size(), 2u) << "both rows answer";
    EXPECT_EQ(h.card.segment_state(4, 1, 7).kind, sim::card::SegmentKind::torn);
    ASSERT_EQ(h.card.protocol_faults().size(), 1u);
    EXPECT_EQ(h.card.protocol_faults()[0].code, "program_not_erased");

    // A torn segment reads as uncorrectable on every lane of the read, before the DMA-done.
    card_test::DmaBuffer out(64);
    NandOps::Read r;
    r.bank = 1;
    r.eb = 4;
    r.page = 7;
    r.tag = sequence_tag(6);
    r.transfers = {transfer_word(0, 1, 8)};
    r.descriptors = {{out.address(), 64, true}};
    n.read(r);
    uint32_t tag = sequence_tag(6);
    EXPECT_EQ(n.run_and_drain(2), (std::vector<uint32_t>{105, tag, 0, sim::card::record_terminator, 105, tag, 1,
                                                         sim::card::record_terminator, sim::card::dma_done_word(6, false)}));
}

}  // namespace
