// The command ring through registers and host memory: doorbells and the credit word, fetch and
// replay in ring order, the entries and doorbells the card refuses, the engines' quiesce
// protocol, the channel reset, the hardware lock and a lost bus.

#include <gtest/gtest.h>

#include "sim/card/command_ring.h"
#include "sim/card/controller.h"
#include "tests/sim/card/card_host.h"

using card_test::CardHost;
using card_test::CardTest;
using card_test::nand;
using card_test::lenient;
using sim::card::CardConfig;

namespace {

// A register nobody claims: it reads back what was written last.
constexpr uint32_t scratch = 0x6000;

std::vector<std::string> fault_codes(sim::card::Card& card) {
    std::vector<std::string> codes;
    for (const auto& f : card.protocol_faults()) {
        codes.push_back(f.code);
    }
    return codes;
}

using CommandRing = CardTest;

TEST_F(CommandRing, EntriesAreReplayedInRingOrderAcrossTheEnd) {
    CardHost& h = make_host(lenient());
    h.start(1);
    // Move the ring close to its end, then a run that wraps: two doorbells, 16 and 32 bytes.
    for (uint32_t i = 0; i < card_test::ring_entries - 2; i++) {
        h.append(scratch, i);
    }
    h.doorbell();
    h.settle();
    for (uint32_t i = 0; i < 6; i++) {
        h.append(scratch + 4 * i, 0x100 + i);
    }
    uint32_t before = h.doorbells_rung;
    h.doorbell();
    EXPECT_EQ(h.doorbells_rung - before, 2u);
    h.settle();

    auto trace = h.card.entry_trace();
    ASSERT_GE(trace.size(), 6u);
    const uint32_t expected_index[6] = {0x1FFFE, 0x1FFFF, 0, 1, 2, 3};
    for (uint32_t i = 0; i < 6; i++) {
        const auto& e = trace[trace.size() - 6 + i];
        EXPECT_EQ(e.ring_index, expected_index[i]);
        EXPECT_EQ(e.reg, scratch + 4 * i);
        EXPECT_EQ(e.value, 0x100 + i);
        EXPECT_EQ(h.read(scratch + 4 * i), 0x100 + i);
    }
    EXPECT_EQ(h.card.counters().entries_replayed, card_test::ring_entries + 4);
    EXPECT_EQ(h.read(0x148), (card_test::ring_entries - 4) << 13) << "consumed 4 after the wrap";
    EXPECT_TRUE(h.card.protocol_faults().empty());
}

TEST_F(CommandRing, CreditWordCountsHeldDoorbellsAndUnconsumedEntries) {
    CardHost& h = make_host(lenient());
    h.start(1);
    EXPECT_EQ(h.read(0x148), 0u);
    for (uint32_t i = 0; i < 0x1FFF0; i++) {
        h.append(scratch, i);
    }
    h.doorbell();
    h.settle();

    // Five doorbells held with 0x20 entries behind them, the write index at 0x10: the host's
    // arithmetic gives 0x20 entries in use and 507 free doorbell slots.
    h.card.inject("hold_doorbells", "n=0");
    const uint32_t sizes[5] = {4, 4, 8, 8, 8};
    for (uint32_t s : sizes) {
        for (uint32_t i = 0; i < s; i++) {
            h.append(scratch, i);
        }
        h.doorbell();
    }
    EXPECT_EQ(h.write_index, 0x10u);
    uint32_t credit = h.read(0x148);
    EXPECT_EQ(credit, 0x00020005u);
    int64_t used = (int64_t)h.write_index - 0x20000 + (credit >> 13);
    if (used < 0) {
        used += 0x20000;
    }
    EXPECT_EQ(used, 0x20);
    EXPECT_EQ(512 - (credit & 0x3FF), 507u);

    h.card.release_doorbells(2);
    h.settle();
    EXPECT_EQ(h.read(0x148), 3u | (0x20000 - 0x1FFF8) << 13) << "two fetched, three held";
    h.card.clear("hold_doorbells");
    h.settle();
    EXPECT_EQ(h.read(0x148), (0x20000u - 0x10) << 13);
}

TEST_F(CommandRing, HeldDoorbellsSaturateAtTheFieldAndResumeWhenReleased) {
    CardHost& h = make_host(lenient());
    h.start(1);
    h.card.inject("hold_doorbells", "n=0");
    for (uint32_t i = 0; i < 502; i++) {
        h.append(scratch, i);
        h.doorbell();
    }
    EXPECT_EQ(h.read(0x148) & 0x3FF, 502u);
    EXPECT_EQ(h.read(scratch), 0u) << "nothing replayed while held";
    h.card.release_doorbells(502);
    h.settle();
    EXPECT_EQ(h.read(0x148) & 0x3FF, 0u);
    EXPECT_EQ(h.read(scratch), 501u);
}

TEST_F(CommandRing, RefusedDoorbellsAndEntriesAreProtocolFaults) {
    CardHost& h = make_host(lenient());
    h.start(1);
    struct entry {
        uint32_t reg, value;
    };
    const entry entries[] = {
        {scratch, 1},
        {scratch + 2, 2},   // misaligned
        {0x118, 8},         // the doorbell
        {0x128, 0x100000},  // the ring's own registers
        {0x148, 0},         // the credit word
        {0xF00C, 0},        // the MSI-X table
        {0xF800, 1},        // the pending bits
        {scratch + 4, 3},   // and replay goes on
    };
    for (const entry& e : entries) {
        h.append(e.reg, e.value);
    }
    h.doorbell();
    h.write(0x118, 12);  // not a multiple of 8: one entry announced
    h.write(0x118, 0);
    h.settle();
    EXPECT_EQ(h.read(scratch), 1u);
    EXPECT_EQ(h.read(scratch + 4), 3u);
    std::vector<std::string> expected = {"register_misaligned",     "register_not_replayable", "register_not_replayable",
                                         "register_not_replayable", "register_not_replayable", "register_not_replayable",
                                         "doorbell_align",          "doorbell_align"};
    auto codes = fault_codes(h.card);
    std::sort(codes.begin(), codes.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(codes, expected);
    for (const auto& f : h.card.protocol_faults()) {
        if (f.code == "register_misaligned") {
            EXPECT_EQ(f.ring_index, 1u) << "the faulty entry's ring index";
        }
        if (f.code == "doorbell_align") {
            EXPECT_EQ(f.ring_index, sim::card::CommandRing::no_entry) << "an MMIO write";
        }
    }
    EXPECT_EQ(h.read(0x148) >> 13, 0x20000u - 9) << "the entry behind the short doorbell was fetched";
}

TEST_F(CommandRing, StrictCardStopsAtTheFaultyEntry) {
    CardHost& h = make_host(CardConfig::small());
    h.start(1);
    h.append(scratch, 1);
    h.append(0x118, 8);
    h.append(scratch, 2);
    h.doorbell();
    h.settle();
    EXPECT_EQ(h.read(scratch), 1u);
    ASSERT_EQ(h.card.protocol_faults().size(), 1u);
    EXPECT_EQ(h.card.protocol_faults()[0].ring_index, 1u);
}

TEST_F(CommandRing, FetchWaitsForAllThreeEnginesAndQuiesceReadsAsTheHostPolls) {
    CardHost& h = make_host(lenient());
    h.start(1);
    h.write(0x2004, 0xFA02);  // the read-side engine stops
    EXPECT_EQ(h.read(0x2004) & 0x600, 0u) << "stopped at once";
    h.append(scratch, 7);
    h.doorbell();
    h.settle();
    EXPECT_EQ(h.read(scratch), 0u);
    EXPECT_EQ(h.read(0x148) & 0x3FF, 1u) << "the doorbell waits";
    h.write(0x2004, 0x800000);
    EXPECT_EQ(h.read(0x2004) & 0x800000, 0u);
    h.write(0x2004, 0);
    h.write(0x2004, 0xF903);
    h.settle();
    EXPECT_EQ(h.read(scratch), 7u);

    h.card.inject("engine_stuck", "engine=0x104 bits=0x600 times=always");
    h.write(0x104, 0xFA02);
    EXPECT_EQ(h.read(0x104) & 0x600, 0x200u) << "the stop never reads done";
    EXPECT_EQ(h.read(0x004), 0xF903u) << "other engines are not stuck";
}

TEST_F(CommandRing, RingEngineResetForgetsWhatWasAnnounced) {
    CardHost& h = make_host(lenient());
    h.start(1);
    h.card.inject("stop_answering");
    for (uint32_t i = 0; i < 5; i++) {
        h.append(scratch, i);
    }
    h.doorbell();
    EXPECT_EQ(h.read(0x148), 1u);
    h.write(0x104, 0xFA02);
    h.write(0x104, 0x800000);
    h.write(0x104, 0);
    EXPECT_EQ(h.read(0x148), (0x20000u - 5) << 13) << "consumed moved to the fetch limit";
    h.card.clear("stop_answering");
    h.write(0x104, 0xF903);
    h.settle();
    EXPECT_EQ(h.read(scratch), 0u) << "nothing was replayed";
}

TEST_F(CommandRing, ChannelResetStopsEverythingButKeepsTheLockAndTheRing) {
    CardHost& h = make_host(lenient());
    h.start(1);
    h.write(nand(4312), 1);
    h.card.inject("stop_answering");
    h.append(scratch, 1);
    h.doorbell();
    h.write(nand(4096), 0xFFFFFFFF);
    EXPECT_EQ(h.read(0x004), 0u);
    EXPECT_EQ(h.read(0x104), 0u);
    EXPECT_EQ(h.read(0x2004), 0u);
    EXPECT_EQ(h.read(0x148), 0u) << "doorbells dropped, consumed 0";
    EXPECT_EQ(h.read(nand(4312)), 1u);
    EXPECT_EQ(h.read(0x128), 0x100000u);
    h.write(nand(4096), 0);
    h.write(nand(4096), 1);
    EXPECT_EQ(h.read(nand(4096)), 1u);

    // The ring starts again at index 0 once the engines are on.
    h.card.clear("stop_answering");
    h.write_index = h.posted = 0;
    h.start(1);
    h.append(scratch, 9);
    h.doorbell();
    h.settle();
    EXPECT_EQ(h.read(scratch), 9u);
}

TEST_F(CommandRing, HardwareLockEchoes) {
    struct lock_case {
        const char* fault;
        std::vector<uint32_t> reads;  // after one write of 1 (and a second after the third read)
    };
    const lock_case cases[] = {
        {"", {1, 1, 1, 1}},
        {"busy=3", {0, 0, 0, 1}},
        {"never", {0, 0, 0, 0}},
    };
    for (const lock_case& c : cases) {
        CardHost h(lenient());
        if (*c.fault != 0) {
            h.card.inject("hw_lock", std::string(c.fault) + " times=always");
        }
        h.write(nand(4312), 1);
        std::vector<uint32_t> reads;
        for (int i = 0; i < 4; i++) {
            reads.push_back(h.read(nand(4312)));
            if (i == 2) {
                h.write(nand(4312), 1);  // the host writes again while it waits
            }
        }
        EXPECT_EQ(reads, c.reads) << c.fault;
        h.write(nand(4312), 0);
        EXPECT_EQ(h.read(nand(4312)), 0u);
    }
}

TEST_F(CommandRing, IdentityWordsAndALostBus) {
    CardHost& h = make_host(lenient());
    EXPECT_EQ(h.read(nand(4608)) & 0x7F, 7u);
    EXPECT_EQ(h.read(nand(4616)), 0x802405u);
    EXPECT_EQ(h.read(nand(4620)), 0x1F40u);
    EXPECT_EQ(h.read(nand(4664)) >> 8 & 0xF, 4u);
    EXPECT_EQ(h.read(0x8000 + 0x2204) >> 31, 1u);

    h.card.inject("bus_lost", "after_reads=2");
    EXPECT_EQ(h.read(nand(4620)), 0x1F40u);
    EXPECT_EQ(h.read(nand(4620)), 0x1F40u);
    EXPECT_EQ(h.read(nand(4620)), 0xFFFFFFFFu);
    h.write(scratch, 5);
    EXPECT_EQ(h.read(scratch), 0xFFFFFFFFu);
    EXPECT_EQ(h.card.config_read(0, 4), 0xFFFFFFFFu);
    h.card.set_bus_lost(false);
    EXPECT_EQ(h.read(scratch), 0u) << "the write was dropped";
}

TEST_F(CommandRing, UnreadableCreditWordAndStrayRingFetch) {
    CardHost& h = make_host(lenient());
    h.start(1);
    h.card.inject("credit_unreadable", "times=2");
    EXPECT_EQ(h.read(0x148), 0xFFFFFFFFu);
    EXPECT_EQ(h.read(0x148), 0xFFFFFFFFu);
    EXPECT_EQ(h.read(0x148), 0u);

    uint32_t not_dma[16] = {};
    auto address = (uint64_t)(uintptr_t)not_dma;
    h.write(0x120, (uint32_t)address);
    h.write(0x124, (uint32_t)(address >> 32));
    h.write(0x128, 0x100000);
    h.write(0x118, 8);
    h.settle();
    auto strays = h.card.stray_dma();
    ASSERT_EQ(strays.size(), 1u);
    EXPECT_EQ(strays[0].address, address);
    EXPECT_EQ(strays[0].length, 8u);
    EXPECT_FALSE(strays[0].to_host);
}

}  // namespace

namespace {

TEST_F(CommandRing, RegistersTheChannelDoesNotOwnGoToTheControllerSide) {
    CardHost& h = make_host(lenient());
    sim::card::ControllerBar controller(h.card);
    h.write(0x90F8, 7);
    EXPECT_EQ(h.read(0x90F8), 7u) << "plain storage without a controller";
    h.card.set_controller(&controller);
    EXPECT_EQ(h.read(0x90F8), 0u) << "the unlock word of a locked controller";
    EXPECT_EQ(h.read(0x9204), controller.peek(0x1204)) << "capability A is the controller's";
    EXPECT_EQ(h.read(0x9208), 0x802405u) << "the version the channel needs stays the card's";
    h.write(0x90F4, 0x1234);
    EXPECT_FALSE(controller.unlocked());
    h.card.set_controller(nullptr);
}

}  // namespace
