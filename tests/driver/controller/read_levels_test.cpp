// Read levels on a channel of the families' management info: temperature factors and weighted
// ages, the table lookup, the parameter word, the per-block updates, the retry sequences of both
// families and what a retry teaches, the default-level refresh, set-up failures.

#include "driver/controller/read_levels.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "driver/controller/card_services.h"
#include "driver/pipeline/channel_client.h"
#include "driver/pipeline/eb_geometry.h"
#include "driver/pipeline/ebinfo.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/pipeline/nand_media.h"
#include "driver/pipeline/request.h"
#include "driver/platform/errno_table.h"
#include "sim/kernel/control.h"
#include "tests/support/kernel_fixture.h"

namespace {

constexpr ULONG banks = 2;
constexpr ULONG pads = 4;
constexpr ULONG ebs = 16;

TEST(ReadLevelFactors, TheTableIsTheArrheniusFactorRelativeTo40C) {
    const struct {
        LONG celsius;
        ULONG factor;
    } telling[] = {{0, 2560}, {10, 13332}, {40, 1000000}, {50, 3529089}, {70, 35255663}, {100, 700928669}};
    for (const auto& t : telling) {
        EXPECT_EQ(readlevel_temperature_factor[t.celsius], t.factor) << t.celsius;
    }
    for (LONG c = 0; c <= 100; c++) {
        double exact = 1e6 * std::exp((1.1 / 0.0000862) * (1 / 313.15 - 1 / (c + 273.15)));
        EXPECT_EQ(readlevel_temperature_factor[c], (ULONG)std::floor(exact)) << c;
    }
}

class ReadLevelTest : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        channel_ = std::make_unique<nand_dev>();
        channel_->geometry.banks = banks;
        channel_->geometry.total_pads = pads;
        channel_->geometry.eb_count = ebs;
        store_geometry g{};
        g.eb_count = ebs;
        g.planes = 1;
        g.banks = banks;
        g.data_pads = pads;
        g.total_pads = pads;
        g.segments_per_eb = 512 * banks;
        g.page_size = 16384;
        ASSERT_EQ(ebinfo_init(channel(), &g), 0);
        for (ULONG eb = 0; eb < ebs; eb++) {
            eb_info* info = ebinfo_get(channel(), (USHORT)eb);
            info->erase_time = ebinfo_unix_seconds();
            info->erase_count = 100;
            for (ULONG b = 0; b < banks; b++) {
                info->banks[b].raw_mask = (1u << pads) - 1;
            }
        }
    }
    void TearDown() override {
        readlevel_free(channel());
        ebinfo_exit(channel());
        channel_.reset();
        KernelTest::TearDown();
    }
    nand_dev* channel() { return channel_.get(); }
    readlevel_context* levels() { return channel_->readlevel; }
    // The channel of family `key` (1: ONFi, value mask 0xFF; 8: fixed retry words, 0x7F) with
    // its read levels set up.
    void use_family(ULONG key, ULONG value_mask = 0xFF) {
        ASSERT_EQ(nand_mgmt_info_find(channel(), key), 0);
        channel_->iface.policy = nand_media_policy_find(key == 1 ? 5 : 6);
        channel_->iface.eq_capable = 1;
        channel_->iface.rl_mask = value_mask;
        ASSERT_EQ(readlevel_setup(channel()), 0);
        ASSERT_NE(levels(), nullptr);
    }
    CHAR level(USHORT eb, ULONG die, ULONG pad) { return levels()->levels[(banks * eb + die) * pads + pad]; }
    CHAR offset(USHORT eb, ULONG die, ULONG pad) { return levels()->offsets[(banks * eb + die) * pads + pad]; }
    void set_levels(USHORT eb, ULONG die, std::vector<CHAR> values) {
        for (ULONG pad = 0; pad < pads; pad++) {
            levels()->levels[(banks * eb + die) * pads + pad] = values[pad];
        }
    }
    eb_info* info(USHORT eb) { return ebinfo_get(channel(), eb); }
    velkor_request* new_request() {
        requests_.push_back(std::make_unique<velkor_request>());
        velkor_request* r = requests_.back().get();
        for (ULONG& w : r->readlevel_override) {
            w = 0xFFFFFFFFu;
        }
        return r;
    }
    // The request's levels for every retry of die 1 of block 5 until the sequence ends.
    std::vector<std::vector<int>> sequence(velkor_request* request, std::vector<ULONG>* words = nullptr) {
        std::vector<std::vector<int>> out;
        ULONG index = 0;
        while (readlevel_retry_next(channel(), request, &index, 5, 1)) {
            out.emplace_back(request->retry_levels[1], request->retry_levels[1] + pads);
            if (words != nullptr) {
                words->push_back(request->readlevel_override[1]);
            }
            EXPECT_EQ(index, out.size());
            if (out.size() > 40) {
                break;
            }
        }
        return out;
    }

    std::unique_ptr<nand_dev> channel_;
    std::vector<std::unique_ptr<velkor_request>> requests_;
};

