// The rle pass of bring-up on the card model: what it programs into the highest mapped block,
// the controller's rle mode around the programs (from the card's register log), the block's
// condition afterwards, and its failures.
#include <string>

#include "driver/pipeline/cq.h"
#include "driver/platform/errno_table.h"
#include "driver/pipeline/hw_cmds.h"
#include "tests/driver/log/media_fixture.h"

namespace {

constexpr uint32_t rle_register = 0x8000 + NAND_RLE_MODE;
constexpr uint32_t mask_register = 0x8000 + NAND_INTR_MASK;

class RlePassTest : public StoreMediaTest {
  protected:
    eb_info* info(USHORT eb) { return ebinfo_get(channel(), eb); }
    bool programmed(USHORT eb, ULONG segment) {
        return model_->segment_state(eb, segment % 2, segment / 2).kind == sim::card::SegmentKind::programmed;
    }
    // The register log's writes from `from` on.
    std::vector<sim::card::ControlRegisters::logged_write> writes_since(size_t from) {
        auto all = model_->mode_writes();
        return {all.begin() + (ptrdiff_t)std::min(from, all.size()), all.end()};
    }
};

TEST_F(RlePassTest, ProgramsTheHighestMappedBlockInRleModeUntilTheBytesAreUsedUp) {
    info(15)->mel_mark = EB_MEL_MAPPED_OUT;
    info(14)->condition = EB_COND_FULL;
    info(14)->last_written_segment = 7;
    const ULONG seg = segment_bytes();
    channel()->rle_bytes = 2 * seg + seg / 2;  // two and a half segments: three programs
    intr_mask_clear(channel(), INTR_MASK_RLE);
    const uint32_t mask_before = model_->peek(mask_register);
    const size_t logged_before = model_->mode_writes().size();
    const uint64_t programs_before = model_->counters().programs;

    ASSERT_EQ(mgmt_data_rle_scan(channel()), 0);

    for (ULONG s = 0; s < 3; s++) {
        EXPECT_TRUE(programmed(14, s)) << s;
        EXPECT_EQ(model_->media_peek(14, s % 2, s / 2, 0, seg), std::vector<uint8_t>(seg, 0)) << s;
    }
    EXPECT_FALSE(programmed(14, 3)) << "the bytes were used up";
    for (ULONG s = 0; s < 4; s++) {
        EXPECT_FALSE(programmed(15, s)) << "a mapped-out block is not the pass's";
    }
    // Register 0 and the source masked before the first program; all ones and unmasked after
    // the last.
    auto writes = writes_since(logged_before);
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0].offset, rle_register);
    EXPECT_EQ(writes[0].value, 0u);
    EXPECT_EQ(writes[1].offset, mask_register);
    EXPECT_EQ(writes[1].value, mask_before | INTR_MASK_RLE);
    EXPECT_EQ(writes[1].programs, programs_before);
    EXPECT_EQ(writes[2].offset, rle_register);
    EXPECT_EQ(writes[2].value, 0xFFFFFFFFu);
    EXPECT_EQ(writes[2].programs, programs_before + 3);
    EXPECT_EQ(writes[3].offset, mask_register);
    EXPECT_EQ(writes[3].value, mask_before);
    EXPECT_EQ(model_->peek(rle_register), 0xFFFFFFFFu);
    EXPECT_EQ(channel()->rle_active, 0);
    // The block keeps its condition; its last written segment is forgotten.
    EXPECT_EQ(info(14)->condition, EB_COND_FULL);
    EXPECT_EQ(info(14)->last_written_segment, EB_NONE);
}

TEST_F(RlePassTest, WithoutBytesNothingIsProgrammedButTheModeIsStillEnteredAndLeft) {
    channel()->rle_bytes = 0;
    const size_t logged_before = model_->mode_writes().size();
    ASSERT_EQ(mgmt_data_rle_scan(channel()), 0);
    EXPECT_FALSE(programmed(15, 0));
    auto writes = writes_since(logged_before);
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0].value, 0u);
    EXPECT_EQ(writes[2].value, 0xFFFFFFFFu);
}

TEST_F(RlePassTest, APassLongerThanTheBlockStopsAtItsLastSegment) {
    channel()->rle_bytes = 0xFFFFFFFF;
    ASSERT_EQ(mgmt_data_rle_scan(channel()), 0);
    EXPECT_TRUE(programmed(15, geometry_.segments_per_eb - 1));
    EXPECT_FALSE(programmed(14, 0));
}

