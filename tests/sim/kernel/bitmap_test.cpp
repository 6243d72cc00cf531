// Run-time library bitmaps: bit and range operations, counting, and the hinted searches with
// their wrap-around.

#include <vector>

#include "sim/kernel/control.h"
#include "sim/kernel/kernel.h"
#include "tests/support/kernel_fixture.h"

using namespace sim::kernel;

namespace {

constexpr ULONG none = 0xFFFFFFFFu;

// 70 bits over three words, the last one partly used. Clear runs: [10,20), [22,40), [64,66).
struct patterned_map {
    ULONG words[3];
    RTL_BITMAP map;
    patterned_map() {
        RtlInitializeBitMap(&map, words, 70);
        RtlClearAllBits(&map);
        RtlSetBits(&map, 0, 10);
        RtlSetBits(&map, 20, 2);
        RtlSetBits(&map, 40, 24);
        RtlSetBits(&map, 66, 4);
    }
};

}  // namespace

class BitmapTest : public KernelTest {};

TEST_F(BitmapTest, SearchesStartAtTheHintAndWrapAroundOnce) {
    struct row {
        bool set;  // search for set bits, else clear ones
        ULONG count, hint, found;
    } rows[] = {
        {false, 1, 0, 10},   {false, 1, 15, 15},   {false, 1, 20, 22},
        {false, 2, 64, 64},  {false, 3, 64, 10},   {false, 2, 65, 10},    // too short before the end: from 0
        {false, 18, 0, 22},  {false, 18, 30, 22},  {false, 19, 0, none},  // a run may start before the hint
        {false, 1, 70, 10},  {false, 1, 1000, 10}, {false, 0, 5, 0},      // hints outside count as 0
        {false, 71, 0, none},                                               //
        {true, 1, 10, 20},   {true, 4, 66, 66},    {true, 5, 66, 0},      // a run ends at the map's end
        {true, 6, 66, 0},    {true, 24, 1, 40},    {true, 25, 0, none},   // and never wraps to bit 0
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << (r.set ? "set" : "clear") << " " << r.count << " from " << r.hint);
        patterned_map m;
        ULONG before = RtlNumberOfSetBits(&m.map);
        if (r.set) {
            EXPECT_EQ(RtlFindSetBits(&m.map, r.count, r.hint), r.found);
            EXPECT_EQ(RtlFindSetBitsAndClear(&m.map, r.count, r.hint), r.found);
        } else {
            EXPECT_EQ(RtlFindClearBits(&m.map, r.count, r.hint), r.found);
            EXPECT_EQ(RtlFindClearBitsAndSet(&m.map, r.count, r.hint), r.found);
        }
        ULONG flipped = r.found == none ? 0 : r.count;
        EXPECT_EQ(RtlNumberOfSetBits(&m.map), r.set ? before - flipped : before + flipped);
        if (flipped != 0) {
            EXPECT_TRUE(r.set ? RtlAreBitsClear(&m.map, r.found, r.count) : RtlAreBitsSet(&m.map, r.found, r.count));
        }
    }
}

TEST_F(BitmapTest, FindAndSetFromTheLastHintCyclesThroughTheFreeBits) {
    ULONG words[1];
    RTL_BITMAP map;
    RtlInitializeBitMap(&map, words, 8);
    RtlClearAllBits(&map);
    RtlSetBits(&map, 0, 2);
    std::vector<ULONG> taken;
    ULONG hint = 5;
    for (int i = 0; i < 7; i++) {
        ULONG bit = RtlFindClearBitsAndSet(&map, 1, hint);
        taken.push_back(bit);
        hint = bit;
    }
    EXPECT_EQ(taken, (std::vector<ULONG>{5, 6, 7, 2, 3, 4, none}));
    RtlClearBit(&map, 3);
    EXPECT_EQ(RtlFindClearBitsAndSet(&map, 1, 4), 3u);
}

TEST_F(BitmapTest, WholeMapRangeAndBitOperationsStayInsideTheMap) {
    patterned_map m;
    EXPECT_EQ(RtlNumberOfSetBits(&m.map), 40u);
    EXPECT_EQ(RtlNumberOfClearBits(&m.map), 30u);
    EXPECT_TRUE(RtlTestBit(&m.map, 9));
    EXPECT_FALSE(RtlTestBit(&m.map, 10));
    EXPECT_EQ(RtlCheckBit(&m.map, 69), 1u);
    EXPECT_TRUE(RtlAreBitsSet(&m.map, 40, 24));
    EXPECT_FALSE(RtlAreBitsSet(&m.map, 39, 2));
    EXPECT_TRUE(RtlAreBitsClear(&m.map, 22, 18));
    EXPECT_FALSE(RtlAreBitsClear(&m.map, 22, 0));   // an empty range
    EXPECT_FALSE(RtlAreBitsSet(&m.map, 66, 5));     // reaches past the end
    EXPECT_FALSE(RtlAreBitsClear(&m.map, 80, 1));

    // The whole-map forms write whole words; the bits past the end are never found or counted.
    RtlSetAllBits(&m.map);
    EXPECT_EQ(m.words[2], 0xFFFFFFFFu);
    EXPECT_EQ(RtlNumberOfSetBits(&m.map), 70u);
    RtlClearBits(&m.map, 0, 70);
    EXPECT_EQ(RtlNumberOfSetBits(&m.map), 0u);
    EXPECT_EQ(RtlFindSetBits(&m.map, 1, 0), none);
    EXPECT_EQ(m.words[2], 0xFFFFFFC0u);

    RtlSetBit(&m.map, 31);
    RtlSetBit(&m.map, 32);
    EXPECT_EQ(m.words[0], 0x80000000u);
    EXPECT_EQ(m.words[1], 1u);
    RtlClearBit(&m.map, 31);
    EXPECT_EQ(RtlFindSetBits(&m.map, 1, 0), 32u);

    expect_bug_check(SIM_ASSERTION_FAILURE, [&] { RtlSetBit(&m.map, 70); });
    expect_bug_check(SIM_ASSERTION_FAILURE, [&] { RtlClearBits(&m.map, 60, 11); });
    expect_bug_check(SIM_ASSERTION_FAILURE, [&] { RtlTestBit(&m.map, 0xFFFFFFFFu); });
}

TEST_F(BitmapTest, ClearRunsAreFoundForwardFromAnIndex) {
    patterned_map m;
    ULONG start = 0;
    EXPECT_EQ(RtlFindFirstRunClear(&m.map, &start), 10u);
    EXPECT_EQ(start, 10u);
    EXPECT_EQ(RtlFindNextForwardRunClear(&m.map, 15, &start), 5u);
    EXPECT_EQ(start, 15u);
    EXPECT_EQ(RtlFindNextForwardRunClear(&m.map, 20, &start), 18u);
    EXPECT_EQ(start, 22u);
    EXPECT_EQ(RtlFindNextForwardRunClear(&m.map, 41, &start), 2u);
    EXPECT_EQ(start, 64u);
    EXPECT_EQ(RtlFindNextForwardRunClear(&m.map, 66, &start), 0u);
    RtlSetAllBits(&m.map);
    EXPECT_EQ(RtlFindFirstRunClear(&m.map, &start), 0u);
}