TEST_F(ReadLevelTest, AgesAreWeightedByTemperatureHeldToTheTable) {
    const struct {
        ULONG elapsed;
        LONG celsius;
        ULONG age;
    } cases[] = {
        {86400, 40, 86400},
        {86400, 0, 221},                     // 86400 x 2560 / 10^6
        {86400, -12, 221},                   // below the table: as at 0 C
        {86400, 70, 3046089},                // 86400 x 35255663 / 10^6
        {1000, 120, 700928},                 // as at 100 C, logged
        {0xFFFFFFFFu, 100, 0xFFFFFFFFu},     // would need 42 bits: the oldest age, not a wrapped one
        {0, 100, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(readlevel_weighted_age(c.elapsed, c.celsius), c.age) << c.elapsed << " at " << c.celsius;
    }
    EXPECT_TRUE(logged("paverr Corvane driver: 24576 Unlikely temperature from card: 120 C\n"));

    // Without sensors the ages are those at 40 C; a block written in the future is new.
    info(3)->erase_time = ebinfo_unix_seconds() - 5000;
    EXPECT_NEAR(readlevel_eb_age(channel(), 3), 5000, 2);
    info(3)->erase_time = ebinfo_unix_seconds() + 5000;
    EXPECT_EQ(readlevel_eb_age(channel(), 3), 0u);
}

// A machine whose clock starts at the 1601 epoch: no Unix time at all.
class ReadLevelNoTimeTest : public ReadLevelTest {
  protected:
    sim::kernel::machine_config machine() const override {
        sim::kernel::machine_config m;
        m.boot_system_time = 1;
        return m;
    }
};

TEST_F(ReadLevelNoTimeTest, WithoutTimeEveryBlockIsOneDayOldAndThatIsSaidOnce) {
    use_family(1);
    ASSERT_EQ(ebinfo_unix_seconds(), 0u);
    EXPECT_EQ(readlevel_eb_age(channel(), 3), 86400u);
    EXPECT_EQ(readlevel_eb_age(channel(), 4), 86400u);
    auto lines = log();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "paverr Corvane driver: 24577 Time functions not working on this platform - trying to cope.\n"),
              1);
}

TEST_F(ReadLevelTest, TheLookupPicksRowByEraseCountAndColumnByAge) {
    // A table whose cell tells its row and column: 10 x row + column, rows 0..4.
    drive_tuning tuning{};
    tuning.eq.start = 1000;
    tuning.eq.end = 5000;
    tuning.eq.step = 1000;
    tuning.rows = 5;
    std::vector<CHAR> cells(5 * EQ_COLUMNS);
    for (ULONG r = 0; r < 5; r++) {
        for (ULONG c = 0; c < EQ_COLUMNS; c++) {
            cells[r * EQ_COLUMNS + c] = (CHAR)(r * 24 + c);
        }
    }
    tuning.table = cells.data();
    const struct {
        ULONG erase_count, age;
        ULONG row, column;
    } cases[] = {
        {0, 0, 0, 0},                 // below the start: row 0
        {1000, 86400, 0, 0},          // exactly one day: column 0
        {1001, 86401, 1, 1},          // just past: the next row and column
        {2000, 172800, 1, 1},
        {2001, 345600, 2, 3},         // 4 days
        {4999, 34560000, 4, 22},      // 400 days: column 22
        {5001, 34560001, 4, 23},      // beyond the end and beyond 400 days: the last row, column 23
        {0xFFFFFFFFu, 0xFFFFFFFFu, 4, 23},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(eq_table_cell(&tuning, c.erase_count, c.age), (CHAR)(c.row * 24 + c.column))
            << c.erase_count << ", " << c.age;
    }
}