// The condition a block ends the pass with.
TEST(RleCondition, TheRememberedConditionComesBackWhenHigherOverBlankOrWhenItWasUnknown) {
    struct row {
        CHAR remembered, current, result;
    };
    const row rows[] = {
        {EB_COND_FULL, EB_COND_OPEN, EB_COND_FULL},          // higher: back
        {EB_COND_OPEN, EB_COND_FULL, EB_COND_FULL},          // lower: the current one stays
        {EB_COND_OPEN, EB_COND_OPEN, EB_COND_OPEN},
        {EB_COND_HEADER_READ, EB_COND_BLANK, EB_COND_HEADER_READ},  // over blank: back
        {EB_COND_BLANK, EB_COND_FULL, EB_COND_BLANK},        // 9 is higher
        {EB_COND_UNKNOWN, EB_COND_FULL, EB_COND_UNKNOWN},    // it was unknown: unknown again
        {EB_COND_UNKNOWN, EB_COND_UNKNOWN, EB_COND_UNKNOWN},
    };
    for (const row& r : rows) {
        EXPECT_EQ(mgmt_rle_condition(r.remembered, r.current), r.result)
            << (int)r.remembered << " over " << (int)r.current;
    }
}

// The pass's failures: the result, the message, and whether the controller was put into rle mode
// (and then back out of it).
struct rle_failure {
    const char* name;
    void (*arrange)(RlePassTest* test, sim::card::Card* model, nand_dev* channel);
    int result;
    const char* message;  // "" none
    bool entered_mode;
    ULONG programmed;  // segments of block 15 that hold data afterwards
};

class RleFailureTest : public RlePassTest, public ::testing::WithParamInterface<rle_failure> {};

TEST_P(RleFailureTest, FailsWithItsErrorAndLeavesRleMode) {
    const rle_failure& c = GetParam();
    channel()->rle_bytes = 4 * segment_bytes();
    info(15)->condition = EB_COND_OPEN;
    c.arrange(this, model_.get(), channel());
    const size_t logged_before = model_->mode_writes().size();
    EXPECT_EQ(mgmt_data_rle_scan(channel()), c.result);
    sim::kernel::clear_faults();
    if (c.message[0] != '\0') {
        EXPECT_TRUE(logged(c.message)) << c.message;
    }
    auto writes = writes_since(logged_before);
    if (c.entered_mode) {
        ASSERT_EQ(writes.size(), 4u);
        EXPECT_EQ(writes[2].value, 0xFFFFFFFFu);
        EXPECT_EQ(writes[3].value & INTR_MASK_RLE, 0u);
        EXPECT_EQ(info(15)->condition, EB_COND_OPEN);
    } else {
        EXPECT_TRUE(writes.empty()) << "the controller was never put into rle mode";
    }
    EXPECT_EQ(model_->peek(rle_register), 0xFFFFFFFFu);
    EXPECT_EQ(channel()->rle_active, 0);
    for (ULONG s = 0; s < 4; s++) {
        EXPECT_EQ(programmed(15, s), s < c.programmed) << s;
    }
}

void every_block_marked(RlePassTest*, sim::card::Card*, nand_dev* channel) {
    for (USHORT eb = 0; eb < 16; eb++) {
        ebinfo_get(channel, eb)->mel_mark = eb % 2 == 0 ? EB_MEL_COPY : EB_MEL_MAPPED_OUT;
    }
}
void no_buffer(RlePassTest*, sim::card::Card*, nand_dev*) {
    sim::kernel::fail_always(sim::kernel::fault_site::pool, "vml4");
}
void second_program_fails(RlePassTest*, sim::card::Card* model, nand_dev*) {
    model->inject("program_fail", "eb=15 bank=1 lane=0");
}

INSTANTIATE_TEST_SUITE_P(
    Rle, RleFailureTest,
    ::testing::Values(
        rle_failure{"every_block_has_a_map_mark", every_block_marked, -KPAV_EINVAL,
                    "dov0: Cannot find any mapped EBs - rle.\n", false, 0},
        rle_failure{"no_buffer", no_buffer, -KPAV_ENOMEM, "dov0: Inadequate memory - rle.\n", false, 0},
        // The second segment's program fails: the pass stops there (the card keeps the failed
        // segment's data).
        rle_failure{"a_failed_program", second_program_fails, -KPAV_EAGAIN, "", true, 2}),
    [](const ::testing::TestParamInfo<rle_failure>& info) { return std::string(info.param.name); });

}  // namespace
