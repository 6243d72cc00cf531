// The NAND command-cycle encodings, on a ring in host memory (no card): row addresses, sequence
// framing, the erase program by mode, the row program of a flush record and the randomizer's run
// words.

#include <set>
#include <vector>

#include "driver/pipeline/hw_cmds.h"
#include "driver/pipeline/nand_cmds.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/pipeline/request.h"
#include "driver/pipeline/ebinfo.h"
#include "tests/driver/pipeline/ring_entries.h"
#include "tests/support/kernel_fixture.h"

namespace {

using entry = ring_entry;

entry nand(ULONG reg, ULONG value) {
    return {BAR_NAND + reg, value};
}

constexpr ULONG test_blocks = 8;

class NandCmdsTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        channel_ = new nand_dev{};
        ASSERT_EQ(hw_cmds_alloc(channel_), 0);
        nand_geometry& g = channel_->geometry;
        g.pads = 2;  // a row's segments: one per bank
        g.banks = 2;
        g.total_pads = 3;  // lanes of a bank
        g.planes = 1;
        g.page_size = 4096;
        g.rows_per_eb = 512;
        g.page_bits = 9;
        g.block_bits = 11;
        g.lun_boundary = 8;
        g.lun_bit = 1u << 20;
        g.column_unit = 8;
        g.randomizer_unit = 512;
        g.plain_units = 2;
        g.sequence_slots = 4;
        // The blocks' records: every lane of a bank in use, one page per segment, no seed.
        store_geometry geometry{};
        geometry.eb_count = test_blocks;
        geometry.banks = g.banks;
        geometry.planes = g.planes;
        geometry.total_pads = g.total_pads;
        geometry.data_pads = g.total_pads;
        ASSERT_EQ(ebinfo_init(channel_, &geometry), 0);
        for (USHORT eb = 0; eb < test_blocks; eb++) {
            for (ULONG bank = 0; bank < g.banks; bank++) {
                ebinfo_get(channel_, eb)->banks[bank].effective_mask = 0x7;
                ebinfo_get(channel_, eb)->banks[bank].usable_bytes = g.page_size;
            }
        }
        request_.pool_index = 9;
        for (ULONG& level : request_.readlevel_override) {
            level = 0xFFFFFFFFu;  // as every request has after its reset
        }
    }
    void TearDown() override {
        ebinfo_exit(channel_);
        hw_cmds_free(channel_);
        delete channel_;
        KernelTest::TearDown();
    }
    std::vector<entry> taken() { return ring_entries_since(channel_, &seen_); }
    void set_seed(USHORT seed) {
        for (USHORT eb = 0; eb < test_blocks; eb++) {
            ebinfo_get(channel_, eb)->seed = seed;
        }
    }
    // Bank 1's blocks leave their middle lane out.
    void use_bank_lanes() {
        for (USHORT eb = 0; eb < test_blocks; eb++) {
            ebinfo_get(channel_, eb)->banks[1].effective_mask = 0x5;
        }
    }
    // The three bank-port bytes of a row address.
    static std::vector<entry> address(ULONG bank, ULONG row) {
        std::vector<entry> out;
        for (ULONG i = 0; i < 3; i++) {
            out.push_back(nand(156 + 32 * bank, (row >> (8 * i) & 0xFF) * 0x01010101u));
        }
        return out;
    }
    nand_dev* channel_ = nullptr;
    velkor_request request_{};
    ULONG seen_ = 0;
};

TEST(RandomizerTable, StartsAtOneAndRunsTheFullPeriod) {
    EXPECT_EQ(randomizer_table_value(0), 1);
    EXPECT_EQ(randomizer_table_value(1), 31704);
    EXPECT_EQ(randomizer_table_value(2), 15852);
    EXPECT_EQ(randomizer_table_value(5), 31845);
    std::set<USHORT> values;
    for (ULONG i = 0; i < RANDOMIZER_PERIOD; i++) {
        values.insert(randomizer_table_value(i));
    }
    EXPECT_EQ(values.size(), RANDOMIZER_PERIOD);
    EXPECT_EQ(*values.begin(), 1);
    EXPECT_EQ(*values.rbegin(), 32767);
}

