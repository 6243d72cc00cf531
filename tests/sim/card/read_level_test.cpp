// Read levels in the model: the level a parameter word carries, and the event a lane of a page
// read draws from its block's drift.

#include "sim/card/read_level.h"

#include <gtest/gtest.h>

#include "sim/card/fault_plan.h"
#include "sim/card/read_sequence.h"

namespace {

using sim::card::FaultPlan;
using sim::card::PageRead;

TEST(ReadLevel, TheWordsFirstByteIsASignedLevelOfTheFamilysWidth) {
    const struct {
        uint32_t word;
        unsigned bits;
        int32_t level;
    } cases[] = {
        {0xF0F0F0F0, 8, -16}, {0x32323232, 8, 50}, {0x000000CE, 8, -50}, {0x70707070, 7, -16},
        {0x3F3F3F3F, 7, 63},  {0x41414141, 7, -63}, {0xFFFFFF00, 8, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sim::card::read_level_of(c.word, c.bits), c.level) << std::hex << c.word;
    }
}

TEST(ReadLevel, ErrorsGrowWithTheDistanceToTheLevelTheBlockNeeds) {
    FaultPlan faults;
    faults.add(FaultPlan::parse("read_level_drift", "eb=3 bank=1 level=-20 window=3"));
    faults.add(FaultPlan::parse("read_level_drift", "eb=4 bank=0 level=10 lane=2 bits=7"));
    const struct {
        uint32_t eb, bank, lane;
        std::optional<uint32_t> word;
        uint32_t event;
    } cases[] = {
        {3, 1, 0, 0xECECECEC, 0},   // -20: right
        {3, 1, 5, 0xE9E9E9E9, 0},   // -23: inside the window
        {3, 1, 0, 0xE6E6E6E6, 104}, // -26: corrected
        {3, 1, 0, 0xF0F0F0F0, 104}, // -16
        {3, 1, 0, 0xF3F3F3F3, 105}, // -13: beyond twice the window
        {3, 1, 0, std::nullopt, 105},  // no word: the part's own level 0
        {3, 0, 0, std::nullopt, 0},    // another bank
        {5, 1, 0, std::nullopt, 0},    // another block
        {4, 0, 2, 0x0A0A0A0A, 0},
        {4, 0, 2, 0x7F7F7F7F, 105},   // -1 in 7 bits
        {4, 0, 1, 0x7F7F7F7F, 0},     // only lane 2 drifted
    };
    for (const auto& c : cases) {
        PageRead r;
        r.eb = c.eb;
        r.bank = c.bank;
        r.level_word = c.word;
        EXPECT_EQ(sim::card::read_level_event(faults, r, c.lane), c.event)
            << c.eb << "/" << c.bank << " lane " << c.lane << " word " << std::hex << c.word.value_or(0);
    }
    // Reads do not use the drift up.
    EXPECT_TRUE(faults.active("read_level_drift"));
}

}  // namespace
