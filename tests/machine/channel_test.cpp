// A card's data channel on the simulated host. The driver cannot yet bring a card out of minimal
// mode on its own (the NAND controller's set-up is still to come), so the tests stand in for that
// part of the bring-up: once the card has started, they
// set up and start its channel as the card's start would, with the controller's own channel
// operations and the default card's geometry. The card's MSI-X messages then reach the shell's
// ISR and DPC on their vectors' processors, and a channel failure is reported to the framework.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "driver/controller/card.h"
#include "driver/controller/card_services.h"
#include "driver/controller/startup.h"
#include "driver/pipeline/channel_setup.h"
#include "driver/pipeline/nand_dev.h"
#include "driver/pipeline/pipeline.h"
#include "driver/platform/errno_table.h"
#include "driver/shell/shell.h"
#include "sim/kernel/control.h"
#include "sim/kmdf/control.h"
#include "sim/machine/machine.h"
#include "tests/support/channel_on_machine.h"
#include "tests/support/csr_dump_decode.h"
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

// The controller's channel operations, with the NAND controller's set-up standing in.
const channel_owner_ops& bring_up = channel_bring_up();

struct ChannelOnMachineTest : ::testing::Test {
    // Plugs a card on bus 3 of a machine whose drivers are loaded, waits for it to start (in
    // minimal mode), then sets up and starts its channel as a card out of minimal mode would
    // have it: the card record is in card_.
    void start_card(sim::machine::Machine& m, sim::machine::card_options o = {}, size_t index = 0) {
        o.bus = 3 + (ULONG)index;
        m.plug(o);
        ASSERT_TRUE(m.started(index));
        card_ = PavGetFdoContext(m.function_device(index))->card;
        ASSERT_NE(card_, nullptr);
        card_->minimal_mode_reasons = 0;
        card_->minimal = FALSE;
        ASSERT_EQ(remake_channel(card_, &bring_up), 0);
        ASSERT_EQ(channel_pipeline_start(card_), 0);
        InterlockedOr((volatile LONG*)&card_->start_flags, (LONG)PAV_CARD_PIPELINE_RUNNING);
        ASSERT_NE(card_->nand, nullptr);
    }

    void TearDown() override { sim::kernel::clear_faults(); }

    pipeline_device* card_ = nullptr;
};