TEST_F(NandCmdsTest, RowAddresses) {
    nand_geometry& g = channel_->geometry;
    EXPECT_EQ(nand_row_address(channel_, 5, 0, 3, 0), (5u << 9) | 3);
    g.planes = 2;
    g.first_block_offset = 2;
    EXPECT_EQ(nand_row_address(channel_, 5, 0, 3, 1), ((5u + 2) * 2 + 1) << 9 | 3);
    // Banks at or above the LUN boundary carry the LUN bit.
    g.lun_boundary = 1;
    EXPECT_EQ(nand_row_address(channel_, 5, 1, 3, 1), (((5u + 2) * 2 + 1) << 9 | 3) | 1u << 20);
    // The remap routine sees the block; the address is masked to page and block bits.
    g.remap_block = [](nand_dev*, ULONG, ULONG block) { return block + 0x1000; };
    EXPECT_EQ(nand_row_address(channel_, 5, 0, 3, 1), ((((5u + 2) * 2 + 1) + 0x1000) << 9 | 3) & 0xFFFFF);

    nand_command_address_command(channel_, 1, 0x3000, 0x123456, 0x00E0);
    std::vector<entry> expected = {nand(188, 0), nand(188, 0x30303030)};
    for (entry e : address(1, 0x123456)) {
        expected.push_back(e);
    }
    expected.push_back(nand(188, 0xE0E0E0E0));
    expected.push_back(nand(188, 0));
    EXPECT_EQ(taken(), expected);
}

TEST_F(NandCmdsTest, SequenceFramingAndTheLongSequenceRule) {
    request_.flags = 0;
    for (ULONG body : {40u, 32u}) {
        nand_sequence_header(channel_, &request_);
        ULONG start = channel_->ring.sequence_start;
        std::vector<entry> head = taken();
        ASSERT_EQ(head.size(), 2u);
        EXPECT_EQ(head[0].reg, BAR_NAND + 396);
        EXPECT_EQ(head[0].value & 0x0FFFFFFF, 0x20000Bu);
        EXPECT_EQ(head[1], nand(520, 1u << 16 | 9u << 2 | 3));
        EXPECT_EQ(request_.sequence_open, 1);
        // A start entry that carries bit 27 loses it on a long sequence.
        channel_->ring.entries[start].value |= STEP_LONG_SEQUENCE;
        // `body` entries from the header to the end, both included.
        for (ULONG i = 2; i + 1 < body; i++) {
            hw_cmds_append_nand(channel_, i, 4116);
        }
        nand_sequence_end(channel_, &request_);
        EXPECT_EQ((channel_->ring.entries[start].value & STEP_LONG_SEQUENCE) != 0, body < 33) << body;
        EXPECT_EQ(request_.sequence_open, 0);
        taken();
    }
    // Slots advance per header and wrap at the slot count.
    std::vector<ULONG> slots;
    for (int i = 0; i < 5; i++) {
        nand_sequence_header(channel_, &request_);
        slots.push_back(taken()[0].value >> 28);
        nand_sequence_end(channel_, &request_);
        taken();
    }
    EXPECT_EQ(slots, (std::vector<ULONG>{3, 0, 1, 2, 3}));
}

