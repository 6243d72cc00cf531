// A card's data channel on the simulated host: with a stand-in for the NAND controller's set-up
// (which the driver does not have yet, so every card would otherwise run in minimal mode), the
// card's start sets up and starts the channel through the device shell, the card's MSI-X
// messages reach the shell's ISR and DPC on their vectors' processors, and a channel failure is
// reported to the framework.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "driver/controller/channel_hooks.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/pipeline/pipeline.h"
#include "driver/pipeline/services.h"
#include "sim/kernel/control.h"
#include "sim/kmdf/control.h"
#include "sim/machine/machine.h"
#include "tests/support/kernel_fixture.h"

namespace {

bool has_text(const std::string& part) {
    for (const std::string& line : sim::kernel::debug_texts()) {
        if (line.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// The geometry the NAND controller's set-up would read: the machine's default card.
int default_geometry(nand_dev* channel) {
    sim::card::NandGeometry g;
    channel->geometry.pads = g.lanes;
    channel->geometry.banks = g.banks;
    channel->geometry.planes = g.planes;
    channel->geometry.page_size = g.page_data;
    channel->geometry.rows_per_eb = g.rows;
    channel->geometry.eb_count = g.eb_count;
    channel->geometry.stripe_bytes = 65536;
    return 0;
}

pipeline_device* started_card = nullptr;

// The NAND controller's set-up stand-in, which also keeps the card record it ran for.
int geometry_keeping_the_card(nand_dev* channel) {
    started_card = channel->card;
    return default_geometry(channel);
}

struct ChannelOnMachineTest : ::testing::Test {
    // Plugs a card on bus 3 of a machine whose drivers are loaded, with the stand-in for the
    // NAND controller's set-up, and waits for it to start: its card record is in started_card.
    void start_card(sim::machine::Machine& m, sim::machine::card_options o = {}) {
        started_card = nullptr;
        pipeline_service_table.nand_controller_init = geometry_keeping_the_card;
        o.bus = 3;
        m.plug(o);
        ASSERT_TRUE(m.started(0));
        ASSERT_NE(started_card, nullptr);
        ASSERT_NE(started_card->nand, nullptr);
    }

    void TearDown() override {
        pipeline_service_table.nand_controller_init = nullptr;
        sim::kernel::clear_faults();
    }
};

TEST_F(ChannelOnMachineTest, TheCardStartsItsChannelAndItsInterruptsReachTheDrain) {
    {
        sim::machine::Machine m;
        ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
        sim::machine::card_options o;
        o.numa_node = 0;
        start_card(m, o);
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_FALSE(has_text("MINIMAL MODE"));
        sim::card::Card& card = m.card(0);
        // The command ring is latched with its engines on, every completion ring runs with
        // interrupts and its hold released.
        EXPECT_EQ(card.peek(0x128), 0x100000u);
        EXPECT_EQ(card.peek(0x104), 0xF903u);
        for (unsigned q = 0; q < 6; q++) {
            EXPECT_EQ(card.peek(0x4000 + 0x200 * q), 1u) << q;
            EXPECT_EQ(card.peek(0x4014 + 0x200 * q), 0u) << q;
        }
        EXPECT_TRUE(card.msix_enabled());

        card.inject("event", "word=7");
        ASSERT_TRUE(eventually([&] { return has_text("dov0: Notification received that this device has failed."); }));
        EXPECT_TRUE(has_text("dov0: Unknown interrupt (q=0): val[0]: 00000007"));
        EXPECT_TRUE(sim::kmdf::record_of(m.function_device(0)).failed);
        EXPECT_GE(card.counters().msix_signals[0], 1u);
        m.stop();
        EXPECT_TRUE(card.protocol_faults().empty());
    }
    EXPECT_EQ(sim::kernel::pool_leak_report(), "");
}

// A channel failure that asks for a register dump takes it into the card's dump buffer, where a
// crash dump finds it: the driver gives its cards and their channels the diagnostics' dump at
// start and takes it back at unload.
TEST_F(ChannelOnMachineTest, AFailingChannelTakesARegisterDumpIntoItsCardsBuffer) {
    {
        sim::machine::Machine m;
        ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
        EXPECT_NE(card_channel_hooks.csr_dump_request, nullptr);
        EXPECT_NE(pipeline_service_table.csr_dump_request, nullptr);
        start_card(m);
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_NE(started_card->dump.buffer, nullptr);

        fail_channel(started_card->nand, 1, CHANNEL_FAIL_WATCHDOG);
        ASSERT_TRUE(eventually([&] { return has_text("dov0: Notification received that this device has failed."); }));
        EXPECT_EQ(std::string(started_card->dump.buffer, started_card->dump.position),
                  "pavinf dov0: ERROR Failing channel.\n");
        m.stop();
    }
    EXPECT_EQ(card_channel_hooks.csr_dump_request, nullptr);
    EXPECT_EQ(pipeline_service_table.csr_dump_request, nullptr);
    EXPECT_EQ(sim::kernel::pool_leak_report(), "");
}

// The card drops off the bus while its channel runs: the watchdog's next round sees the
// registers read all ones and fails the channel, with its dump, and the framework hears of it.
TEST_F(ChannelOnMachineTest, ALostBusFailsTheRunningChannelAtTheWatchdogsNextRound) {
    {
        sim::machine::Machine m;
        ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
        start_card(m);
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_FALSE(channel_failed(started_card->nand));

        m.card(0).set_bus_lost(true);
        sim::kernel::advance_clock(11ull * 10000000);  // past the watchdog's 10 s
        ASSERT_TRUE(eventually([&] { return has_text("dov0: Notification received that this device has failed."); }));
        EXPECT_TRUE(has_text("Detected lost bus enumeration."));
        EXPECT_TRUE(channel_failed(started_card->nand));
        EXPECT_EQ(started_card->nand->failure_reason, 0x2000u);
        EXPECT_EQ(std::string(started_card->dump.buffer, started_card->dump.position),
                  "pavinf dov0: ERROR Failing channel.\n");
        m.card(0).set_bus_lost(false);
        m.stop();
    }
    EXPECT_EQ(sim::kernel::pool_leak_report(), "");
}

}  // namespace