TEST_F(ChannelOnMachineTest, TheCardStartsItsChannelAndItsInterruptsReachTheDrain) {
    {
        sim::machine::Machine m;
        ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
        sim::machine::card_options o;
        o.numa_node = 0;
        start_card(m, o);
        ASSERT_FALSE(HasFatalFailure());
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

// A channel failed on purpose takes a register dump, and the worker prints it into the log:
// Base64 lines between BEGIN and END that decode and decompress to the dump's text, its reason
// line first and every section in order.
TEST_F(ChannelOnMachineTest, AFailedChannelPrintsItsRegisterDumpIntoTheLog) {
    {
        sim::machine::Machine m;
        ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
        start_card(m);
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_NE(card_->dump.buffer, nullptr);
        m.bar(0).diagnostics([](sim::card::Diagnostics& d) {
            d.add_fifo({0x11, 0x22, 0x33, 0x44});
            d.add_fifo({0x55, 0x66, 0x77, 0x88});
        });

        fail_channel(card_->nand, 1, CHANNEL_FAIL_WATCHDOG);
        ASSERT_TRUE(eventually([&] { return has_text("dov0: END CSR DUMP"); }));
        csr_dump_decode::block b = csr_dump_decode::find_block(sim::kernel::debug_texts(), "dov0");
        ASSERT_TRUE(b.found);
        EXPECT_TRUE(b.contiguous);
        ASSERT_FALSE(b.lines.empty());
        for (size_t i = 0; i + 1 < b.lines.size(); i++) {
            EXPECT_EQ(b.lines[i].size(), 76u);
        }
        std::string text = csr_dump_decode::decompress(b.bytes);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.rfind("pavinf dov0: ERROR Failing channel.\n", 0), 0u);
        const char* const sections[] = {
            "pavinf dov0: Firmware version 8.9.3 ",
            "pavinf dov0: PCIE Link: 0x00100000 ",
            "pavinf dov0: MSI-0 adr hi:",
            "pavinf dov0: Powercut ",
            "pavinf dov0: bank0 status:   ",
            "pavinf dov0: cmd fifo bank3 status:",
            "pavinf dov0: address queue bank0 status:",
            "pavinf dov0: CMD/CMPL queues\n",
            "pavinf dov0: SEU csr:",
            "pavinf dov0: == software status 0x",
            "pavinf dov0: Flushes available: ",
            "pavinf dov0: erase requests total inserted: ",
            "pavinf dov0: HCQ:\n",
            "pavinf dov0 CPU completion queues:\n",
            "pavinf PCI Status Counters\n",
            "pavinf dov0: Dumping PCIe configuration space:\n",
            "pavinf dov0: 0x0000: 0x03015ec7 ",
            "pavinf dov0: 0x00000044:0x00000033:0x00000022:0x00000011.\n",
            "pavinf dov0: 0x00000088:0x00000077:0x00000066:0x00000055.\n",
        };
        size_t at = 0;
        for (const char* section : sections) {
            size_t found = text.find(section, at);
            EXPECT_NE(found, std::string::npos) << section;
            at = found == std::string::npos ? at : found;
        }
        EXPECT_EQ(text.back(), '\n');
        // Printed, the buffer is free again: the next request takes a new dump from its start.
        ASSERT_TRUE(eventually([&] { return ReadAcquire(&card_->dump_state) == 0; }));
        EXPECT_EQ(card_->dump.position, 0u);
        m.stop();
    }
    EXPECT_EQ(sim::kernel::pool_leak_report(), "");
}

// Two cards fail at once: each prints its own dump, and no line of one card's block falls between
// the BEGIN and END lines of the other's.
TEST_F(ChannelOnMachineTest, TwoCardsFailingAtOnceDoNotInterleaveTheirDumps) {
    {
        sim::machine::Machine m;
        ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
        start_card(m, {}, 0);
        ASSERT_FALSE(HasFatalFailure());
        pipeline_device* first = card_;
        start_card(m, {}, 1);
        ASSERT_FALSE(HasFatalFailure());
        pipeline_device* second = card_;
        std::string names[2] = {first->name, second->name};
        ASSERT_NE(names[0], names[1]);

        std::thread other([&] { fail_channel(second->nand, 1, CHANNEL_FAIL_WATCHDOG); });
        fail_channel(first->nand, 1, CHANNEL_FAIL_WATCHDOG);
        other.join();
        ASSERT_TRUE(eventually([&] {
            return has_text(names[0] + ": END CSR DUMP") && has_text(names[1] + ": END CSR DUMP");
        }));
        std::vector<std::string> log = sim::kernel::debug_texts();
        for (int k = 0; k < 2; k++) {
            const std::string& mine = names[k];
            const std::string& theirs = names[1 - k];
            auto begin = std::find(log.begin(), log.end(), mine + ": BEGIN CSR DUMP\n");
            auto end = std::find(begin, log.end(), mine + ": END CSR DUMP\n");
            ASSERT_NE(end, log.end()) << mine;
            for (auto line = begin; line != end; ++line) {
                EXPECT_FALSE(line->rfind(theirs + ": ", 0) == 0 && line->find("CSR DUMP") != std::string::npos)
                    << mine << " block holds " << *line;
            }
            std::string text = csr_dump_decode::decompress(csr_dump_decode::find_block(log, mine).bytes);
            EXPECT_EQ(text.rfind("pavinf " + mine + ": ERROR Failing channel.\n", 0), 0u) << mine;
        }
        m.stop();
    }
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
        EXPECT_FALSE(channel_failed(card_->nand));

        m.card(0).set_bus_lost(true);
        sim::kernel::advance_clock(11ull * 10000000);  // past the watchdog's 10 s
        ASSERT_TRUE(eventually([&] { return has_text("dov0: Notification received that this device has failed."); }));
        EXPECT_TRUE(has_text("Detected lost bus enumeration."));
        EXPECT_TRUE(channel_failed(card_->nand));
        EXPECT_EQ(card_->nand->failure_reason, 0x2000u);
        // The dump says the registers are gone, and still ends.
        ASSERT_TRUE(eventually([&] { return has_text("dov0: END CSR DUMP"); }));
        std::string text =
            csr_dump_decode::decompress(csr_dump_decode::find_block(sim::kernel::debug_texts(), "dov0").bytes);
        EXPECT_EQ(text.rfind("pavinf dov0: ERROR Failing channel.\n"
                             "pavinf dov0: Device is offline, no registers to report\n",
                             0),
                  0u);
        EXPECT_NE(text.find("pavinf dov0: PCIe configuration space reads all ones: not shown\n"), std::string::npos);
        m.card(0).set_bus_lost(false);
        m.stop();
    }
    EXPECT_EQ(sim::kernel::pool_leak_report(), "");
}

// A card whose start fails names the failed step once, then says what the card start says.
TEST_F(ChannelOnMachineTest, AFailedCardStartNamesItsStepOnceWithTheStartsMessages) {
    {
        sim::machine::Machine m;
        ASSERT_EQ(m.load_drivers(), STATUS_SUCCESS);
        start_card(m);
        ASSERT_FALSE(HasFatalFailure());
        // The card starts again on a channel whose management data pass fails at start.
        static const channel_owner_ops failing = [] {
            channel_owner_ops ops = bring_up;
            ops.mgmt_data_rle_scan = [](nand_dev*) { return -KPAV_EIO; };
            return ops;
        }();
        stop_device(card_, 0);
        ASSERT_EQ(remake_channel(card_, &failing), 0);
        sim::kernel::clear_debug_lines();
        EXPECT_EQ(start_device(card_->pdev, card_, card_->fdo), -KPAV_EIO);
        size_t step_lines = 0;
        for (const std::string& line : sim::kernel::debug_texts()) {
            step_lines += line.find(" failed (-5)") != std::string::npos ? 1 : 0;
        }
        EXPECT_EQ(step_lines, 1u);
        EXPECT_TRUE(has_text("dov0: management data failed (-5)"));
        EXPECT_TRUE(has_text("Failed to complete data channel startup."));
        EXPECT_TRUE(has_text("Device is unavailable."));
        EXPECT_TRUE(has_text("Driver start failed with error -5: "));
        m.stop();
    }
    EXPECT_EQ(sim::kernel::pool_leak_report(), "");
}

}  // namespace