TEST_F(NandCmdsTest, EraseProgramByMode) {
    use_bank_lanes();
    request_.pending_bank = 0;
    // Mode 0: one address per bank, the block's lanes, a status step of 19.
    nand_erase_program(channel_, &request_, 4);
    std::vector<entry> expected;
    for (ULONG bank = 0; bank < 2; bank++) {
        for (entry e : address(bank, 4u << 9)) {
            expected.push_back(e);
        }
        expected.push_back(nand(72, bank == 1 ? 0x5u : 0x7u));
        expected.push_back(nand(400, 9u << 2 | 2));
        expected.push_back(nand(396, bank << 28 | 19));
    }
    EXPECT_EQ(taken(), expected);
    EXPECT_EQ(request_.pending_bank, 2);

    // Mode 1 on two planes: both planes' addresses, both lane masks, 23; flag bit 9 takes every
    // lane; a pending program start of the bank goes first.
    channel_->geometry.planes = 2;
    channel_->geometry.erase_mode = 1;
    channel_->pending_program_start[1] = 1;
    request_.flags = REQ_ALL_LANES;
    nand_erase_program(channel_, &request_, 4);
    expected.clear();
    for (ULONG bank = 0; bank < 2; bank++) {
        if (bank == 1) {
            expected.push_back(nand(72, 0x7));
            expected.push_back(nand(8, 0));
            expected.push_back(nand(12, 0));
            expected.push_back(nand(396, 1u << 28 | 13));
        }
        for (entry e : address(bank, 8u << 9)) {
            expected.push_back(e);
        }
        for (entry e : address(bank, 9u << 9)) {
            expected.push_back(e);
        }
        expected.push_back(nand(72, 0x7));
        expected.push_back(nand(68, 0x7));
        expected.push_back(nand(400, 9u << 2 | 2));
        expected.push_back(nand(396, bank << 28 | 23));
    }
    EXPECT_EQ(taken(), expected);
    EXPECT_EQ(channel_->pending_program_start[1], 0u);

    // Mode 2 with three lanes would write the per-lane registers over port B: both planes'
    // addresses instead.
    channel_->geometry.erase_mode = 2;
    channel_->pending_program_start[1] = 1;
    nand_erase_program(channel_, &request_, 4);
    std::vector<entry> mode2 = taken();
    EXPECT_EQ(mode2, expected) << "lanes beyond two fall back to addressed erases";
    for (const entry& e : mode2) {
        EXPECT_TRUE(e.reg < BAR_NAND + 448 || e.reg > BAR_NAND + 524 || e.reg == BAR_NAND + 520) << e;
    }
}

TEST_F(NandCmdsTest, RandomizerRuns) {
    struct run_case {
        const char* name;
        USHORT seed;
        ULONG bank;
        ULONG offset;
        ULONG length;
        UCHAR off;
        std::vector<ULONG> runs;
    };
    // Row 2 of bank 1 starts at 2 x 2 banks x 4096 + 4096 (bank 0's part) = 20480.
    auto t = [](ULONG index) { return (ULONG)randomizer_table_value(index) << 16; };
    const run_case cases[] = {
        {"randomizer off", 77, 0, 0, 4096, 1, {}},
        {"no seed: the table value, not randomized", 0, 1, 0, 4096, 0, {t(20480 * 8 % 32767) | 8}},
        {"seeded pad 0: plain units first", 77, 0, 0, 4096, 0, {3, 0x80000000u | t((77 + (16384 + 1536) * 8) % 32767) | 5}},
        {"seeded other pad: all randomized", 77, 1, 0, 4096, 0, {0x80000000u | t((77 + 20480 * 8) % 32767) | 8}},
        {"inside the plain part only", 77, 0, 512, 512, 0, {1}},
        {"a part unit counts whole", 77, 1, 0, 1000, 0, {0x80000000u | t((77 + 20480 * 8) % 32767) | 2}},
    };
    for (const run_case& c : cases) {
        set_seed(c.seed);
        channel_->geometry.randomizer_off = c.off;
        nand_randomizer_runs(channel_, 6, c.bank, 2, c.offset, c.length, 112);
        std::vector<entry> expected;
        for (ULONG r : c.runs) {
            expected.push_back(nand(112, r));
        }
        EXPECT_EQ(taken(), expected) << c.name;
    }
}