TEST_F(ReadLevelTest, SetUpFillsEveryLevelWithTheOneDayCellAndTheDiesEntries) {
    use_family(1);
    CHAR l0 = eq_table_cell(levels()->tuning, 100, 86400);
    EXPECT_EQ(l0, -2);  // family 1's first cell
    for (USHORT eb = 0; eb < ebs; eb++) {
        for (ULONG die = 0; die < banks; die++) {
            for (ULONG pad = 0; pad < pads; pad++) {
                ASSERT_EQ(level(eb, die, pad), l0);
                ASSERT_EQ(offset(eb, die, pad), 0);
            }
        }
    }
    for (ULONG die = 0; die < READLEVEL_DIES_MAX; die++) {
        EXPECT_EQ(levels()->defaults[die].level, l0);
        EXPECT_EQ(levels()->retry_entries[die].level, 60);
    }
    EXPECT_EQ(levels()->level_min, -50);
    EXPECT_EQ(levels()->level_max, 50);
    EXPECT_EQ(levels()->spread, 6);
}

TEST_F(ReadLevelTest, SetUpFailuresLeaveEqualizationOffWithTheirMessage) {
    // Hardware without the capability: nothing to set up, no failure.
    ASSERT_EQ(nand_mgmt_info_find(channel(), 1), 0);
    channel_->iface.eq_capable = 0;
    channel_->iface.mgmt_values.equalization_length = 0;
    EXPECT_EQ(readlevel_setup(channel()), 0);
    EXPECT_EQ(levels(), nullptr);

    // A string of the wrong length.
    ASSERT_EQ(nand_mgmt_info_find(channel(), 1), 0);
    channel_->iface.eq_capable = 1;
    channel_->iface.mgmt_values.equalization_length = 30;
    EXPECT_EQ(readlevel_setup(channel()), -KPAV_EINVAL);
    EXPECT_EQ(levels(), nullptr);
    EXPECT_EQ(channel_->iface.eq_capable, 0);
    EXPECT_TRUE(logged("paverr Corvane driver: 24578 Setup for dynamic equalization failed (-22).\n"));

    // Nothing to read with: every operation does nothing.
    velkor_request* r = new_request();
    ULONG index = 0;
    EXPECT_FALSE(readlevel_retry_next(channel(), r, &index, 5, 1));
    EXPECT_EQ(r->flags, 0u);
    EXPECT_EQ(readlevel_eb_word(channel(), 5, 1), 0xFFFFFFFFu);
    readlevel_eb_update(channel(), 5);
    readlevel_refresh_all(channel());
}

TEST_F(ReadLevelTest, TheParameterWordClampsAndMasksEachLevel) {
    use_family(1);
    const struct {
        LONG level;
        ULONG word;
    } onfi[] = {{0, 0}, {-16, 0xF0F0F0F0}, {8, 0x08080808}, {70, 0x32323232}, {-70, 0xCECECECE}};
    for (const auto& c : onfi) {
        EXPECT_EQ(readlevel_apply(channel(), c.level), c.word) << c.level;
    }
    readlevel_free(channel());
    use_family(8, 0x7F);
    const struct {
        LONG level;
        ULONG word;
    } own[] = {{-16, 0x70707070}, {63, 0x3F3F3F3F}, {-90, 0x41414141}};  // -63 & 0x7F
    for (const auto& c : own) {
        EXPECT_EQ(readlevel_apply(channel(), c.level), c.word) << c.level;
    }
}

