// Direct commands and binary-command requests on the card model: what reaches the bank ports,
// the read-backs and markers the card answers with, and the refusals.

#include "driver/pipeline/direct_cmds.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "driver/pipeline/builders.h"
#include "driver/pipeline/issue.h"
#include "driver/pipeline/nand_cmds.h"
#include "tests/driver/pipeline/card_channel.h"

namespace {

using entry = std::pair<ULONG, ULONG>;  // {BAR offset, value}

constexpr ULONG lanes = 6;
constexpr ULONG banks = 4;

ULONG port(ULONG bank) {
    return BAR_NAND + NAND_BANK_PORT + 32 * bank;
}

// The entries of words sent to a bank port: four bytes each, low byte first.
void add_port_words(std::vector<entry>& out, ULONG bank, std::initializer_list<ULONG> words) {
    for (ULONG w : words) {
        for (ULONG b = 0; b < 4; b++) {
            out.push_back({port(bank), w >> (8 * b) & 0xFF});
        }
    }
}

// A direct command as the ring carries it: lane mask, port words, the marker.
std::vector<entry> direct_entries(ULONG bank, ULONG lane_mask, std::initializer_list<ULONG> words) {
    std::vector<entry> out{{BAR_NAND + NAND_LANE_MASK, lane_mask}};
    add_port_words(out, bank, words);
    out.push_back({BAR_NAND + NAND_STATUS_TAG, 0});
    out.push_back({BAR_NAND + NAND_STEP, bank << 28 | 26});
    return out;
}

class DirectCmdsTest : public CardChannelTest {
  protected:
    sim::card::CardConfig card_config() const override {
        sim::card::CardConfig config = sim::card::CardConfig::small();
        config.geometry.banks = banks;
        config.geometry.lanes = lanes;
        config.geometry.planes = 2;
        for (size_t i = 0; i < config.controller.nand_ident.size(); i++) {
            config.controller.nand_ident[i] = (uint8_t)(0xA0 + i);
        }
        for (size_t i = 0; i < config.controller.nand_parameters.size(); i++) {
            config.controller.nand_parameters[i] = (uint8_t)(3 * i + 1);
        }
        return config;
    }

    void SetUp() override {
        CardChannelTest::SetUp();
        channel()->issue_table = request_issue_table;
    }

    ULONG producer() { return (ULONG)ReadNoFence(&channel()->ring_producer); }

    // The entries the card replayed from ring index `from` on.
    std::vector<entry> replayed_since(ULONG from) {
        EXPECT_TRUE(model_->wait_idle());
        std::vector<entry> out;
        for (const sim::card::TracedEntry& e : model_->entry_trace()) {
            if (e.ring_index >= from) {
                out.push_back({e.reg, e.value});
            }
        }
        return out;
    }