TEST_F(NandCmdsTest, RowProgramAndItsStart) {
    use_bank_lanes();
    channel_->geometry.part.program_param_a = 0xA;
    channel_->geometry.part.program_param_b = 0xB;
    channel_->geometry.part.row_marker_code = 3;
    set_seed(5);
    flush_record record{};
    record.index = 17;
    record.eb = 3;
    record.bank = 1;
    record.pad = 1;
    record.capacity = 4096;
    record.media_offset = 7 * 2 * 4096 + 4096;  // row 7, bank 1
    nand_row_program(channel_, &record);
    std::vector<entry> expected = {
        nand(112, 0x80000000u | (ULONG)randomizer_table_value((5 + record.media_offset * 8) % 32767) << 16 | 8),
        nand(0, 4096 / 8),
        nand(8, 0xA),
        nand(12, 0xB),
    };
    for (entry e : address(1, 3u << 9 | 7)) {
        expected.push_back(e);
    }
    expected.push_back(nand(3408, 1u << 24 | 17u << 2 | 1));
    expected.push_back(nand(404, 1u << 28 | 3 | 16));
    EXPECT_EQ(taken(), expected);

    nand_program_start(channel_, &record);
    EXPECT_EQ(taken(), (std::vector<entry>{nand(72, 0x5), nand(3340, 55)}));
}

TEST_F(NandCmdsTest, PageReadStepAndRunWords) {
    struct read_case {
        const char* name;
        ULONG64 flags;
        ULONG options;
        ULONG planes;
        ULONG step_low;  // bits 0-4 and 27
        bool stats;
        ULONG level_word = 0xFFFFFFFFu;  // the read-level override of bank 1
    };
    const read_case cases[] = {
        {"plain", 0, 0, 1, 0, false},
        {"mode 8 by flag 20", REQ_READ_MODE_8, NAND_READ_ALTERNATE, 1, 8, false},
        {"alternate mode 9", 0, NAND_READ_ALTERNATE, 1, 9, false},
        {"single-plane option", 0, NAND_READ_SINGLE_PLANE_OPTION, 1, STEP_LONG_SEQUENCE, false},
        {"no option on two planes", 0, NAND_READ_SINGLE_PLANE_OPTION, 2, 0, false},
        {"statistics by flag 17", REQ_STATS_17, 0, 1, 0, true},
        {"flag 16 without a buffer asks nothing", REQ_STATS_16, 0, 1, 0, false},
        {"the bank's read level before the step", REQ_READ_LEVELS, 0, 1, 0, false, 0xEAEAEAEA},
        {"a level of another bank is not this read's", REQ_READ_LEVELS, 0, 1, 0, false},
    };
    channel_->geometry.part.read_operation = 6;
    for (const read_case& c : cases) {
        request_.flags = c.flags;
        request_.pending_stats = 0;
        channel_->geometry.planes = c.planes;
        channel_->geometry.part.read_options = c.options;
        request_.readlevel_override[1] = c.level_word;
        request_.readlevel_override[0] = 0x11111111;
        nand_page_read(channel_, &request_, 2, 1, 5, 4096, 2);
        request_.readlevel_override[0] = request_.readlevel_override[1] = 0xFFFFFFFFu;
        std::vector<entry> got = taken();
        ULONG addresses = 3 * c.planes;
        bool level = c.level_word != 0xFFFFFFFFu;
        ASSERT_EQ(got.size(), addresses + 1 + 1 + 1 + 2 + (level ? 1 : 0)) << c.name;
        EXPECT_EQ(got[addresses], nand(72, 0x7)) << c.name;
        if (level) {
            EXPECT_EQ(got[addresses + 1], nand(NAND_READ_LEVEL, c.level_word)) << c.name;
            got.erase(got.begin() + addresses + 1);
        }
        EXPECT_EQ(got[addresses + 1], nand(396, ((6u | 1u << 23 | 0x10000) << 5) | c.step_low)) << c.name;
        EXPECT_EQ(got[addresses + 2].reg, BAR_NAND + 480) << c.name;
        ULONG word = (4096u / 8 / 2 - 1) << 8 | 16 | (c.stats ? 192u : 0u);
        EXPECT_EQ(got[addresses + 3], nand(516, word)) << c.name;
        EXPECT_EQ(request_.pending_stats, c.stats ? 2 : 0) << c.name;
    }
}

}  // namespace