TEST_F(ReadLevelTest, BlockUpdatesFollowTheBlocksState) {
    use_family(1);
    info(5)->erase_count = 100;
    CHAR cell = eq_table_cell(levels()->tuning, 100, readlevel_eb_age(channel(), 5));
    const struct {
        CHAR state;
        int offset;  // of every pad afterwards; 99: as before
    } cases[] = {
        {EB_COND_OPEN, -15}, {EB_COND_FULL, 0}, {EB_COND_BLANK, -15},
        {EB_COND_MEL_PARTIAL, 99}, {EB_COND_ERASE_FIRST, 99}, {EB_COND_NOTED, 99},
    };
    for (const auto& c : cases) {
        // A learned offset on one pad shows what the update kept.
        levels()->offsets[(banks * 5 + 1) * pads + 2] = 7;
        levels()->levels[(banks * 5 + 1) * pads + 2] = 44;
        info(5)->condition = c.state;
        readlevel_eb_update(channel(), 5);
        int want = c.offset == 99 ? 7 : c.offset;
        EXPECT_EQ(offset(5, 1, 2), want) << (int)c.state;
        bool skipped = c.state == EB_COND_MEL_PARTIAL || c.state == EB_COND_ERASE_FIRST;
        EXPECT_EQ(level(5, 1, 2), skipped ? 44 : cell + want) << (int)c.state;
    }
    // Levels stay inside the family's range.
    info(5)->condition = EB_COND_NOTED;
    levels()->offsets[(banks * 5) * pads] = -120;
    readlevel_eb_update(channel(), 5);
    EXPECT_EQ(level(5, 0, 0), -50);
}

TEST_F(ReadLevelTest, TheChannelReachesTheLevelsThroughTheBringUpsOperations) {
    use_family(1);
    channel_->owner = &controller_channel_ops;
    levels()->offsets[(banks * 5 + 1) * pads] = 9;
    // Each read of a bank gets the word of its block's levels there.
    set_levels(5, 1, {-3, -7, -7, 20});
    EXPECT_EQ(eb_pad_read_level(channel(), 5, 1), 0xF9F9F9F9u);  // the median of the pads
    info(5)->banks[1].raw_mask = 0x9;
    EXPECT_EQ(eb_pad_read_level(channel(), 5, 1), 0xFDFDFDFDu);  // of the pads the block has
    // An erase makes the block blank: the retry offset on every pad, the levels recomputed.
    info(5)->condition = EB_COND_FULL;
    ebinfo_erase_completed(channel(), 5);
    CHAR cell = eq_table_cell(levels()->tuning, (ULONG)info(5)->erase_count, readlevel_eb_age(channel(), 5));
    EXPECT_EQ(offset(5, 1, 0), -15);
    EXPECT_EQ(level(5, 1, 0), cell - 15);
    channel_->owner = &channel_owner_defaults;
}

TEST_F(ReadLevelTest, TheRetrySequenceOfFamily1AndWhatItTeaches) {
    use_family(1);
    info(5)->erase_count = 100;
    velkor_request* r = new_request();
    std::vector<ULONG> words;
    auto seq = sequence(r, &words);
    ASSERT_EQ(seq.size(), 11u);
    // The table level, the table level plus the retry offset, then around the middle of the
    // retry range.
    const int expected[] = {-2, -17, -16, -10, -22, -4, -28, 2, -34, 8, -40};
    for (size_t i = 0; i < seq.size(); i++) {
        for (int v : seq[i]) {
            EXPECT_EQ(v, expected[i]) << i;
        }
        EXPECT_EQ(words[i], 0x01010101u * (UCHAR)expected[i]) << i;
    }
    // Exhausted: the request's retry state of the die is gone.
    EXPECT_EQ(r->flags & (REQ_LEVEL_RETRY | REQ_FIXED_RETRY_WORD), 0u);
    EXPECT_EQ(r->retry_die_mask, 0u);
    EXPECT_EQ(r->readlevel_override[1], 0xFFFFFFFFu);

    // A retry that succeeds at -22 teaches the block's die: offset -20 from the table's -2.
    velkor_request* ok = new_request();
    ULONG index = 0;
    for (int i = 0; i < 5; i++) {
        ASSERT_TRUE(readlevel_retry_next(channel(), ok, &index, 5, 1));
    }
    EXPECT_NE(ok->flags & REQ_LEVEL_RETRY, 0u);
    EXPECT_EQ(ok->retry_die_mask, 0x2u);
    readlevel_retry_success(channel(), ok, 5, 1);
    for (ULONG pad = 0; pad < pads; pad++) {
        EXPECT_EQ(offset(5, 1, pad), -20);
        EXPECT_EQ(level(5, 1, pad), -22);
        EXPECT_EQ(level(5, 0, pad), -2);  // the other die keeps its levels
    }
    EXPECT_EQ(readlevel_eb_word(channel(), 5, 1), 0xEAEAEAEAu);
    EXPECT_EQ(ok->retry_die_mask, 0u);
    EXPECT_EQ(ok->flags & REQ_LEVEL_RETRY, 0u);
    // The learned offset survives the block's recomputation; a full block starts again from 0.
    info(5)->condition = EB_COND_NOTED;
    readlevel_eb_update(channel(), 5);
    EXPECT_EQ(level(5, 1, 0), -22);
    info(5)->condition = EB_COND_FULL;
    readlevel_eb_update(channel(), 5);
    EXPECT_EQ(level(5, 1, 0), -2);
}