    ULONG status() { return (ULONG)ReadNoFence(&channel()->direct.status); }
};

TEST_F(DirectCmdsTest, EachSequenceGetsItsReadBack) {
    ULONG parameters[16] = {};
    ASSERT_EQ(nand_read_parameter_page(channel(), 1, parameters), 0);
    EXPECT_EQ(std::memcmp(parameters, model_->config().controller.nand_parameters.data(), 64), 0);

    ULONG ident[8];
    std::memset(ident, 0x77, sizeof ident);
    ASSERT_EQ(nand_read_identification(channel(), 2, ident), 0);
    EXPECT_EQ(std::memcmp(ident, model_->config().controller.nand_ident.data(), 30), 0);
    EXPECT_EQ(ident[7] >> 16, 0u);  // two zero bytes after the thirty

    // Six lanes: two words of management information, which one word cannot hold.
    ULONG mgmt[3] = {1, 1, 0xC0DE};
    EXPECT_EQ(nand_mgmt_read(channel(), 0, 1, 2, mgmt, 3), 0);
    EXPECT_EQ(mgmt[0], 0u);
    EXPECT_EQ(mgmt[1], 0u);
    EXPECT_EQ(mgmt[2], 0xC0DEu);
    EXPECT_EQ(nand_mgmt_read(channel(), 0, 1, 2, mgmt, 1), 1);
    EXPECT_EQ((LONG)status(), -5);

    // The codes without payload answer with a read-back of length word 1.
    const UCHAR args[4] = {1, 2, 3, 4};
    EXPECT_EQ(nand_mgmt_select(channel(), 3, 9), 0);
    EXPECT_EQ(status(), 0u);
    EXPECT_EQ(nand_mgmt_set(channel(), 3, args), 0);
    EXPECT_EQ(nand_set_feature(channel(), 2), 0);

    // The sequence as the port sees it: every word as four bytes, the end code, the marker.
    ULONG from = producer();
    EXPECT_EQ(nand_mgmt_set_wide(channel(), 3, 0x11, 0xABCD, 0x22, 0x33), 0);
    EXPECT_EQ(replayed_since(from), direct_entries(3, 0x3F, {32, 0x11, 0xABCD, 0x22, 0x33, 239}));
    EXPECT_EQ(model_->counters().readbacks, 9u);
}

TEST_F(DirectCmdsTest, ALengthWordOfOneIsDoneWithoutPayload) {
    ULONG ident[8];
    std::memset(ident, 0x77, sizeof ident);
    model_->inject("readback", "payload=[]");
    EXPECT_EQ(nand_read_identification(channel(), 1, ident), 0);
    EXPECT_EQ(status(), 0u);
    EXPECT_EQ(ident[0], 0x77777777u);
    EXPECT_EQ(ReadNoFence(&channel()->direct.pending), 0);
    // A payload larger than the caller's buffer is not copied: status -5.
    model_->inject("readback", "payload=[1,2,3,4,5,6,7,8,9]");
    EXPECT_EQ(nand_read_identification(channel(), 1, ident), 1);
    EXPECT_EQ((LONG)status(), -5);
    EXPECT_EQ(ident[0], 0x77777777u);
    EXPECT_FALSE(channel_failed(channel()));
}

struct feature_case {
    const char* name;
    const char* fault;        // feature_stuck parameters; empty: none
    std::vector<ULONG> bits;  // pads in use: planes x pads x bank + pad
    int result;
};

class SetFeatureTest : public DirectCmdsTest, public ::testing::WithParamInterface<feature_case> {};

// Bank 1 of six pads on two planes: its pads are bits 12 to 17 of the channel's pad mask.
TEST_P(SetFeatureTest, APadOutsideThePadMaskMustAnswerZero) {
    const feature_case& c = GetParam();
    for (ULONG bit : c.bits) {
        channel()->geometry.pad_mask[bit / 32] |= 1u << (bit % 32);
    }
    if (*c.fault != 0) {
        model_->inject("feature_stuck", c.fault);
    }
    EXPECT_EQ(nand_set_feature(channel(), 1), c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Pads, SetFeatureTest,
    ::testing::Values(feature_case{"all_zero", "", {}, 0},
                      feature_case{"pad_in_use", "bank=1 lane=3 value=1", {15}, 0},
                      feature_case{"pad_unused", "bank=1 lane=3 value=1", {14, 16}, 1},
                      feature_case{"other_bank_bit", "bank=1 lane=3 value=1", {3}, 1},
                      feature_case{"fourth_group", "bank=1 lane=5 value=0x01000000", {}, 1},
                      feature_case{"other_bank_stuck", "bank=2 lane=3 value=1", {}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DirectCmdsTest, BankWritesGoBankByBankAndStopAtTheFirstSilentOne) {
    ULONG from = producer();
    ULONG64 doorbells = model_->counters().doorbells;
    const ULONG words[] = {3, 0x0A0B0C0D};  // a bank configuration word
    EXPECT_EQ(bank_cmd_write(channel(), 0, 0x3F, 2, words), 0);
    EXPECT_EQ(producer(), from);
    EXPECT_EQ(model_->counters().doorbells, doorbells);

    EXPECT_EQ(bank_cmd_write(channel(), 0x05, 0x3F, 2, words), 0);
    std::vector<entry> expected = direct_entries(0, 0x3F, {3, 0x0A0B0C0D});
    std::vector<entry> second = direct_entries(2, 0x3F, {3, 0x0A0B0C0D});
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(replayed_since(from), expected);

    // Bank 0's marker never comes: bank 2 is not touched.
    sim::kernel::set_clock_rate(20.0);
    model_->inject("drop_marker", "bank=0");
    from = producer();
    EXPECT_EQ(bank_cmd_write(channel(), 0x05, 0x3F, 2, words), 1);
    std::vector<entry> first = direct_entries(0, 0x3F, {3, 0x0A0B0C0D});
    EXPECT_EQ(replayed_since(from), first);
    EXPECT_EQ(producer(), from + (ULONG)first.size());
}

TEST_F(DirectCmdsTest, BankConfigurationReachesEveryBankThroughBankZero) {
    ULONG from = producer();
    EXPECT_EQ(nand_set_bank_config(channel(), 0x5, 0x7, true, 0x3), 0);
    ULONG word = ((0x3u << 19 | 0x5 | 0x100) << 8) | 0x2000000 | 0x7;
    EXPECT_EQ(replayed_since(from), direct_entries(0, 0xF, {3, word}));
    from = producer();
    EXPECT_EQ(nand_set_bank_config(channel(), 0x5, 0x7, false, 0x3), 0);
    word = ((0x3u << 19 | 0x5 | 0x100) << 8) | 0x1000000 | 0x7;
    EXPECT_EQ(replayed_since(from), direct_entries(0, 0xF, {3, word}));

    sim::kernel::set_clock_rate(20.0);
    model_->inject("drop_marker", "bank=0");
    EXPECT_EQ(nand_set_bank_config(channel(), 0x5, 0x7, true, 0x3), -4096);
    EXPECT_TRUE(logged("dov0: Unable to set bank configuration.\n"));
}

struct part_case {
    UCHAR mode;
    ULONG pair;  // row of the mode pairs
};

class PartFeaturesTest : public DirectCmdsTest, public ::testing::WithParamInterface<part_case> {};

TEST_P(PartFeaturesTest, ThePartsRowGoesToEveryBank) {
    const nand_part_row& part = nand_part_table[0];
    nand_geometry& g = channel()->geometry;
    std::memcpy(g.part_id, part.id, part.id_length);
    g.part_id[part.id_length] = 0x99;  // bytes past the row's are not compared
    g.part_id_length = (UCHAR)(part.id_length + 1);
    g.nand_mode = GetParam().mode;
    ULONG from = producer();
    ASSERT_EQ(nand_set_part_features(channel()), 0);
    const ULONG* pair = part.mode_pairs[GetParam().pair];
    std::vector<entry> expected;
    for (ULONG bank = 0; bank < banks; bank++) {
        std::vector<entry> one =
            direct_entries(bank, 0x3F, {17, part.features[0], part.features[1], part.features[2], 18,
                                        part.features_b[0], part.features_b[1], 19, pair[0], pair[1]});
        expected.insert(expected.end(), one.begin(), one.end());
    }
    EXPECT_EQ(replayed_since(from), expected);

    // A part the table does not know: nothing is written.
    g.part_id[0] ^= 0xFF;
    from = producer();
    EXPECT_EQ(nand_set_part_features(channel()), 1);
    EXPECT_EQ(producer(), from);
}

INSTANTIATE_TEST_SUITE_P(Modes, PartFeaturesTest,
                         ::testing::Values(part_case{2, 0}, part_case{1, 1}, part_case{0, 2}, part_case{7, 2}),
                         [](const auto& info) { return "mode_" + std::to_string(info.param.mode); });

TEST_F(DirectCmdsTest, NoRoomOrAFailedChannelWritesNothing) {
    // 502 doorbells the card holds leave 10 slots: no room, and none comes within 500 ms.
    model_->inject("hold_doorbells", "n=0");
    for (ULONG i = 0; i < 502; i++) {
        append_filler(1);
    }
    const hw_reg_item items[] = {{3, port(0), 1}, {0x55, port(0), 1}};
    ULONG from = producer();
    ULONG ident[8] = {};
    EXPECT_EQ(direct_command(channel(), 0, 0x3F, items, 2), 1);
    EXPECT_EQ(nand_read_identification(channel(), 0, ident), 1);
    EXPECT_EQ(ReadNoFence(&channel()->direct.pending), 0);
    EXPECT_EQ(producer(), from);
    model_->release_doorbells(1000);
    EXPECT_EQ(direct_command(channel(), 0, 0x3F, items, 2), 0);
    EXPECT_EQ(hw_cmds_wait_sync(channel(), DIRECT_WAIT_US), 0);

    fail_channel(channel(), 0, CHANNEL_FAIL_WATCHDOG);
    from = producer();
    EXPECT_EQ(direct_command(channel(), 0, 0x3F, items, 2), 1);
    const ULONG words[] = {3, 0x55};
    EXPECT_EQ(bank_cmd_write(channel(), 1, 0x3F, 2, words), 1);
    EXPECT_EQ(producer(), from);
}

TEST_F(DirectCmdsTest, BinaryCommandsAreIssuedAndAnswered) {
    ULONG from = producer();
    velkor_request* set = binary_set_port_word(channel(), 0x1234ABCD);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->type, (ULONG)REQUEST_BINARY_COMMAND);
    EXPECT_EQ(set->flags & 0x480, 0x480u);
    ULONG tag = (ULONG)set->pool_index << 2 | 2;
    EXPECT_EQ(request_submit_wait(set->ioctx), 0);
    std::vector<entry> expected;
    add_port_words(expected, 0, {10, 0x1234ABCD, 0xFFFFFFFF});
    expected.push_back({BAR_NAND + NAND_STATUS_TAG, tag});
    expected.push_back({BAR_NAND + NAND_STEP, 26});
    EXPECT_EQ(replayed_since(from), expected);

    ULONG word[2] = {0, 0x5555};
    velkor_request* read = binary_read_port(channel(), 3, word);
    ASSERT_NE(read, nullptr);
    from = producer();
    tag = (ULONG)read->pool_index << 2 | 2;
    EXPECT_EQ(request_submit_wait(read->ioctx), 0);
    EXPECT_EQ(word[0], 0x1234ABCDu);
    EXPECT_EQ(word[1], 0x5555u);
    expected.clear();
    add_port_words(expected, 3, {11, 0xFFFFFFFF});
    expected.push_back({BAR_NAND + NAND_STATUS_TAG, tag});
    expected.push_back({BAR_NAND + NAND_STEP, 3u << 28 | 26});
    EXPECT_EQ(replayed_since(from), expected);

    velkor_request* marker = binary_marker_read(channel(), 0x42, 2);
    ASSERT_NE(marker, nullptr);
    from = producer();
    tag = (ULONG)marker->pool_index << 2 | 2;
    EXPECT_EQ(request_submit_wait(marker->ioctx), 0);
    expected.clear();
    add_port_words(expected, 2, {25, 0x42, 0xFFFFFFFF});
    expected.push_back({BAR_NAND + NAND_STATUS_TAG, tag});
    expected.push_back({BAR_NAND + NAND_STEP, 2u << 28 | 26});
    EXPECT_EQ(replayed_since(from), expected);

    // Answers with a payload where none fits: the request fails with -5.
    model_->inject("readback", "payload=[1,2]");
    read = binary_read_port(channel(), 0, word);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(request_submit_wait(read->ioctx), -5);
    model_->inject("readback", "payload=[7]");
    marker = binary_marker_read(channel(), 1, 0);
    ASSERT_NE(marker, nullptr);
    EXPECT_EQ(request_submit_wait(marker->ioctx), -5);
    EXPECT_FALSE(channel_failed(channel()));
}

TEST_F(DirectCmdsTest, BuildersOnAFailedChannelTakeNothing) {
    fail_channel(channel(), 0, CHANNEL_FAIL_WATCHDOG);
    ULONG word = 0;
    EXPECT_EQ(binary_read_port(channel(), 0, &word), nullptr);
    EXPECT_EQ(binary_set_port_word(channel(), 1), nullptr);
    EXPECT_EQ(binary_marker_read(channel(), 1, 0), nullptr);
    size_t lines = 0;
    for (const std::string& line : log()) {
        lines += line == "dov0: Unable to allocate ioctx.\n" ? 1 : 0;
    }
    EXPECT_EQ(lines, 3u);
}

}  // namespace
