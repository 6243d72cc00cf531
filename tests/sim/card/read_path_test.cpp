// The read path through the command ring: page reads loaded into a sequence's stream, port B
// carving by kind into descriptors in either order, erased pages, magic mismatches, lane events
// before the DMA-done word, page statistics, and the randomizer's consistency check.

#include <gtest/gtest.h>

#include <cstring>

#include "sim/card/randomizer.h"
#include "sim/card/reports.h"
#include "tests/sim/card/nand_host.h"

using card_test::CardHost;
using card_test::CardTest;
using card_test::DmaBuffer;
using card_test::NandOps;
using card_test::PacketAddress;
using card_test::flush_tag;
using card_test::request_tag;
using card_test::sequence_tag;
using card_test::transfer_word;
using card_test::lenient;
using sim::card::CardConfig;
using sim::card::record_terminator;

namespace {

constexpr uint32_t row_bytes = 4096;
constexpr uint32_t eb = 6, bank = 1, page = 2;
const PacketAddress first{0x00000777AAAA0000ull, 0x90};

class ReadPath : public card_test::NandTest {
  protected:
    // A card whose segment (6, 1, 2) holds 7 packets from `first` and filler.
    NandOps& start(CardConfig config = lenient(), const std::vector<uint32_t>& write_runs = {}) {
        NandTest::start(config);
        data_.resize(7 * NandOps::sector);
        for (size_t i = 0; i < data_.size(); i++) {
            data_[i] = (uint8_t)(i * 13 + 5);
        }
        ops_->row_program(bank, eb, page, 1, row_bytes, write_runs);
        ops_->packets(first, 7, data_.data(), request_tag(3), false);
        ops_->filler(row_bytes - 7 * NandOps::unit, flush_tag(1));
        ops_->issue(bank, 3);
        EXPECT_EQ(ops_->run_and_drain(1).size(), 1u);
        return *ops_;
    }
    NandOps::Read packets_read(DmaBuffer& out, uint32_t tag = sequence_tag(2)) {
        NandOps::Read r;
        r.bank = bank;
        r.eb = eb;
        r.page = page;
        r.tag = tag;
        r.expected = first;
        r.transfers = {transfer_word(2, 7, NandOps::unit / 8), transfer_word(3, 1, (row_bytes - 7 * NandOps::unit) / 8)};
        r.descriptors = {{out.address(), 7 * NandOps::sector, true}};
        return r;
    }
    std::vector<uint8_t> data_;
};

TEST_F(ReadPath, ErasedPagesReadAsOnesWithTheErasedBitAndNoMagicCheck) {
    NandOps& n = start();
    DmaBuffer out(7 * NandOps::sector);
    NandOps::Read r = packets_read(out);
    r.eb = 9;  // never written
    n.read(r);
    EXPECT_EQ(n.run_and_drain(2), (std::vector<uint32_t>{sim::card::dma_done_word(2, true)}));
    EXPECT_EQ(out.bytes(0, out.size()), std::vector<uint8_t>(out.size(), 0xFF));
}

TEST_F(ReadPath, MagicMismatchIsReportedBeforeTheDataWhichStillArrives) {
    NandOps& n = start();
    DmaBuffer out(7 * NandOps::sector);
    NandOps::Read r = packets_read(out);
    r.expected = PacketAddress{first.address + 3, 0x94};  // same class; the fourth packet's address first
    n.read(r);
    auto words = n.run_and_drain(2);
    // Every packet is off by three: seven 44 events, then the DMA-done.
    ASSERT_EQ(words.size(), 7 * 8 + 1u);
    uint32_t tag = sequence_tag(2);
    EXPECT_EQ(std::vector<uint32_t>(words.begin(), words.begin() + 8),
              (std::vector<uint32_t>{44, tag, 0, r.expected.high(), r.expected.low(), first.high(), first.low(),
                                     record_terminator}));
    EXPECT_EQ(words[8 + 2], NandOps::unit) << "the second packet's offset in the stream";
    EXPECT_EQ(words.back(), sim::card::dma_done_word(2, false));
    EXPECT_EQ(out.bytes(0, data_.size()), data_);

    // Another opcode of the same class matches; a system packet's does not.
    ASSERT_EQ(words.size(), 57u);
    n.read(packets_read(out));
    r = packets_read(out);
    r.expected.opcode = 0x97;
    n.read(r);
    EXPECT_EQ(n.run_and_drain(2).size(), 2u) << "two clean reads";
    r.expected.opcode = 0xA0;
    n.read(r);
    EXPECT_EQ(n.run_and_drain(2).size(), 7 * 8 + 1u);
}

TEST_F(ReadPath, PortBKindsCarveTheStreamIntoDescriptorsInEitherOrder) {
    NandOps& n = start();
    DmaBuffer out(2048, 0xEE);
    // Skip the first packet's header, deliver its payload raw, then zeros without the stream.
    NandOps::Read r;
    r.bank = bank;
    r.eb = eb;
    r.page = page;
    r.transfers = {transfer_word(3, 1, 1), transfer_word(0, 1, NandOps::sector / 8), transfer_word(1, 1, 64)};
    r.descriptors = {{out.address(), 256, false}, {out.address() + 256, 256 + 512, true}};
    r.descriptors_first = true;
    n.read(r);
    EXPECT_EQ(n.run_and_drain(2), (std::vector<uint32_t>{sim::card::dma_done_word(1, false)}));
    EXPECT_EQ(out.bytes(0, NandOps::sector), std::vector<uint8_t>(data_.begin(), data_.begin() + NandOps::sector));
    EXPECT_EQ(out.bytes(NandOps::sector, 512), std::vector<uint8_t>(512, 0));
    EXPECT_EQ(out.bytes(1024, 16), std::vector<uint8_t>(16, 0xEE)) << "nothing beyond the descriptors";

    // The column window: the stream starts at column 65 (the second packet).
    NandOps::Read w;
    w.bank = bank;
    w.eb = eb;
    w.page = page;
    w.column_length = {NandOps::unit / 8, NandOps::unit / 8};
    w.expected = PacketAddress{first.address + 1, 0x90};
    w.transfers = {transfer_word(2, 1, NandOps::unit / 8)};
    w.descriptors = {{out.address(), NandOps::sector, true}};
    n.read(w);
    EXPECT_EQ(n.run_and_drain(2).size(), 1u);
    EXPECT_EQ(out.bytes(0, NandOps::sector),
              std::vector<uint8_t>(data_.begin() + NandOps::sector, data_.begin() + 2 * NandOps::sector));
    EXPECT_TRUE(n.h.card.protocol_faults().empty());
}

TEST_F(ReadPath, UnbalancedSequencesAndOverrunsAreProtocolFaults) {
    NandOps& n = start();
    CardHost& h = n.h;
    DmaBuffer out(64);
    NandOps::Read r;
    r.bank = bank;
    r.eb = eb;
    r.page = page;
    r.column_length = {row_bytes / 8 - 2, 2};  // the last 16 bytes of the row
    r.transfers = {transfer_word(0, 1, 4)};     // 32 bytes: 16 past the stream
    r.descriptors = {{out.address(), 32, true}, {out.address() + 32, 8, false}};
    n.read(r);
    h.append(card_test::nand(524), 0);  // an end with no sequence
    auto words = n.run_and_drain(2);
    EXPECT_EQ(words, (std::vector<uint32_t>{sim::card::dma_done_word(1, false)}));
    EXPECT_EQ(out.bytes(16, 16), std::vector<uint8_t>(16, 0xFF));
    std::vector<std::string> codes;
    for (const auto& f : h.card.protocol_faults()) {
        codes.push_back(f.code);
    }
    EXPECT_EQ(codes, (std::vector<std::string>{"stream_overrun", "portb_imbalance", "sequence_unbalanced"}));
}

TEST_F(ReadPath, LaneEventsComeBeforeTheDmaDoneInLaneOrder) {
    uint32_t tag = sequence_tag(2);
    struct event_case {
        const char* fault;
        const char* parameters;
        std::vector<uint32_t> before_done;
    };
    const event_case cases[] = {
        {"read_uncorrectable", "eb=6 bank=1 row=2", {105, tag, 0, record_terminator}},
        {"read_uncorrectable", "lane=1", {105, tag, 1, record_terminator}},
        {"read_uncorrectable", "lane=1 event=187", {187, tag & 0xFFFFFF, 1, record_terminator}},
        {"read_uncorrectable", "eb=7", {}},
        {"read_weak", "lane=0", {104, tag, 0, record_terminator}},
        {"decode_error", "", {204, tag, 0, record_terminator}},
        {"lane_dead", "bank=1 lane=1", {105, tag, 1, record_terminator}},
    };
    for (const event_case& c : cases) {
        SCOPED_TRACE(std::string(c.fault) + " " + c.parameters);
        NandOps& n = start();
        n.h.card.inject(c.fault, c.parameters);
        DmaBuffer out(7 * NandOps::sector);
        n.read(packets_read(out, tag));
        std::vector<uint32_t> expected = c.before_done;
        expected.push_back(sim::card::dma_done_word(2, false));
        EXPECT_EQ(n.run_and_drain(2), expected);
        stop();
    }
}

TEST_F(ReadPath, PageStatisticsRecordsComeFromTheHookOrTheFault) {
    CardConfig c = lenient();
    c.channel.stats = [](const sim::card::StatsQuery& q) {
        return std::vector<sim::card::LaneStats>{{(uint16_t)q.eb, (uint16_t)q.row}, {7, (uint16_t)q.lane_mask}};
    };
    NandOps& n = start(c);
    DmaBuffer out(7 * NandOps::sector);
    NandOps::Read r = packets_read(out);
    uint32_t run_word = 5u << 8 | 16 | 0xC0;
    r.run_words = {run_word};
    n.read(r);
    uint32_t tag = sequence_tag(2);
    EXPECT_EQ(n.run_and_drain(2), (std::vector<uint32_t>{0x30 | 2 << 10, tag, run_word, eb | page << 16, 7 | 3 << 16,
                                                         record_terminator, sim::card::dma_done_word(2, false)}));
    n.h.card.inject("stats", "first=9 second=4 times=always");
    n.read(r);
    auto words = n.run_and_drain(2);
    ASSERT_EQ(words.size(), 7u);
    EXPECT_EQ(words[3], 9u | 4u << 16);
    EXPECT_EQ(words[4], 9u | 4u << 16);
}

// Runs as the driver computes them: t[(seed + (row address + o) x 8) mod 32767] << 16 | units,
// bit 31 set, after a plain first run.
uint32_t random_run(uint32_t seed, uint64_t offset, uint32_t units) {
    uint32_t index = (uint32_t)((seed + offset * 8) % sim::card::Randomizer::period);
    return 0x80000000u | (uint32_t)sim::card::Randomizer::value(index) << 16 | units;
}

TEST_F(ReadPath, ReadRunsMustMeetTheRunsTheRowWasWrittenWith) {
    const uint32_t seed = 1234;
    std::vector<uint32_t> write_runs = {2, random_run(seed, 1024, 6)};  // 1024 plain bytes, then whitened
    NandOps& n = start(lenient(), write_runs);
    DmaBuffer out(7 * NandOps::sector);
    struct run_case {
        const char* what;
        std::vector<uint32_t> column_length;
        std::vector<uint32_t> runs;
        bool matches;
    };
    const run_case cases[] = {
        {"the write's own runs", {}, write_runs, true},
        {"from the column of a later unit", {2048 / 8, 1024 / 8}, {random_run(seed, 2048, 2)}, true},
        {"a plain run from a whitened column", {2048 / 8, 1024 / 8}, {2}, false},
        {"another seed", {}, {2, random_run(seed + 1, 1024, 6)}, false},
        {"whitened where the write was plain", {}, {random_run(seed, 0, 8)}, false},
    };
    for (const run_case& c : cases) {
        size_t faults = n.h.card.protocol_faults().size();
        NandOps::Read r = packets_read(out);
        r.column_length = c.column_length;
        r.runs = c.runs;
        r.transfers = {transfer_word(0, 1, 8)};
        r.descriptors = {{out.address(), 64, true}};
        n.read(r);
        n.run_and_drain(2);
        auto all = n.h.card.protocol_faults();
        EXPECT_EQ(all.size() == faults, c.matches) << c.what;
        if (all.size() > faults) {
            EXPECT_EQ(all.back().code, "randomizer_mismatch") << c.what;
        }
    }
}

}  // namespace