// What the fixed-word family tells the store.
std::vector<USHORT> attention;
void note_attention(nand_dev*, USHORT eb) {
    attention.push_back(eb);
}

TEST_F(ReadLevelTest, TheFixedWordsOfFamily8AreTheRetriesThenTheSequenceEnds) {
    use_family(8, 0x7F);
    velkor_request* r = new_request();
    std::vector<ULONG> words;
    auto seq = sequence(r, &words);
    const nand_mgmt_info* info8 = nand_mgmt_info_lookup(8);
    ASSERT_EQ(words.size(), 18u);
    for (size_t i = 0; i < words.size(); i++) {
        EXPECT_EQ(words[i], info8->fixed_retry[i]) << i;
    }
    EXPECT_EQ(r->flags & (REQ_LEVEL_RETRY | REQ_FIXED_RETRY_WORD), 0u);

    // Success with a fixed word learns nothing and reports the block, unless it is partly
    // written or open.
    static constexpr nand_dev_client_ops ops = [] {
        nand_dev_client_ops o = nand_dev_client_defaults;
        o.eb_event_b = note_attention;
        return o;
    }();
    attention.clear();
    nand_dev_set_client(channel(), &ops, nullptr);
    const struct {
        CHAR state;
        bool reported;
    } cases[] = {{EB_COND_FULL, true}, {EB_COND_OPEN, false}, {EB_COND_MEL_PARTIAL, false}, {EB_COND_NOTED, true}};
    for (const auto& c : cases) {
        attention.clear();
        info(5)->condition = c.state;
        velkor_request* ok = new_request();
        ULONG index = 0;
        ASSERT_TRUE(readlevel_retry_next(channel(), ok, &index, 5, 1));
        EXPECT_NE(ok->flags & REQ_FIXED_RETRY_WORD, 0u);
        readlevel_retry_success(channel(), ok, 5, 1);
        EXPECT_EQ(attention.size(), c.reported ? 1u : 0u) << (int)c.state;
        EXPECT_EQ(offset(5, 1, 0), 0);
        EXPECT_EQ(ok->flags & (REQ_LEVEL_RETRY | REQ_FIXED_RETRY_WORD), 0u);
    }
    nand_dev_set_client(channel(), nullptr, nullptr);
}

TEST_F(ReadLevelTest, TheDefaultLevelIsTheHistogramsPeakLowestOnTies) {
    use_family(1);  // spread 6
    for (USHORT eb = 0; eb < ebs; eb++) {
        info(eb)->mel_mark = 1;  // mapped blocks do not count
    }
    // Die 0: as many pads at 10 as at 20 (far apart: no overlap): 10 wins.
    info(1)->mel_mark = 0;
    info(2)->mel_mark = 0;
    set_levels(1, 0, {10, 10, 20, 20});
    set_levels(2, 0, {10, 20, 20, 20});
    info(2)->banks[0].raw_mask = 0x3;  // pads 2 and 3 of block 2 are not there (else 20 would win)
    // Die 1: negative levels, in bins 128..255; the spread makes -5 the peak between -6 and -4.
    set_levels(1, 1, {-6, -4, -5, -40});
    set_levels(2, 1, {-6, -4, 30, 30});
    readlevel_refresh_all(channel());
    EXPECT_EQ(levels()->defaults[0].level, 10);
    EXPECT_EQ(levels()->defaults[1].level, -5);
    // The last die's histogram: -5 itself (7) and its neighbours -6 and -4 twice each (6).
    EXPECT_EQ(levels()->histogram[(UCHAR)-5], 7u + 4 * 6);
}

}  // namespace
